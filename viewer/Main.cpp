#include <windows.h>

#include <cwchar>

#include "Commands.h"
#include "ViewerWindow.h"
#include "session/Console.h"
#include "session/CrashDump.h"
#include "session/SystemLibraries.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR commandLine, int show)
{
    KeepDllSearchInSystemFolder();
    // The viewer decodes what the session 0 agent sends: a fault there must leave a dump.
    InstallCrashDumpHandling(L"QuillonViewer");
    const wchar_t* arguments = commandLine != nullptr ? commandLine : L"";
    while (*arguments == L' ' || *arguments == L'\t')
        ++arguments;
    if (*arguments == L'\0')
        return run_viewer_window(instance, show);
    // The window with one session 0 window selected: how the tray opens a window it announced.
    uint32_t selected = 0;
    if (wcsncmp(arguments, L"--select ", 9) == 0 && parse_window_id(arguments + 9, &selected))
        return run_viewer_window(instance, show, selected);
    attach_parent_console();
    return run_viewer_command(arguments);
}
