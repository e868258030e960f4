#pragma once

#include <windows.h>

#include <exception>
#include <string>

#include "ScopedResource.h"

// When standard output is not a file, attaches the console of the parent process, so that a
// GUI-subsystem program started from a console writes to it.
void attach_parent_console();

// Write to the process's standard output or error: to a console as text, to a pipe or a file
// as UTF-16 with each line feed written as CR LF. Without the handle nothing is written.
void write_out(const std::wstring& text);
void write_err(const std::wstring& text);
// Text for scripts that read UTF-8 (JSON): to a console as text, to a pipe or a file as its
// UTF-8 bytes, each line feed written as CR LF.
void write_out_utf8(const std::string& text);

// Text stored narrow (contexts and messages of errors, fixed messages), which is UTF-8, for wide
// output.
std::wstring widen(const char* text);

// The arguments of a command line, split as the platform splits them (an empty text gives the
// program's own path alone). Throws std::system_error ("Couldn't parse command line").
ScopedLocal<LPWSTR*> split_command_line(const wchar_t* commandLine, int* count);

// Writes a failure to standard error as the tools print it: "[system:CODE] " and the message of
// a system error, whose system text already ends the line; the message alone of any other.
void print_failure(const std::exception& error);
