// A second reference for the start-up figures: the least a service with a window does. Like the
// do-nothing service, plus what any such service pays for under the same platform: COM joined
// before the dispatcher starts, and one plain pop-up window shown once SERVICE_RUNNING is reported.
// No common controls, no painting beyond a solid background.

#include <windows.h>
#include <objbase.h>

namespace
{
SERVICE_STATUS_HANDLE StatusHandle = nullptr;
SERVICE_STATUS Status = {SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, NO_ERROR, 0, 0, 0};
DWORD UiThreadId = 0;

DWORD WINAPI Handler(DWORD control, DWORD, void*, void*)
{
    if (control == SERVICE_CONTROL_STOP)
    {
        PostThreadMessageW(UiThreadId, WM_QUIT, 0, 0);
        return NO_ERROR;
    }
    return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI ServiceMain(DWORD, LPWSTR*)
{
    // The thread's queue exists before the stop control can name it.
    MSG message{};
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
    UiThreadId = GetCurrentThreadId();
    StatusHandle = RegisterServiceCtrlHandlerExW(L"", &Handler, nullptr);
    if (StatusHandle == nullptr)
        return;
    Status.dwCurrentState = SERVICE_RUNNING;
    Status.dwControlsAccepted = SERVICE_ACCEPT_STOP;
    SetServiceStatus(StatusHandle, &Status);

    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    windowClass.lpszClassName = L"QuillonBenchMinimalWindow";
    RegisterClassExW(&windowClass);
    const HWND window = CreateWindowExW(WS_EX_TOOLWINDOW, windowClass.lpszClassName, L"Bench minimal window", WS_POPUP,
                                        0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN), nullptr,
                                        nullptr, windowClass.hInstance, nullptr);
    ShowWindow(window, SW_SHOWNOACTIVATE);
    UpdateWindow(window);
    while (GetMessageW(&message, nullptr, 0, 0) > 0)
    {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    DestroyWindow(window);
    Status.dwCurrentState = SERVICE_STOPPED;
    Status.dwControlsAccepted = 0;
    SetServiceStatus(StatusHandle, &Status);
}
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    wchar_t name[] = L"";
    const SERVICE_TABLE_ENTRYW table[] = {{name, &ServiceMain}, {nullptr, nullptr}};
    const BOOL dispatched = StartServiceCtrlDispatcherW(table);
    CoUninitialize();
    return dispatched ? 0 : 1;
}
