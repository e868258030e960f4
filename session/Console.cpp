#include <windows.h>
#include <shellapi.h>

#include <system_error>

#include "Console.h"
#include "SystemError.h"

namespace
{
// The C++ streams would bring the library's whole locale machinery for a few lines; the
// system's own calls are all these tools need.
void write_bytes(HANDLE handle, const char* data, size_t left)
{
    while (left > 0)
    {
        DWORD written = 0;
        if (!WriteFile(handle, data, static_cast<DWORD>(left), &written, nullptr) || written == 0)
            return;
        data += written;
        left -= written;
    }
}

// Every line feed, even one that follows a carriage return (as the system's messages end),
// becomes CR LF: the bytes the runtime's text mode wrote before.
template <typename Text>
Text with_crlf(const Text& text)
{
    Text bytes;
    bytes.reserve(text.size() + text.size() / 16 + 2);
    for (const auto c : text)
    {
        if (c == '\n')
            bytes += '\r';
        bytes += c;
    }
    return bytes;
}

// The standard handle, when there is one and there is something to write.
HANDLE handle_for(DWORD which, bool empty)
{
    const HANDLE handle = GetStdHandle(which);
    return handle == nullptr || handle == INVALID_HANDLE_VALUE || empty ? nullptr : handle;
}

bool write_console(HANDLE handle, const std::wstring& text)
{
    DWORD mode = 0;
    if (!GetConsoleMode(handle, &mode))
        return false;
    DWORD written = 0;
    WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return true;
}

void write_to(DWORD which, const std::wstring& text)
{
    const HANDLE handle = handle_for(which, text.empty());
    if (handle == nullptr || write_console(handle, text))
        return;
    const std::wstring bytes = with_crlf(text);
    write_bytes(handle, reinterpret_cast<const char*>(bytes.data()), bytes.size() * sizeof(wchar_t));
}
}

void attach_parent_console()
{
    // Only a file keeps the tool from attaching, so that a redirected report lands in the file.
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    const bool file = output != nullptr && output != INVALID_HANDLE_VALUE && GetFileType(output) == FILE_TYPE_DISK;
    if (!file)
        AttachConsole(ATTACH_PARENT_PROCESS);
}

void write_out(const std::wstring& text)
{
    write_to(STD_OUTPUT_HANDLE, text);
}

void write_err(const std::wstring& text)
{
    write_to(STD_ERROR_HANDLE, text);
}

void write_out_utf8(const std::string& text)
{
    const HANDLE handle = handle_for(STD_OUTPUT_HANDLE, text.empty());
    if (handle == nullptr || write_console(handle, from_utf8(text)))
        return;
    const std::string bytes = with_crlf(text);
    write_bytes(handle, bytes.data(), bytes.size());
}

std::wstring widen(const char* text)
{
    return from_utf8(text);
}

void print_failure(const std::exception& error)
{
    std::wstring line;
    if (const auto* system = dynamic_cast<const std::system_error*>(&error))
        line = L"[" + widen(system->code().category().name()) + L":" + std::to_wstring(system->code().value()) + L"] ";
    write_err(line + widen(error.what()));
}

ScopedLocal<LPWSTR*> split_command_line(const wchar_t* commandLine, int* count)
{
    ScopedLocal<LPWSTR*> arguments = MakeScopedLocal<LPWSTR*>(CommandLineToArgvW(commandLine, count));
    if (!arguments)
        throw_last_error("Couldn't parse command line");
    return arguments;
}
