#include "ShellWindow.h"

#include <algorithm>

#include <wtsapi32.h>

#include <system_error>
#include <utility>

#include "Banner.h"
#include "VersionProbes.h"
#include "service/AppModule.h"
#include "service/WinStation.h"
#include "session/CrashDump.h"
#include "session/FolderSecurity.h"
#include "session/GdiScope.h"
#include "session/Launch.h"
#include "session/Names.h"
#include "session/Paths.h"
#include "session/ProcessLookup.h"
#include "session/ScopedResource.h"

namespace
{
constexpr UINT BottomFlags = SWP_NOSIZE | SWP_NOMOVE | SWP_NOACTIVATE | SWP_NOSENDCHANGING;

constexpr WPARAM ShellWindowCreated = 1;   // HSHELL_WINDOWCREATED

// Helpers close within this time or are left running.
constexpr DWORD HelperCloseTimeoutMs = 1000;
constexpr DWORD HelperAskAgainMs = 50;

// Asks the helper to end through its window of the class. Another program may own a window of
// that class on the same desktop (a shell's own taskbar, a user session's tray under a shared
// desktop), so the helper's own window is the one asked when its process is known. The id is
// the one learned when the helper was started or adopted: the teardown asks again and again,
// and must not list the machine's processes each time.
void AskHelperToClose(DWORD processId, const wchar_t* className)
{
    HWND window = nullptr;
    if (processId == 0)
    {
        window = FindWindowW(className, nullptr);
    }
    else
    {
        for (HWND candidate = FindWindowExW(nullptr, nullptr, className, nullptr); candidate != nullptr;
             candidate = FindWindowExW(nullptr, candidate, className, nullptr))
        {
            DWORD owner = 0;
            GetWindowThreadProcessId(candidate, &owner);
            if (owner == processId)
            {
                window = candidate;
                break;
            }
        }
    }
    if (window != nullptr)
        PostMessageW(window, WM_CLOSE, 0, 0);
}

// Nobody watches session 0 and the service keeps no log: its refusals go to the Application
// event log under the service's name.
void ReportHelpersRefused(const FolderVerdict& verdict)
{
    const HANDLE source = RegisterEventSourceW(nullptr, Ui0DetectServiceName);
    if (source == nullptr)
        return;
    // The code by hand: std::to_wstring would link the runtime's whole printf for one number.
    std::wstring code;
    DWORD rest = verdict.error;
    do
    {
        code.insert(code.begin(), static_cast<wchar_t>(L'0' + rest % 10));
        rest /= 10;
    } while (rest != 0);
    const std::wstring text = L"Quillon starts no helper program: " + verdict.reason + L" (system error " + code + L").";
    LPCWSTR strings[] = {text.c_str()};
    ReportEventW(source, EVENTLOG_ERROR_TYPE, 0, HelpersRefusedEventId, nullptr, 1, 0, strings, nullptr);
    DeregisterEventSource(source);
}

// The helpers run as LocalSystem, elevated or as the users, from this program's folder: from a
// folder that users can change they would run whatever those users put there.
bool HelperFolderIsSafe()
{
    std::wstring program;
    if (!ProgramPath(program))
        return false;
    const FolderVerdict verdict = check_program_folder(FolderOf(program));
    if (verdict.error == ERROR_SUCCESS)
        return true;
    ReportHelpersRefused(verdict);
    return false;
}

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

DWORD RestartSchedule::NextPause(bool livedLong)
{
    if (livedLong)
        pause_ = 0;
    const DWORD pause = pause_;
    pause_ = pause_ == 0 ? FirstPauseMs : std::min(pause_ * 2, LongestPauseMs);
    return pause;
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
        info.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        info.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
        // The class name of the background window of Windows' own interactive services detection.
        info.lpszClassName = ShellWindowClass;
        return info;
    }();
    return wc;
}

