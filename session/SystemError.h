#pragma once

#include <windows.h>

#include <string>
#include <system_error>

// The "system" category whose message is the system's own text for a Win32 code, exactly as
// FormatMessage gives it (line break included), in the system's language; "unknown error" when
// the system has none. Neither libstdc++ nor MSVC keeps the text untrimmed, and callers print it
// as it stands.
//
// Narrow texts of errors (contexts, messages, what()) are UTF-8, so that the system's text in
// any language and a path in a context survive the narrow std::system_error; for the fixed
// contexts, which are ASCII, that changes nothing.
const std::error_category& win32_category() noexcept;

std::string win32_message(int code);

std::string to_utf8(const std::wstring& text);
std::wstring from_utf8(const std::string& text);

// Throws std::system_error with the code, the category above and the context text.
[[noreturn]] void throw_system_error(DWORD code, const char* context);

// Reads GetLastError() before anything else can change it, then throws.
[[noreturn]] void throw_last_error(const char* context);
