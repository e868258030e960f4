#pragma once

// The tray's ending on request: the event Global\QuillonTray_QuitAll asks every copy in every
// session to quit.
//
// The copy in session 0 runs as the service and can create global objects, so it is the one
// that creates the event; copies in users' sessions may only open it, and look for it every
// second while it does not exist yet.
//
// An event of that name made by another program (its owner is not SYSTEM, Administrators or the
// copy's own account) is no request: a copy ignores it and keeps looking for ours.
//
// The control tool sets the event and never resets it. Every copy that has the event open waits
// on it from the thread pool all the time, so a request reaches it at once, its menu open or
// not. A copy that finds the event set when it starts takes the request for one made before it
// (the service starts its own copy again after a request, and must not see it quit at once): it
// leaves the event set for a grace time longer than any running copy needs to see it, then
// resets it if it may, and only then starts listening. A copy that opens the event only later
// and finds it set was running when the request came, and quits.

#include <windows.h>

#include "session/ScopedResource.h"

// Posted to the tray's window from the pool thread when the request comes.
constexpr UINT WM_TRAY_QUIT_ALL = WM_APP + 2;

class TrayQuit
{
public:
    // How often a copy without the event open looks for it.
    static constexpr UINT LookIntervalMs = 1000;

    enum class State
    {
        Quit,        // a request came while this copy ran
        Listening,   // the pool waits on the event: looking again is not needed
        Looking      // no event yet, or an old request still to retire: look again later
    };

    // Opens the event as the copy starts: a request already made then is an old one.
    TrayQuit();
    // Ends the wait; a callback under way is let go first.
    ~TrayQuit();
    TrayQuit(const TrayQuit&) = delete;
    TrayQuit& operator=(const TrayQuit&) = delete;

    // Looks for the event, retires an old request, and starts listening once it can; a request
    // is then posted to the window as WM_TRAY_QUIT_ALL.
    State Look(HWND window);

    // WM_TRAY_QUIT_ALL: ends the window, or the menu first when one is open.
    void OnRequest(HWND window);
    // Around the icon's menu, whose modal loop dispatches the request too. MenuClosed says
    // whether a request came meanwhile: the window then ends instead of running the command.
    void MenuOpened() { menuOpen_ = true; }
    bool MenuClosed();

private:
    static void CALLBACK OnSignalled(PVOID context, BOOLEAN timedOut);
    // Cancels the wait and lets a callback under way finish first.
    static void EndWait(HANDLE wait);
    void Open();

    using WaitRelease = void (*)(HANDLE);
    using ScopedWait = ScopedResource<HANDLE, WaitRelease>;

    ScopedHandle event_ = MakeScopedHandle(nullptr);
    bool mayReset_ = false;
    bool oldRequest_ = false;
    ULONGLONG oldRequestSeen_ = 0;
    bool menuOpen_ = false;
    bool quitAfterMenu_ = false;
    // Read by the pool's callback; written before the wait is registered.
    HWND window_ = nullptr;
    // Set once the UI thread is through with its window, which the callback waits for.
    ScopedHandle done_ = MakeScopedHandle(nullptr);
    // Declared last: the wait ends before the handles it uses are closed.
    ScopedWait wait_{&EndWait, nullptr};
};
