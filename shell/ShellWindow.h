#pragma once

#include <windows.h>

#include <atomic>

#include "service/WaitRegistration.h"
#include "session/WindowFramework.h"

// Private messages, posted to the shell window by other threads of the service.
constexpr UINT WM_SHELL_TS_READY = WM_APP;
constexpr UINT WM_SHELL_RESTART_EXPLORER = WM_USER;
constexpr UINT WM_SHELL_RESTART_TRAY = WM_USER + 1;
// Posted to itself at creation: the helpers start once the window shows.
constexpr UINT WM_SHELL_START_HELPERS = WM_USER + 2;

constexpr DWORD NoSession = 0xFFFFFFFF;

// The return timer: while session 0 holds the console, the console is handed back this often.
constexpr UINT_PTR ReturnTimerId = 10;
constexpr UINT ReturnTimerPeriodMs = 30000;

// The event logged when the programs' folder can be changed by users and no helper is started.
constexpr WORD HelpersRefusedEventId = 1;

// The pending restarts of the session 0 helpers.
constexpr UINT_PTR ExplorerRestartTimerId = 11;
constexpr UINT_PTR TrayRestartTimerId = 12;

// When to start a session 0 helper again. A copy that ends at once (it fails at start, or
// another copy holds its lock) must not be restarted in a tight loop, and a start that failed
// must be tried again: the pause doubles while copies keep dying young, and a copy that lived
// long wipes the slate. Times are in milliseconds of the caller's clock.
class RestartSchedule
{
public:
    static constexpr ULONGLONG LongLifeMs = 10000;
    static constexpr DWORD FirstPauseMs = 1000;
    static constexpr DWORD LongestPauseMs = 60000;

    void Started(ULONGLONG now) { startedAt_ = now; }
    // The pause before the next start, for a copy that ended now.
    DWORD Ended(ULONGLONG now) { return NextPause(now - startedAt_ >= LongLifeMs); }
    // The pause before the next try, for a start that yielded no process.
    DWORD FailedToStart() { return NextPause(false); }

private:
    DWORD NextPause(bool livedLong);

    ULONGLONG startedAt_ = 0;
    DWORD pause_ = 0;
};

// What one session notification does to the shell: its two session ids, and the window work
// that follows. The timer work is further gated by the Windows 10 probe, asked when it is done.
struct SessionChangeEffect
{
    enum class Reposition
    {
        None,
        WhenMoved,   // only if the window no longer covers the virtual screen
        Always
    };
    enum class Timer
    {
        Keep,
        Set,
        Kill
    };

    DWORD userSession;
    DWORD consoleSession;
    Reposition reposition = Reposition::None;
    Timer timer = Timer::Keep;
    bool ensureTray = false;   // a user logged on: the tray helper belongs in that session
};

SessionChangeEffect DecideSessionChange(WPARAM event, DWORD session, DWORD userSession, DWORD consoleSession);

using ShellWindowTraits = CWinTraits<WS_POPUP | WS_CLIPSIBLINGS | WS_CLIPCHILDREN, WS_EX_TOOLWINDOW>;

// The full-screen background window of session 0, at the bottom of the z-order.
class QuillonShellWindow : public CWindowImpl<QuillonShellWindow, CWindow, ShellWindowTraits>
{
public:
    static const WNDCLASSEXW& GetWndClassInfo();

    // A hidden pop-up over the whole virtual screen; null when it cannot be created.
    HWND Create();

    BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult,
                              DWORD dwMsgMapID = 0) override;
    void OnFinalMessage(HWND hWnd) override;

    // For the other threads of the service: posts to the window while it lives, else nothing
    // (a null window would post to the calling thread's own queue). False when nothing was posted.
    bool PostFromAnyThread(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;

    // The service host's stop request, from its control handler's thread. Any program on the
    // desktop can post the stop command too: the window acts on it only once this was called.
    bool RequestStop();

private:
    LRESULT OnCreate();
    void OnPaint();
    void SendToBottom();

    void ArmReadyWait();
    LRESULT OnTerminalServicesReady();
    LRESULT OnSessionChange(WPARAM event, DWORD session);
    void FitToVirtualScreen(bool always);
    void EndSessionTracking(HWND hWnd);
    static void CALLBACK ReturnTimerProc(HWND, UINT, UINT_PTR, DWORD);

    void StartHelpers();
    void StartExplorerHelper();
    void StartTrayHelper();
    void OnHelperEnded(UINT_PTR timerId);
    void StartHelper(UINT_PTR timerId);
    void RetryLater(UINT_PTR timerId, DWORD pauseMs);
    void EnsureTrayInSession(DWORD session);
    void AnnounceUserSessions();
    LRESULT OnShellHook(WPARAM code);
    void CloseSessionZeroHelpers();

    // The window handle as the other threads see it: set once the window exists, cleared as it
    // is destroyed. m_hWnd is the UI thread's alone.
    std::atomic<HWND> postTarget{nullptr};
    std::atomic<bool> stopRequested{false};
    RestartSchedule explorerRestarts;
    RestartSchedule trayRestarts;
    UINT shellHookMessage = 0;
    bool helpersStarted = false;
    // Set once the programs' folder was found to be changeable by administrators only.
    bool helpersAllowed = false;
    DWORD userSession = NoSession;
    DWORD consoleSession = NoSession;
    // Members are destroyed in reverse order: waits declared after this one are cancelled
    // before it, so that the ready wait goes last.
    WaitRegistration readyWait;
    // The session 0 helpers' processes: the tray's wait is cancelled first, then the explorer's.
    WaitRegistration explorerWait;
    WaitRegistration trayWait;
    // Taken back from the waits at teardown and closed only after the quit message.
    ScopedHandle closingExplorer = MakeScopedHandle(nullptr);
    ScopedHandle closingTray = MakeScopedHandle(nullptr);
    // The ids of the helpers last started or adopted, for finding their windows at teardown.
    DWORD explorerProcessId = 0;
    DWORD trayProcessId = 0;
};

RECT VirtualScreenRect();
