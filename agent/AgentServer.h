#pragma once

// The session 0 agent: serves the channel of Protocol.h to elevated administrators, on threads
// of its own, for the windows of every window station of its session (the desktop of the
// thread that starts it first); and the read-only feed of those windows (Watch) to the
// interactive user of a session as well.

#include <windows.h>

#include <memory>
#include <string>

#include "Feed.h"
#include "Peers.h"
#include "Trust.h"

namespace agent
{
class Server
{
public:
    // Who a connected client is: by default read from the token it lends the pipe. Another
    // reader drives the real pipe with the facts of tokens that cannot be made at will (an
    // unelevated administrator, a session's interactive user, a plain user).
    using ClientReader = bool (*)(HANDLE pipe, ClientToken* facts, std::wstring* account);
    explicit Server(ClientReader readClient = &ReadPipeClient) : readClient_(readClient) {}
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Creates the pipes (the administrators' and the feed's) and starts serving the calling
    // thread's desktop. False when a name is taken already (someone else holds it) or a pipe
    // cannot be made.
    bool Start();

    // Ends the serving within a bounded time, connected clients or not. A thread stuck in a
    // window that does not answer is left to the end of the process.
    void Stop();

    // Told of each window that appears in session 0 or leaves it, on the agent's feed thread.
    // Set before Start.
    void SetWindowObserver(FeedKeeper::Observer observer) { observer_ = std::move(observer); }

    // The window flashes (Windows tells the shell with HSHELL_FLASH): the feed says so when it
    // is one of the listed windows.
    void NoteFlash(HWND window);

    struct State;

private:
    ClientReader readClient_;
    FeedKeeper::Observer observer_;
    std::shared_ptr<State> state_;
};
}
