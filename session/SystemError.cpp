#include "SystemError.h"

#include <vector>

namespace
{
class Win32Category final : public std::error_category
{
public:
    const char* name() const noexcept override { return "system"; }
    std::string message(int code) const override { return win32_message(code); }
};
}

const std::error_category& win32_category() noexcept
{
    static const Win32Category category;
    return category;
}

std::string win32_message(int code)
{
    // The wide text: the ANSI one is in the system's code page, not in UTF-8, and cannot hold
    // every language.
    std::vector<wchar_t> buffer(32767);
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                        static_cast<DWORD>(code), 0, buffer.data(),
                                        static_cast<DWORD>(buffer.size()), nullptr);
    if (length == 0)
        return "unknown error";
    return to_utf8(std::wstring(buffer.data(), length));
}

std::string to_utf8(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], size, nullptr, nullptr);
    return result;
}

std::wstring from_utf8(const std::string& text)
{
    if (text.empty())
        return std::wstring();
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], size);
    return result;
}

void throw_system_error(DWORD code, const char* context)
{
    const std::error_code error(static_cast<int>(code), win32_category());
    // libstdc++ would put ": " after an empty context as well.
    if (context == nullptr || *context == '\0')
        throw std::system_error(error);
    throw std::system_error(error, context);
}

void throw_last_error(const char* context)
{
    throw_system_error(GetLastError(), context);
}
