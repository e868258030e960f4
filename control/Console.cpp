#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <system_error>

#include "Console.h"
#include "session/SystemError.h"

namespace
{
// Makes the runtime's own stream use the handle. The stream object keeps its address, which is
// what the C++ standard stream objects hold while they are synchronised with stdio, so cout,
// wcout and their kin follow it without being replaced.
void bind_stream(FILE* stream, DWORD which, const char* mode)
{
    const HANDLE handle = GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
        return;
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_TEXT | _O_WTEXT);
    if (descriptor == -1)
        return;
    // A GUI program started without standard handles has streams without a descriptor.
    if (_fileno(stream) < 0 && freopen("NUL", mode, stream) == nullptr)
        return;
    if (_fileno(stream) != descriptor)
    {
        if (_dup2(descriptor, _fileno(stream)) != 0)
            return;
        // The descriptor stays open: its handle is the process's standard handle, which must
        // outlive this call.
    }
    _setmode(_fileno(stream), _O_WTEXT);
    clearerr(stream);
    setvbuf(stream, nullptr, _IONBF, 0);
}
}

void attach_parent_console()
{
    // fgetpos fails on a pipe or a console and succeeds on a file: only a file keeps the tool
    // from attaching, so that a redirected report lands in the file.
    fpos_t position{};
    bool seekable = fgetpos(stdout, &position) == 0;
    if (!seekable)
        AttachConsole(ATTACH_PARENT_PROCESS);

    bind_stream(stdout, STD_OUTPUT_HANDLE, "w");
    bind_stream(stdin, STD_INPUT_HANDLE, "r");
    bind_stream(stderr, STD_ERROR_HANDLE, "w");

    std::ios_base::sync_with_stdio(true);
    std::wcout.clear();
    std::wcerr.clear();
    std::wcin.clear();
}

std::wstring widen(const char* text)
{
    return from_utf8(text);
}

void print_failure(const std::exception& error)
{
    if (const auto* system = dynamic_cast<const std::system_error*>(&error))
        std::wcerr << widen("[") << widen(system->code().category().name()) << L":" << system->code().value()
                   << L"] ";
    std::wcerr << widen(error.what()) << std::flush;
}
