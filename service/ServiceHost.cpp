#include "ServiceHost.h"

#include <mutex>

#include "WinStation.h"
#include "session/Paths.h"

namespace
{
std::wstring ServiceName;
ServiceBodyFunction ServiceBody;
StopActionSlot StopAction;

// Written by the control handler (main thread) and by ServiceMain (service thread); the lock
// keeps a state change and its report together.
std::mutex StatusLock;
SERVICE_STATUS Status = {SERVICE_WIN32, SERVICE_STOPPED, SERVICE_ACCEPT_STOP, NO_ERROR, 0, 0, 0};
SERVICE_STATUS_HANDLE StatusHandle = nullptr;

void SetState(DWORD state)
{
    const std::lock_guard<std::mutex> guard(StatusLock);
    Status.dwCurrentState = state;
    SetServiceStatus(StatusHandle, &Status);
}

void WINAPI ServiceControlHandler(DWORD control)
{
    switch (control)
    {
    case SERVICE_CONTROL_STOP:
        SetState(SERVICE_STOP_PENDING);
        StopAction.Request();
        break;
    case RevertSessionControl:
    {
        RevertFromServicesSession();
        const std::lock_guard<std::mutex> guard(StatusLock);
        SetServiceStatus(StatusHandle, &Status);
        break;
    }
    default:
    {
        const std::lock_guard<std::mutex> guard(StatusLock);
        SetServiceStatus(StatusHandle, &Status);
        break;
    }
    }
}

void WINAPI ServiceMain(DWORD, LPWSTR*)
{
    {
        const std::lock_guard<std::mutex> guard(StatusLock);
        Status.dwCurrentState = SERVICE_START_PENDING;
    }
    const SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerW(ServiceName.c_str(), &ServiceControlHandler);
    if (handle == nullptr)
        return;
    {
        const std::lock_guard<std::mutex> guard(StatusLock);
        StatusHandle = handle;
    }
    SetState(SERVICE_RUNNING);
    ServiceBody(&StopAction);
    SetState(SERVICE_STOPPED);
}
}

DWORD RunService(const std::wstring& executablePath, ServiceBodyFunction body)
{
    ServiceBody = std::move(body);
    ServiceName = L"Quillon";
    SetCurrentDirectoryW(FolderOf(executablePath).c_str());

    wchar_t* const name = &ServiceName[0];
    const SERVICE_TABLE_ENTRYW table[] = {{name, &ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table))
        return GetLastError();
    return NO_ERROR;
}
