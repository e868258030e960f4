#pragma once

// The copy of the tray in session 0 is also the session 0 agent (agent/AgentServer.h): it runs as
// the service's own account at the service's own integrity level, which input to the windows of
// interactive services needs (the system drops messages sent up the integrity levels).

#include <windows.h>

#include "agent/AgentServer.h"

class TrayAgentHost
{
public:
    TrayAgentHost() = default;
    ~TrayAgentHost() { Stop(); }
    TrayAgentHost(const TrayAgentHost&) = delete;
    TrayAgentHost& operator=(const TrayAgentHost&) = delete;

    // Serves the agent for the desktop of the calling thread, whose window hears of flashes.
    // False when the pipe's name is taken by someone else or the pipe cannot be made: the tray
    // then ends, so that the service starts it again (TrayAgentNameTakenExitCode).
    bool Start(HWND window);
    // Stops serving; the window stops listening for flashes.
    void Stop();

    // The shell hook's message, which the window passes on: true when it was that message.
    bool OnShellHook(UINT message, WPARAM wParam, LPARAM lParam);

private:
    agent::Server server_;
    HWND hooked_ = nullptr;
    UINT shellHookMessage_ = 0;
};