HWND QuillonShellWindow::Create()
{
    return CWindowImpl::Create(g_Module.WindowClasses(), nullptr, VirtualScreenRect(), L"Shell0 Window");
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
    case WM_SHELL_START_HELPERS:
        StartHelpers();
        lResult = 1;
        return TRUE;
    case WM_SHELL_RESTART_EXPLORER:
        OnHelperEnded(ExplorerRestartTimerId);
        lResult = 1;
        return TRUE;
    case WM_SHELL_RESTART_TRAY:
        OnHelperEnded(TrayRestartTimerId);
        lResult = 1;
        return TRUE;
    case WM_TIMER:
        if (wParam != ExplorerRestartTimerId && wParam != TrayRestartTimerId)
            break;
        KillTimer(wParam);
        StartHelper(wParam);
        lResult = 0;
        return TRUE;
    case WM_DESTROY:
        // From here the other threads post nothing; default processing follows.
        postTarget.store(nullptr);
        break;
    default:
        break;
    }
    if (shellHookMessage != 0 && uMsg == shellHookMessage)
    {
        lResult = OnShellHook(wParam);
        return TRUE;
    }
    if (uMsg == WM_COMMAND && wParam == 0)
    {
        lResult = 0;
        // Posted by another program: only the service stops the service.
        if (!stopRequested.load())
            return TRUE;
        // The stop request of the service host. No helper is started again from here on.
        KillTimer(ExplorerRestartTimerId);
        KillTimer(TrayRestartTimerId);
        DestroyWindow();
        return TRUE;
    }
    return FALSE;
}

bool QuillonShellWindow::PostFromAnyThread(UINT message, WPARAM wParam, LPARAM lParam) const
{
    // Read once: the window may go away meanwhile, and a post to a destroyed window fails.
    const HWND window = postTarget.load();
    return window != nullptr && ::PostMessageW(window, message, wParam, lParam) != FALSE;
}

bool QuillonShellWindow::RequestStop()
{
    // Set before the post: the window may handle the command before PostMessageW returns.
    stopRequested.store(true);
    return PostFromAnyThread(WM_COMMAND);
}

LRESULT QuillonShellWindow::OnCreate()
{
    // The waits armed below may fire before creation has finished.
    postTarget.store(m_hWnd);
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

    // Starting processes takes longer than showing the window: the shell shows first.
    ::PostMessageW(m_hWnd, WM_SHELL_START_HELPERS, 0, 0);
    return 1;
}

void QuillonShellWindow::StartHelpers()
{
    // Once: any program on the desktop can post the message again.
    if (helpersStarted)
        return;
    helpersStarted = true;
    if (!HelperFolderIsSafe())
        return;
    helpersAllowed = true;
    StartExplorerHelper();
    StartTrayHelper();
    AnnounceUserSessions();
}

void QuillonShellWindow::OnPaint()
{
    const PaintScope paint(m_hWnd);
    PaintBanner(paint.dc(), paint.area(), LoadResourceString(CurrentBannerTextId()));
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
    readyWait.Register(ready, [this] { PostFromAnyThread(WM_SHELL_TS_READY); });
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

    if (effect.ensureTray)
        EnsureTrayInSession(session);
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
    // Called by the system's timer dispatch, which must not see an exception.
    try
    {
        RevertFromServicesSession();
    }
    catch (...)
    {
        EndProcessWithDump(UncaughtCppExceptionCode);
    }
}

void QuillonShellWindow::EndSessionTracking(HWND hWnd)
{
    WTSUnRegisterSessionNotification(hWnd);
    if (quillon::IsWindows10OrGreater())
        ::KillTimer(hWnd, ReturnTimerId);
    // Waits for a running callback; the event handle it hands back is not needed.
    readyWait.Unregister();
}

void QuillonShellWindow::StartExplorerHelper()
{
    ScopedHandle process = MakeScopedHandle(nullptr);
    DWORD ignored = 0;
    try
    {
        process = launch_with_own_token(ExplorerImage, {}, ignored, &explorerProcessId);
    }
    catch (const std::system_error&)
    {
        // A lookup that Terminal Services failed this once is no reason to end the service:
        // it counts as a helper that could not be started.
    }
    if (!process)
    {
        explorerWait.Register(std::move(process), nullptr);
        RetryLater(ExplorerRestartTimerId, explorerRestarts.FailedToStart());
        return;
    }
    explorerRestarts.Started(GetTickCount64());
    explorerWait.Register(std::move(process), [this] { PostFromAnyThread(WM_SHELL_RESTART_EXPLORER); });
}

