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
    std::vector<char> buffer(32767);
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                        static_cast<DWORD>(code), 0, buffer.data(),
                                        static_cast<DWORD>(buffer.size()), nullptr);
    if (length == 0)
        return "unknown error";
    return std::string(buffer.data(), length);
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
