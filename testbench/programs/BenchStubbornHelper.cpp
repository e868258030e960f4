// A helper that is slow to close, or will not close at all:
//     BenchStubbornHelper [CLASS [DELAY_MS]]
// It keeps a top-level window of the class (default "Shell_TrayWnd"). Without DELAY_MS it
// answers WM_CLOSE without ending and ends only when terminated; with it, it ends (exit code 0)
// that long after the first WM_CLOSE. Copied under a helper's image name, it shows how long a
// stop waits for the helpers it asked to close.

#include <windows.h>
#include <shellapi.h>

#include <cwchar>

namespace
{
constexpr UINT_PTR CloseTimer = 1;
UINT closeDelayMs = 0;
bool closing = false;

LRESULT CALLBACK StubbornProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message)
    {
    case WM_CLOSE:
        // Counted from the first request: asking again does not put the end off.
        if (closeDelayMs != 0 && !closing)
            SetTimer(window, CloseTimer, closeDelayMs, nullptr);
        closing = true;
        return 0;
    case WM_TIMER:
        if (wParam == CloseTimer)
            PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int)
{
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    const wchar_t* className = argv != nullptr && argc >= 2 ? argv[1] : L"Shell_TrayWnd";
    if (argv != nullptr && argc >= 3)
        closeDelayMs = static_cast<UINT>(wcstoul(argv[2], nullptr, 10));

    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = StubbornProc;
    wc.hInstance = instance;
    wc.lpszClassName = className;
    if (RegisterClassExW(&wc) == 0)
        return 1;
    if (CreateWindowExW(WS_EX_TOOLWINDOW, className, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, instance, nullptr) ==
        nullptr)
        return 1;
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0)
        DispatchMessageW(&msg);
    return 0;
}
