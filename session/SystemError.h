#pragma once

#include <windows.h>

#include <string>
#include <system_error>

// The "system" category whose message is the system's own text for a Win32 code, exactly as
// FormatMessage gives it (line break included); "unknown error" when the system has none.
// Neither libstdc++ nor MSVC keeps the text untrimmed, and callers print it as it stands.
const std::error_category& win32_category() noexcept;

std::string win32_message(int code);

// Throws std::system_error with the code, the category above and the context text.
[[noreturn]] void throw_system_error(DWORD code, const char* context);

// Reads GetLastError() before anything else can change it, then throws.
[[noreturn]] void throw_last_error(const char* context);
