#include "Transport.h"

#include <sddl.h>

#include <string>

#include "Protocol.h"
#include "session/ObjectOwner.h"

namespace agent::transport
{
namespace
{
// SYSTEM has every right (it creates the further instances); Administrators, and on the feed's
// pipe interactive users, may read and write but not create instances (FILE_CREATE_PIPE_INSTANCE
// is FILE_APPEND_DATA, left out), so that no other server can slip in beside ours. The label
// keeps out low integrity; who gets what is decided per request from the client's token.
constexpr const wchar_t* AgentPipeSecurity = L"D:P(A;;GA;;;SY)(A;;0x12019b;;;BA)S:(ML;;NWNR;;;ME)";
constexpr const wchar_t* FeedPipeSecurity =
    L"D:P(A;;GA;;;SY)(A;;0x12019b;;;BA)(A;;0x12019b;;;IU)S:(ML;;NWNR;;;ME)";
}

const wchar_t* NameOf(Pipe pipe)
{
    return pipe == Pipe::Feed ? FeedPipeName : PipeName;
}

ScopedFile CreateInstance(Pipe pipe, bool first)
{
    ScopedLocal<PSECURITY_DESCRIPTOR> descriptor = MakeScopedLocal<PSECURITY_DESCRIPTOR>(nullptr);
    // Owned by our own account (LocalSystem for the agent), not by the token's default owner
    // (which may be Administrators): clients take only a pipe of the service's account.
    const std::wstring owner = OwnAccountOwner();
    if (owner.empty())
        return MakeScopedFile(INVALID_HANDLE_VALUE);
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW((owner + (pipe == Pipe::Feed ? FeedPipeSecurity : AgentPipeSecurity)).c_str(), SDDL_REVISION_1,
                                                              descriptor.put(), nullptr))
        return MakeScopedFile(INVALID_HANDLE_VALUE);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
    const DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    return MakeScopedFile(CreateNamedPipeW(
        NameOf(pipe), openMode, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
        pipe == Pipe::Feed ? MaxFeedInstances : MaxInstances, 64 * 1024, 64 * 1024, 0, &attributes));
}

ScopedFile Open(Pipe pipe)
{
    // No FILE_APPEND_DATA (FILE_CREATE_PIPE_INSTANCE): the agent grants administrators only
    // what a client needs. Identification only: the server may learn who we are, not act as us.
    return MakeScopedFile(CreateFileW(
        NameOf(pipe),
        FILE_READ_DATA | FILE_WRITE_DATA | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE, 0,
        nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
}

OVERLAPPED Channel::Fresh()
{
    ResetEvent(event_);
    OVERLAPPED overlapped{};
    overlapped.hEvent = event_;
    return overlapped;
}

DWORD Channel::Complete(OVERLAPPED& overlapped, BOOL result, DWORD timeoutMs, DWORD* bytes)
{
    *bytes = 0;
    if (!result)
    {
        const DWORD error = GetLastError();
        // A message larger than the buffer may be there already: the call has completed, with
        // its first bytes read, as it would have after a wait.
        if (error != ERROR_IO_PENDING && error != ERROR_MORE_DATA)
            return error;
        if (error == ERROR_IO_PENDING)
        {
            // The stop comes first: a call that completes as the agent stops is not acted on.
            const HANDLE handles[2] = {stop_, event_};
            const bool stoppable = stop_ != nullptr;
            const DWORD woken =
                WaitForMultipleObjects(stoppable ? 2 : 1, stoppable ? handles : handles + 1, FALSE, timeoutMs);
            if (woken != (stoppable ? WAIT_OBJECT_0 + 1 : WAIT_OBJECT_0))
            {
                CancelIoEx(pipe_, &overlapped);
                GetOverlappedResult(pipe_, &overlapped, bytes, TRUE);
                *bytes = 0;
                return stoppable && woken == WAIT_OBJECT_0 ? ERROR_OPERATION_ABORTED : ERROR_TIMEOUT;
            }
        }
    }
    return GetOverlappedResult(pipe_, &overlapped, bytes, FALSE) ? 0 : GetLastError();
}

DWORD Channel::Accept()
{
    OVERLAPPED overlapped = Fresh();
    DWORD bytes = 0;
    const BOOL result = ConnectNamedPipe(pipe_, &overlapped);
    if (!result && GetLastError() == ERROR_PIPE_CONNECTED)
        return 0;
    return Complete(overlapped, result, INFINITE, &bytes);
}

DWORD Channel::Read(void* buffer, DWORD size, DWORD timeoutMs, DWORD* bytes)
{
    OVERLAPPED overlapped = Fresh();
    return Complete(overlapped, ReadFile(pipe_, buffer, size, nullptr, &overlapped), timeoutMs, bytes);
}

DWORD Channel::Write(const std::vector<uint8_t>& message, DWORD timeoutMs)
{
    OVERLAPPED overlapped = Fresh();
    DWORD bytes = 0;
    const DWORD error = Complete(
        overlapped, WriteFile(pipe_, message.data(), static_cast<DWORD>(message.size()), nullptr, &overlapped),
        timeoutMs, &bytes);
    return error != 0 ? error : bytes == message.size() ? 0 : ERROR_WRITE_FAULT;
}
}
