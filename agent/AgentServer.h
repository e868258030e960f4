#pragma once

// The session 0 agent: serves the channel of Protocol.h to elevated administrators, on threads
// of its own, for the windows of the desktop of the thread that starts it; and the read-only
// feed of those windows (Watch) to the interactive user of a session as well.

#include <windows.h>

#include <memory>

namespace agent
{
// What decides whether a pipe client is served, as read from its token.
struct ClientToken
{
    bool system = false;          // the token's user is LocalSystem
    bool administrator = false;   // Administrators is an enabled group of the token
    DWORD integrity = 0;          // the mandatory label's RID (SECURITY_MANDATORY_*_RID)
    // The user signed on at a session's console or remote desktop: the token is of a session
    // other than 0, INTERACTIVE is an enabled group of it, and its user is the user that
    // Terminal Services names for that session.
    bool interactiveUser = false;
};

// SYSTEM, or an enabled member of Administrators at high integrity or above. A filtered
// administrator token has Administrators for deny only and a medium label: refused either way.
bool ClientAllowed(const ClientToken& token);

// The feed of window names and times: everyone ClientAllowed serves, and the interactive user
// of a session at any integrity level but low and untrusted.
bool FeedAllowed(const ClientToken& token);

class Server
{
public:
    Server() = default;
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Creates the pipe and starts serving the calling thread's desktop. False when the name is
    // taken already (someone else holds it: nothing is served then) or the pipe cannot be made.
    bool Start();

    // Ends the serving within a bounded time, connected clients or not. A thread stuck in a
    // window that does not answer is left to the end of the process.
    void Stop();

    // The window flashes (Windows tells the shell with HSHELL_FLASH): the feed says so when it
    // is one of the listed windows.
    void NoteFlash(HWND window);

    struct State;

private:
    std::shared_ptr<State> state_;
};
}
