#include <windows.h>

#include "CommandLine.h"
#include "Console.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR commandLine, int)
{
    // Keeps the current directory out of the search for DLLs loaded later.
    SetDllDirectoryW(L"");
    attach_parent_console();
    return run_control_tool(commandLine != nullptr ? commandLine : L"");
}
