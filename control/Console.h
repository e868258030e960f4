#pragma once

#include <exception>
#include <string>

// Binds the runtime's standard streams and the C++ standard stream objects to the process's
// standard handles in UTF-16 text mode. When standard output is not a file, the console of the
// parent process is attached first, so that a GUI-subsystem program started from a console
// writes to it.
void attach_parent_console();

// Text stored narrow (contexts and messages of errors, fixed messages), which is UTF-8, for wide
// output.
std::wstring widen(const char* text);

// Writes a failure to standard error as the tools print it: "[system:CODE] " and the message of
// a system error, whose system text already ends the line; the message alone of any other.
void print_failure(const std::exception& error);
