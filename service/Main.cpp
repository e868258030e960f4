#include <windows.h>
#include <objbase.h>

#include <cstdlib>

#include "../session/ProgramPath.h"
#include "../session/SystemLibraries.h"
#include "CrashDump.h"
#include "ServiceHost.h"
#include "UiThread.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    KeepDllSearchInSystemFolder();
    InstallCrashDumpHandling();
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);

    const wchar_t* const executablePath = ProgramPath();

    int exitCode = 0;
    const DWORD dispatcherError =
        RunService(executablePath, [&exitCode](StopActionSlot* stopAction) { RunUiThread(&exitCode, stopAction); });

    CoUninitialize();
    // Started outside the service control manager the UI thread never ran: report why.
    if (dispatcherError != NO_ERROR)
        return static_cast<int>(dispatcherError);
    return exitCode;
}
