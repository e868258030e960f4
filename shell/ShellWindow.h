#pragma once

#include <windows.h>

#include "WindowFramework.h"

// Private messages, posted to the shell window by other threads of the service.
constexpr UINT WM_SHELL_TS_READY = WM_APP;
constexpr UINT WM_SHELL_RESTART_EXPLORER = WM_USER;
constexpr UINT WM_SHELL_RESTART_TRAY = WM_USER + 1;

constexpr DWORD NoSession = 0xFFFFFFFF;

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

private:
    LRESULT OnCreate();
    void OnPaint();
    void SendToBottom();

    UINT shellHookMessage = 0;
    DWORD userSession = NoSession;
    DWORD consoleSession = NoSession;
};

RECT VirtualScreenRect();
