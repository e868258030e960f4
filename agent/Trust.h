#pragma once

// Who trusts whom on the agent's pipe, as pure rules over facts that the two ends gather from
// the system: the agent's rules for its clients, and the client's rule for the pipe's server.

#include <windows.h>

#include <string>

namespace agent
{
// A rule's verdict; a refusal says why, with the error and the text the programs report it with.
struct Decision
{
    bool allowed = false;
    DWORD error = 0;
    const char* reason = "";

    explicit operator bool() const { return allowed; }
};

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
Decision ClientAllowed(const ClientToken& token);

// The feed of window names and times: everyone ClientAllowed serves, and the interactive user
// of a session at any integrity level but low and untrusted.
Decision FeedAllowed(const ClientToken& token);

// The calls by which a client learns who serves the pipe, in the order it makes them.
enum class ServerCheck
{
    None,             // every call succeeded
    PipeServer,       // the pipe server's process id
    PipeOwner,        // the owner of the pipe, read on the client's own handle
    Manager,          // the service control manager
    Service,          // the UI0Detect service
    Status,           // its state and process id
    Config,           // its image path
    ServerProcess,    // the pipe server's process, opened to read its image
    ServiceProcess,   // the service's process
    ServerAccount,    // the pipe server's account
    ServiceAccount,   // the service's account
};

// What a client found out about the pipe's server. The first call that failed ends the
// gathering: nothing after it is known.
struct ServerFacts
{
    ServerCheck failed = ServerCheck::None;
    DWORD error = 0;               // the failed call's
    DWORD serverPid = 0;           // the pipe server's process, for the refusal's text
    bool ownerSystem = false;      // the pipe's owner is LocalSystem
    bool ownerServiceAccount = false;   // the pipe's owner is the service's account
    bool serviceRunning = false;   // running, with a process
    std::wstring agentImage;       // QuillonTray.exe in the folder of the service's program, full path
    std::wstring serverImage;      // the pipe server's program, full path; empty: unreadable
    bool sameAccount = false;      // the pipe server runs under the service's account
    // The pipe server runs in session 0, the services' session: the session of the service's own
    // process, taken for 0 when this user may not ask (Wine numbers every process's session 1).
    bool sessionZero = false;
};

// The pipe server must be the agent of the running UI0Detect service: QuillonTray.exe from the
// folder of the service's program, in session 0, under the service's own account, and the pipe
// must be owned by that account (whoever made the name first owns the pipe, whatever process
// answers on it later). A user who is not an administrator may not look into a service's
// process; for the feed (names and times, nothing sent to a window) a server in session 0 on a
// pipe that LocalSystem owns is taken then, though an image that can be read must still match.
Decision ServerAcceptable(const ServerFacts& facts, bool forFeed);
}
