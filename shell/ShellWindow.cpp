#include "ShellWindow.h"

#include <wtsapi32.h>

#include "../service/WinStation.h"
#include "../session/ScopedResource.h"
#include "Banner.h"
#include "VersionProbes.h"

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

SessionChangeEffect DecideSessionChange(WPARAM event, DWORD session, DWORD userSession, DWORD consoleSession)
{
    SessionChangeEffect effect{userSession, consoleSession};
    using Reposition = SessionChangeEffect::Reposition;
    using Timer = SessionChangeEffect::Timer;
    switch (event)
    {
    case WTS_CONSOLE_CONNECT:
    case WTS_REMOTE_CONNECT:
        effect.consoleSession = session;
        if (session != 0)
        {
            effect.userSession = session;
        }
        else
        {
            // A remote client brings its own display layout; the console's rarely changes.
            effect.reposition = event == WTS_REMOTE_CONNECT ? Reposition::Always : Reposition::WhenMoved;
            effect.timer = Timer::Set;
        }
        break;
    case WTS_CONSOLE_DISCONNECT:
    case WTS_REMOTE_DISCONNECT:
        effect.consoleSession = NoSession;
        if (session != 0)
            effect.userSession = session;
        else
            effect.timer = Timer::Kill;
        break;
    case WTS_SESSION_LOGON:
        effect.ensureTray = session != 0;
        break;
    case WTS_SESSION_LOGOFF:
        if (session == effect.userSession)
            effect.userSession = NoSession;
        if (session == effect.consoleSession)
            effect.consoleSession = NoSession;
        break;
    default:
        break;
    }
    return effect;
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

BOOL QuillonShellWindow::ProcessWindowMessage(HWND, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult,
                                              DWORD)
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
    case WM_WTSSESSION_CHANGE:
        lResult = OnSessionChange(wParam, static_cast<DWORD>(lParam));
        return TRUE;
    case WM_SHELL_TS_READY:
        lResult = OnTerminalServicesReady();
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

    ArmReadyWait();

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

void QuillonShellWindow::ArmReadyWait()
{
    // Session notifications can be asked for only once Terminal Services is up. Without the
    // event the wait gets a null handle and registers nothing.
    const HANDLE ready = OpenEventW(SYNCHRONIZE, FALSE, L"Global\\TermSrvReadyEvent");
    readyWait.Register(ready, [this] {
        // Runs on a pool thread: the handle is read now, and is null once the window is gone.
        const HWND window = m_hWnd;
        if (window != nullptr)
            ::PostMessageW(window, WM_SHELL_TS_READY, 0, 0);
    });
}

LRESULT QuillonShellWindow::OnTerminalServicesReady()
{
    WTSRegisterSessionNotification(m_hWnd, NOTIFY_FOR_ALL_SESSIONS);
    return 1;
}

LRESULT QuillonShellWindow::OnSessionChange(WPARAM event, DWORD session)
{
    const SessionChangeEffect effect = DecideSessionChange(event, session, userSession, consoleSession);
    userSession = effect.userSession;
    consoleSession = effect.consoleSession;

    if (effect.reposition != SessionChangeEffect::Reposition::None)
        FitToVirtualScreen(effect.reposition == SessionChangeEffect::Reposition::Always);

    if (effect.timer == SessionChangeEffect::Timer::Set && quillon::IsWindows10OrGreater())
    {
        // Setting it again restarts the period.
        SetTimer(ReturnTimerId, ReturnTimerPeriodMs, &ReturnTimerProc);
    }
    else if (effect.timer == SessionChangeEffect::Timer::Kill && quillon::IsWindows10OrGreater())
    {
        KillTimer(ReturnTimerId);
    }

    // A user logged on (effect.ensureTray): the tray helper is started in that session here.
    return 1;
}

void QuillonShellWindow::FitToVirtualScreen(bool always)
{
    RECT window{};
    GetWindowRect(&window);
    const RECT screen = VirtualScreenRect();
    if (always || !EqualRect(&window, &screen))
        MoveWindow(screen.left, screen.top, screen.right - screen.left, screen.bottom - screen.top, TRUE);
}

void CALLBACK QuillonShellWindow::ReturnTimerProc(HWND, UINT, UINT_PTR, DWORD)
{
    RevertFromServicesSession();
}

void QuillonShellWindow::EndSessionTracking(HWND hWnd)
{
    WTSUnRegisterSessionNotification(hWnd);
    if (quillon::IsWindows10OrGreater())
        ::KillTimer(hWnd, ReturnTimerId);
    // Waits for a running callback; the event handle it hands back is not needed.
    readyWait.Unregister();
}

void QuillonShellWindow::OnFinalMessage(HWND hWnd)
{
    EndSessionTracking(hWnd);
    // The session 0 helpers are closed here, before the quit message.
    PostQuitMessage(0);
}
