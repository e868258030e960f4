// A service that misbehaves on purpose, for tests of the control tool's stop procedure.
// The image path gives the behaviour as its one argument:
//   start-pending  stays in SERVICE_START_PENDING and refuses the stop control
//   never-stops    runs, and answers a stop with SERVICE_STOP_PENDING but never stops
// Each reports SERVICE_STOPPED and ends once the event BenchServiceReleaseEvent is set, or after
// two minutes, so that nothing outlives a test that failed halfway.

#include <windows.h>
#include <shellapi.h>

#include <string>

#include "BenchServiceNames.h"

namespace
{
std::wstring Mode;
SERVICE_STATUS_HANDLE StatusHandle = nullptr;
SERVICE_STATUS Status = {SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, NO_ERROR, 0, 1, 60000};

void Report(DWORD state, DWORD accepted)
{
    Status.dwCurrentState = state;
    Status.dwControlsAccepted = accepted;
    ++Status.dwCheckPoint;
    SetServiceStatus(StatusHandle, &Status);
}

DWORD WINAPI Handler(DWORD control, DWORD, void*, void*)
{
    if (control == SERVICE_CONTROL_INTERROGATE)
        return NO_ERROR;
    if (control == SERVICE_CONTROL_STOP && Mode == L"never-stops")
    {
        Report(SERVICE_STOP_PENDING, 0);
        return NO_ERROR;
    }
    // Windows' manager refuses a stop in a pending state itself; Wine's passes it on.
    return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
}

void WINAPI ServiceMain(DWORD, LPWSTR*)
{
    StatusHandle = RegisterServiceCtrlHandlerExW(L"BenchService", &Handler, nullptr);
    if (StatusHandle == nullptr)
        return;
    const HANDLE release = OpenEventW(SYNCHRONIZE, FALSE, BenchServiceReleaseEvent);
    if (Mode == L"start-pending")
        Report(SERVICE_START_PENDING, 0);
    else
        Report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP);
    if (release != nullptr)
    {
        WaitForSingleObject(release, 120000);
        CloseHandle(release);
    }
    Status.dwCheckPoint = 0;
    Report(SERVICE_STOPPED, 0);
}
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments != nullptr && count > 1)
        Mode = arguments[1];
    LocalFree(arguments);

    wchar_t name[] = L"BenchService";
    const SERVICE_TABLE_ENTRYW table[] = {{name, &ServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : static_cast<int>(GetLastError());
}
