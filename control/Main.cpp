#include <windows.h>

#include "CommandLine.h"
#include "session/Console.h"
#include "session/SystemLibraries.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR commandLine, int)
{
    KeepDllSearchInSystemFolder();
    attach_parent_console();
    return run_control_tool(commandLine != nullptr ? commandLine : L"");
}
