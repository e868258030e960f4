// QuillonExplorer.exe: the taskbar's stand-in on the session 0 desktop. Programs that show
// windows there look for a window of the taskbar's class "Shell_TrayWnd" before they take the
// desktop for a working shell; this program keeps one (hidden: session 0 needs no real taskbar)
// for as long as it runs. It ends when that window is asked to close. One copy per session.

#include <windows.h>

#include "session/Names.h"
#include "session/ObjectOwner.h"
#include "session/ScopedResource.h"
#include "session/SystemLibraries.h"

namespace
{
LRESULT CALLBACK TrayWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message)
    {
    case WM_CLOSE:
        DestroyWindow(window);
        return 0;
    case WM_ENDSESSION:
        if (wParam)
            DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int)
{
    KeepDllSearchInSystemFolder();
    ScopedHandle single = MakeScopedHandle(nullptr);
    if (!ClaimSingleInstance(L"Local\\QuillonExplorer", single.put()))
        return 0;

    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = TrayWindowProc;
    wc.hInstance = instance;
    wc.lpszClassName = ExplorerWindowClass;
    if (RegisterClassExW(&wc) == 0)
        return 1;
    if (CreateWindowExW(WS_EX_TOOLWINDOW, wc.lpszClassName, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, instance,
                        nullptr) == nullptr)
        return 1;

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0)
    {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}
