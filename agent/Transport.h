#pragma once

// The agent's pipe, both ends: its instances on the server's side, its opening on the client's,
// and the overlapped calls on it that both ends make, each bounded in time.

#include <windows.h>

#include <cstdint>
#include <vector>

#include "session/ScopedResource.h"

namespace agent::transport
{
// The administrators' pipe, which serves every request, and the feed's, which serves Watch.
enum class Pipe
{
    Agent,
    Feed,
};

const wchar_t* NameOf(Pipe pipe);

// A further instance of the pipe, or the first, which fails when someone holds the name
// already. Empty on failure.
ScopedFile CreateInstance(Pipe pipe, bool first);

// The client's end, for reading and writing messages. Empty on failure, with the error of
// CreateFileW.
ScopedFile Open(Pipe pipe = Pipe::Agent);

// Overlapped calls on one pipe with one manual-reset event. Each call is completed within its
// time or cancelled; a stop event, when given, cancels it at once. Each returns 0 or the error:
// ERROR_TIMEOUT, ERROR_OPERATION_ABORTED at the stop, ERROR_MORE_DATA for a message larger than
// the buffer (its first bytes are read), or the call's own.
class Channel
{
public:
    Channel(HANDLE pipe, HANDLE event, HANDLE stop = nullptr) : pipe_(pipe), event_(event), stop_(stop) {}

    // Waits for a client; without a time limit, but for the stop.
    DWORD Accept();
    DWORD Read(void* buffer, DWORD size, DWORD timeoutMs, DWORD* bytes);
    // The whole message or an error.
    DWORD Write(const std::vector<uint8_t>& message, DWORD timeoutMs);

private:
    DWORD Complete(OVERLAPPED& overlapped, BOOL result, DWORD timeoutMs, DWORD* bytes);
    OVERLAPPED Fresh();

    HANDLE pipe_;
    HANDLE event_;
    HANDLE stop_;
};
}
