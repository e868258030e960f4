#include <windows.h>

#include "Commands.h"
#include "ViewerWindow.h"
#include "control/Console.h"
#include "session/SystemLibraries.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR commandLine, int show)
{
    KeepDllSearchInSystemFolder();
    const wchar_t* arguments = commandLine != nullptr ? commandLine : L"";
    while (*arguments == L' ' || *arguments == L'\t')
        ++arguments;
    if (*arguments == L'\0')
        return run_viewer_window(instance, show);
    attach_parent_console();
    return run_viewer_command(arguments);
}
