#pragma once

// Runs the one procedure the arguments select and returns the process exit code: 0 when it
// completed or when there was nothing to do, 1 after a failure or an unknown argument.
// commandLine is the text after the program name.
int run_control_tool(const wchar_t* commandLine);
