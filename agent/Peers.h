#pragma once

// Who is at the other end of the agent's pipe, as facts gathered from the system for the pure
// rules of Trust.h: the agent reads its client's token, a client reads the pipe's server.

#include <windows.h>

#include <string>

#include "Trust.h"

namespace agent
{
// The facts of one token. Whether the user is a session's interactive user is asked only when
// the full rights do not cover the token already.
ClientToken ReadClientToken(HANDLE token);

// The token's user as a SID string; empty when unreadable.
std::wstring AccountOf(HANDLE token);

// Who the pipe's client is, from the token it lent us: the facts of its token and its account.
// Only possible once the client has written to the pipe. False when the token cannot be read.
bool ReadPipeClient(HANDLE pipe, ClientToken* facts, std::wstring* account);

// What ServerAcceptable decides on, asked of the system in the order of ServerCheck.
ServerFacts GatherServerFacts(HANDLE pipe);
}
