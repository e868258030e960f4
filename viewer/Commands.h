#pragma once

#include <cstdint>
#include <string>

// Runs the one command the arguments select against the session 0 agent and returns the process
// exit code: 0 when it was done, 1 after a failure or wrong arguments. commandLine is the text
// after the program name, and not empty.
int run_viewer_command(const wchar_t* commandLine);

// "0x" and eight hexadecimal digits, as the list prints a window.
std::wstring format_window_id(uint32_t window);
bool parse_window_id(const wchar_t* text, uint32_t* window);
