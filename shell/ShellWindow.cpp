#include "ShellWindow.h"

#include <wtsapi32.h>

#include "../session/ScopedResource.h"
#include "Banner.h"

namespace
{
constexpr UINT BottomFlags = SWP_NOSIZE | SWP_NOMOVE | SWP_NOACTIVATE | SWP_NOSENDCHANGING;

// The session this process runs in, as Terminal Services reports it; NoSession when it cannot.
DWORD OwnSessionId()
{
    LPWSTR buffer = nullptr;
    DWORD bytes = 0;
    if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, WTSSessionId, &buffer, &bytes))
        return NoSession;
    const ScopedWtsMemory owner = MakeScopedWtsMemory(buffer);
    if (buffer == nullptr || bytes < sizeof(DWORD))
        return NoSession;
    return *reinterpret_cast<const DWORD*>(buffer);
}
}

RECT VirtualScreenRect()
{
    RECT rect;
    rect.left = GetSystemMetrics(SM_XVIRTUALSCREEN);
    rect.top = GetSystemMetrics(SM_YVIRTUALSCREEN);
    rect.right = rect.left + GetSystemMetrics(SM_CXVIRTUALSCREEN);
    rect.bottom = rect.top + GetSystemMetrics(SM_CYVIRTUALSCREEN);
    return rect;
}

const WNDCLASSEXW& QuillonShellWindow::GetWndClassInfo()
{
    static const WNDCLASSEXW wc = [] {
        WNDCLASSEXW info{};
        info.cbSize = sizeof info;
        info.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
        info.lpfnWndProc = &CWindowImplBaseT::WindowProc;
        info.hInstance = g_Module.GetModuleInstance();
        info.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        info.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
        // The class name of the background window of Windows' own interactive services detection.
        info.lpszClassName = L"$$$UI0Background";
        return info;
    }();
    return wc;
}

HWND QuillonShellWindow::Create()
{
    return CWindowImpl::Create(nullptr, VirtualScreenRect(), L"Shell0 Window");
}

BOOL QuillonShellWindow::ProcessWindowMessage(HWND, UINT uMsg, WPARAM wParam, LPARAM, LRESULT& lResult, DWORD)
{
    switch (uMsg)
    {
    case WM_CREATE:
        lResult = OnCreate();
        return TRUE;
    case WM_CLOSE:
        // Nobody closes the session 0 shell but the service itself.
        lResult = 0;
        return TRUE;
    case WM_ERASEBKGND:
        lResult = 1;
        return TRUE;
    case WM_PAINT:
        OnPaint();
        lResult = 0;
        return TRUE;
    case WM_ACTIVATE:
        SendToBottom();
        lResult = 0;
        return TRUE;
    default:
        break;
    }
    if (shellHookMessage != 0 && uMsg == shellHookMessage)
    {
        lResult = 1;
        return TRUE;
    }
    if (uMsg == WM_COMMAND && wParam == 0)
    {
        // The stop request of the service host.
        DestroyWindow();
        lResult = 0;
        return TRUE;
    }
    return FALSE;
}

LRESULT QuillonShellWindow::OnCreate()
{
    shellHookMessage = RegisterWindowMessageW(L"SHELLHOOK");

    userSession = NoSession;
    consoleSession = NoSession;
    const DWORD ownSession = OwnSessionId();
    consoleSession = ownSession;
    if (ownSession != 0)
        userSession = ownSession;

    // Terminal Services ready wait: armed here once session tracking exists.

    RegisterShellHookWindow(m_hWnd);
    SendToBottom();

    // Session 0 helpers and the announcement of existing user sessions: started here.

    return 1;
}

void QuillonShellWindow::OnPaint()
{
    PAINTSTRUCT ps{};
    const HDC dc = BeginPaint(m_hWnd, &ps);
    PaintBanner(dc, ps.rcPaint, LoadResourceString(CurrentBannerTextId()));
    EndPaint(m_hWnd, &ps);
}

void QuillonShellWindow::SendToBottom()
{
    SetWindowPos(HWND_BOTTOM, 0, 0, 0, 0, BottomFlags);
}

void QuillonShellWindow::OnFinalMessage(HWND)
{
    // Session tracking ends and the session 0 helpers are closed here, before the quit message.
    PostQuitMessage(0);
}
