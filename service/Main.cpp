#include <windows.h>
#include <objbase.h>

#include <string>

#include "ServiceHost.h"
#include "UiThread.h"
#include "session/CrashDump.h"
#include "session/Paths.h"
#include "session/SystemLibraries.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    KeepDllSearchInSystemFolder();
    InstallCrashDumpHandling(L"Quillon");
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);

    // Without its own path the service still runs its shell; it stays in the directory the
    // service control manager gave it, and the helpers, started by full path, do not start.
    std::wstring executablePath;
    if (!ProgramPath(executablePath))
        executablePath.clear();

    int exitCode = 0;
    const DWORD dispatcherError =
        RunService(executablePath, [&exitCode](StopActionSlot* stopAction) { RunUiThread(&exitCode, stopAction); });

    CoUninitialize();
    // Started outside the service control manager the UI thread never ran: report why.
    if (dispatcherError != NO_ERROR)
        return static_cast<int>(dispatcherError);
    return exitCode;
}
