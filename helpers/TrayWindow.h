#pragma once

// The tray's hidden window: the icon's owner, the target of the quit request and of the feed,
// and the agent's listener for flashes. The icon's menu and a click on a notification start
// QuillonViewer.exe from this program's folder, elevated; the menu also switches the console to
// session 0 where Windows can, for an administrator who holds the console (TrayConsoleSwitch.h).

#include <windows.h>

#include <cstdint>

#include "TrayAgentHost.h"
#include "TrayFeed.h"
#include "TrayQuit.h"
#include "session/WindowFramework.h"

using TrayWindowTraits = CWinTraits<WS_POPUP, WS_EX_TOOLWINDOW>;

class TrayWindow : public CWindowImpl<TrayWindow, CWindow, TrayWindowTraits>
{
public:
    TrayWindow(DWORD ownSession, TrayQuit& quit, TrayAgentHost& agent, TrayFeed& feed)
        : ownSession_(ownSession), quit_(quit), agent_(agent), feed_(feed)
    {
    }

    static const WNDCLASSEXW& GetWndClassInfo();

    // The window, its icon shown; null when it cannot be created.
    HWND Create(CWindowClasses& classes);
    // Begins listening for the quit request, and the agent's or the feed's work, as the
    // session asks. The window may end at once: a request came before it could listen, or the
    // agent cannot serve (the tray then exits with TrayAgentNameTakenExitCode).
    void Begin();

    BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult,
                              DWORD dwMsgMapID = 0) override;

private:
    void LookForQuit();
    void OnIcon(LPARAM event);
    void ShowMenu();
    void RunCommand(UINT command);
    bool CanShowSession0() const;
    void StartViewer(uint32_t selected);

    const DWORD ownSession_;
    TrayQuit& quit_;
    TrayAgentHost& agent_;
    TrayFeed& feed_;
    UINT taskbarCreated_ = 0;
    int exitCode_ = 0;
    bool administrator_ = false;
};
