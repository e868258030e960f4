#include "TrayAgentHost.h"

#include "session/Names.h"

bool TrayAgentHost::Start(HWND window)
{
    if (hooked_ != nullptr)
        return true;
    if (!server_.Start())
        return false;
    // Windows tells a flash to the shell hook windows of the desktop.
    shellHookMessage_ = RegisterWindowMessageW(L"SHELLHOOK");
    RegisterShellHookWindow(window);
    hooked_ = window;
    return true;
}

void TrayAgentHost::Stop()
{
    if (hooked_ != nullptr)
        DeregisterShellHookWindow(hooked_);
    hooked_ = nullptr;
    server_.Stop();
}

bool TrayAgentHost::OnShellHook(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message != shellHookMessage_ || shellHookMessage_ == 0)
        return false;
    if (wParam == ShellFlash && hooked_ != nullptr)
        server_.NoteFlash(reinterpret_cast<HWND>(lParam));
    return true;
}
