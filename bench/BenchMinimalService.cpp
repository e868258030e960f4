// The benchmark's baseline: an own-process service that does nothing. It reports running at
// once and stopped on the first stop control.

#include <windows.h>

namespace
{
SERVICE_STATUS_HANDLE StatusHandle = nullptr;
SERVICE_STATUS Status = {SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, NO_ERROR, 0, 0, 0};
HANDLE Stopped = nullptr;

DWORD WINAPI Handler(DWORD control, DWORD, void*, void*)
{
    if (control == SERVICE_CONTROL_STOP)
    {
        SetEvent(Stopped);
        return NO_ERROR;
    }
    return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI ServiceMain(DWORD, LPWSTR*)
{
    StatusHandle = RegisterServiceCtrlHandlerExW(L"", &Handler, nullptr);
    if (StatusHandle == nullptr)
        return;
    Status.dwCurrentState = SERVICE_RUNNING;
    Status.dwControlsAccepted = SERVICE_ACCEPT_STOP;
    SetServiceStatus(StatusHandle, &Status);
    WaitForSingleObject(Stopped, INFINITE);
    Status.dwCurrentState = SERVICE_STOPPED;
    Status.dwControlsAccepted = 0;
    SetServiceStatus(StatusHandle, &Status);
}
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    Stopped = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    wchar_t name[] = L"";
    const SERVICE_TABLE_ENTRYW table[] = {{name, &ServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