void QuillonShellWindow::StartTrayHelper()
{
    ScopedHandle process = MakeScopedHandle(nullptr);
    try
    {
        process = launch_in_session(TrayImage, 0, &trayProcessId);
    }
    catch (const std::system_error&)
    {
        // As for the explorer helper.
    }
    if (!process)
    {
        trayWait.Register(std::move(process), nullptr);
        RetryLater(TrayRestartTimerId, trayRestarts.FailedToStart());
        return;
    }
    trayRestarts.Started(GetTickCount64());
    trayWait.Register(std::move(process), [this] { PostFromAnyThread(WM_SHELL_RESTART_TRAY); });
}

void QuillonShellWindow::OnHelperEnded(UINT_PTR timerId)
{
    RestartSchedule& schedule = timerId == ExplorerRestartTimerId ? explorerRestarts : trayRestarts;
    const DWORD pause = schedule.Ended(GetTickCount64());
    if (pause == 0)
        StartHelper(timerId);
    else
        RetryLater(timerId, pause);
}

void QuillonShellWindow::StartHelper(UINT_PTR timerId)
{
    if (timerId == ExplorerRestartTimerId)
        StartExplorerHelper();
    else
        StartTrayHelper();
}

void QuillonShellWindow::RetryLater(UINT_PTR timerId, DWORD pauseMs)
{
    // Even an immediate retry goes through the timer: a start that fails at once must not
    // call itself again.
    SetTimer(timerId, std::max<DWORD>(pauseMs, USER_TIMER_MINIMUM), nullptr);
}

void QuillonShellWindow::EnsureTrayInSession(DWORD session)
{
    // Before the folder was found sound, or after it was not, nothing starts; the sessions that
    // exist by then are announced once it is.
    if (!helpersAllowed)
        return;
    try
    {
        // Not watched: the copy in a user's session is only made sure of at each occasion.
        launch_in_session(TrayImage, session);
    }
    catch (const std::system_error&)
    {
        // The next occasion tries again.
    }
}

void QuillonShellWindow::AnnounceUserSessions()
{
    const HWND window = m_hWnd;
    try
    {
        // Handled once the message loop runs, as logons.
        enumerate_active_sessions_wo0(
            [window](DWORD session) { ::PostMessageW(window, WM_WTSSESSION_CHANGE, WTS_SESSION_LOGON, session); });
    }
    catch (const std::system_error&)
    {
        // The shell goes on without announcing; sessions that log on later still get their tray.
    }
}

LRESULT QuillonShellWindow::OnShellHook(WPARAM code)
{
    if (code != ShellWindowCreated && code != ShellFlash)
        return 1;
    // A window appeared or flashes in session 0 while the user looks elsewhere: the user's tray
    // tells them so. Until the user's session is known there is nobody to tell.
    if (userSession == consoleSession || userSession == 0 || userSession == NoSession)
        return 1;
    EnsureTrayInSession(userSession);
    return 1;
}

void QuillonShellWindow::CloseSessionZeroHelpers()
{
    // Each wait is cancelled before its helper is asked to close, so that no restart follows.
    closingTray = trayWait.Unregister();
    closingExplorer = explorerWait.Unregister();

    // Only the helpers that run are waited for: a missing one must not cut the wait short.
    HANDLE running[2];
    DWORD count = 0;
    if (closingTray)
        running[count++] = closingTray.get();
    if (closingExplorer)
        running[count++] = closingExplorer.get();
    if (count == 0)
        return;

    // A helper started moments ago may have no window yet when first asked; it is asked again
    // until it ends or the time is up, so that a stop right after a start leaves none behind.
    const ULONGLONG deadline = GetTickCount64() + HelperCloseTimeoutMs;
    for (;;)
    {
        if (closingTray && WaitForSingleObject(closingTray.get(), 0) == WAIT_TIMEOUT)
            AskHelperToClose(trayProcessId, TrayWindowClass);
        if (closingExplorer && WaitForSingleObject(closingExplorer.get(), 0) == WAIT_TIMEOUT)
            AskHelperToClose(explorerProcessId, ExplorerWindowClass);
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            return;
        const DWORD slice = static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, HelperAskAgainMs));
        if (WaitForMultipleObjects(count, running, TRUE, slice) != WAIT_TIMEOUT)
            return;
    }
}

void QuillonShellWindow::OnFinalMessage(HWND hWnd)
{
    EndSessionTracking(hWnd);
    CloseSessionZeroHelpers();
    PostQuitMessage(0);
    closingExplorer.reset();
    closingTray.reset();
}
