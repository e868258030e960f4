#include "TrayAgentHost.h"

#include "agent/Audit.h"
#include "agent/Protocol.h"
#include "agent/Transport.h"
#include "session/Names.h"

namespace
{
// The name that someone holds: the first of the agent's names that exists once ours are gone.
// The holder stays unknown: only a client's handle tells the server's process, and connecting
// would use up an instance the holder may never free, so that the viewer could not reach it to
// name it.
const wchar_t* TakenPipe()
{
    for (const agent::transport::Pipe pipe : {agent::transport::Pipe::Agent, agent::transport::Pipe::Feed})
    {
        const wchar_t* name = agent::transport::NameOf(pipe);
        if (WaitNamedPipeW(name, 1) || GetLastError() != ERROR_FILE_NOT_FOUND)
            return name;
    }
    return agent::PipeName;
}
}

bool TrayAgentHost::Start(HWND window)
{
    if (hooked_ != nullptr)
        return true;
    if (!server_.Start())
    {
        agent::audit::PipeTaken(TakenPipe(), 0, std::wstring());
        return false;
    }
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
