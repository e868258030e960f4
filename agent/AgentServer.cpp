#include "AgentServer.h"

#include <sddl.h>
#include <wtsapi32.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "Protocol.h"
#include "WindowActions.h"
#include "session/ScopedResource.h"

namespace agent
{
struct FeedEntry
{
    uint32_t window = 0;
    std::wstring program;
    std::wstring title;
    uint64_t appeared = 0;
    uint64_t flashed = 0;
};

struct Server::State
{
    ScopedHandle stop = MakeScopedHandle(nullptr);
    HDESK desktop = nullptr;
    // Guarded by the mutex below: the threads to wait for at the stop (the feed's and every
    // client thread started so far), and how many client threads wait for a client.
    std::vector<HANDLE> threads;
    uint32_t clientThreads = 0;
    uint32_t listening = 0;

    // The feed: the listed windows as last seen, and a sequence that counts every change.
    std::mutex mutex;
    std::condition_variable changed;
    bool stopping = false;
    uint32_t sequence = 1;
    std::vector<FeedEntry> feed;
    int watchers = 0;               // Watch requests being held
    ULONGLONG lastWatch = 0;        // when the last one ended
    ULONGLONG lastRefresh = 0;
};

bool ClientAllowed(const ClientToken& token)
{
    if (token.system)
        return true;
    return token.administrator && token.integrity >= SECURITY_MANDATORY_HIGH_RID;
}

bool FeedAllowed(const ClientToken& token)
{
    if (ClientAllowed(token))
        return true;
    return token.interactiveUser && token.integrity >= SECURITY_MANDATORY_MEDIUM_RID;
}
}

namespace
{
using namespace agent;

// How long the tray's end waits for the serving threads: the service gives the whole helper
// 1000 ms to end after its WM_CLOSE.
constexpr DWORD StopWaitMs = 500;
// Address space reserved per client thread, of which a 32-bit agent has 2 GB in all.
constexpr SIZE_T InstanceStackBytes = 256 * 1024;
static_assert(MaxInstances + 1 <= MAXIMUM_WAIT_OBJECTS, "the stop waits on every thread at once");

// While someone follows the feed, the desktop's windows are listed this often; a minute after
// the last Watch request they no longer are.
constexpr DWORD FeedPollMs = 500;
constexpr ULONGLONG FeedIdleMs = 60000;

// SYSTEM has every right (it creates the further instances); Administrators and interactive
// users may read and write but not create instances (FILE_CREATE_PIPE_INSTANCE is
// FILE_APPEND_DATA, left out), so that no other server can slip in beside ours. The label keeps
// out low integrity; who gets what is decided per request from the client's token.
constexpr const wchar_t* PipeSecurity =
    L"D:P(A;;GA;;;SY)(A;;0x12019b;;;BA)(A;;0x12019b;;;IU)S:(ML;;NWNR;;;ME)";

HANDLE CreateInstance(bool first)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(PipeSecurity, SDDL_REVISION_1, &descriptor, nullptr))
        return INVALID_HANDLE_VALUE;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    const DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    const HANDLE pipe = CreateNamedPipeW(PipeName, openMode,
                                         PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                                         MaxInstances, 64 * 1024, 64 * 1024, 0, &attributes);
    LocalFree(descriptor);
    return pipe;
}

// A session's interactive user: the token is of a session other than 0, holds INTERACTIVE, and
// its user is the one Terminal Services names for that session. A service account or a batch
// logon of the same user has no INTERACTIVE; a user of another session is not that session's.
bool IsInteractiveUser(HANDLE token)
{
    DWORD session = 0;
    DWORD bytes = 0;
    if (!GetTokenInformation(token, TokenSessionId, &session, sizeof session, &bytes) || session == 0)
        return false;

    BYTE interactive[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof interactive;
    BOOL member = FALSE;
    if (!CreateWellKnownSid(WinInteractiveSid, nullptr, interactive, &size) ||
        !CheckTokenMembership(token, interactive, &member) || !member)
        return false;

    HANDLE sessionToken = nullptr;
    if (!WTSQueryUserToken(session, &sessionToken))
        return false;
    ScopedHandle owned = MakeScopedHandle(sessionToken);
    BYTE client[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
    BYTE user[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
    return GetTokenInformation(token, TokenUser, client, sizeof client, &bytes) &&
           GetTokenInformation(sessionToken, TokenUser, user, sizeof user, &bytes) &&
           EqualSid(reinterpret_cast<TOKEN_USER*>(client)->User.Sid, reinterpret_cast<TOKEN_USER*>(user)->User.Sid);
}

ClientToken ReadToken(HANDLE token)
{
    ClientToken facts;
    BYTE buffer[512];
    DWORD bytes = 0;
    if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &bytes))
        facts.system = IsWellKnownSid(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, WinLocalSystemSid) != FALSE;

    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof administrators;
    BOOL member = FALSE;
    if (CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size) &&
        CheckTokenMembership(token, administrators, &member))
        facts.administrator = member != FALSE;

    if (GetTokenInformation(token, TokenIntegrityLevel, buffer, sizeof buffer, &bytes))
    {
        const PSID label = reinterpret_cast<TOKEN_MANDATORY_LABEL*>(buffer)->Label.Sid;
        const UCHAR count = *GetSidSubAuthorityCount(label);
        if (count > 0)
            facts.integrity = *GetSidSubAuthority(label, count - 1);
    }
    // Asked only of those that the full rights do not cover already.
    if (!ClientAllowed(facts))
        facts.interactiveUser = IsInteractiveUser(token);
    return facts;
}

// Who is at the other end, from the token the client lent us. Only possible once the client
// has written to the pipe.
bool ReadPipeClient(HANDLE pipe, ClientToken* facts)
{
    if (!ImpersonateNamedPipeClient(pipe))
        return false;
    HANDLE token = nullptr;
    const BOOL opened = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token);
    // Going on as the client would be worse than ending: this thread would act with its rights.
    if (!RevertToSelf())
        TerminateProcess(GetCurrentProcess(), ERROR_CANNOT_IMPERSONATE);
    if (!opened)
        return false;
    ScopedHandle owned = MakeScopedHandle(token);
    *facts = ReadToken(token);
    return true;
}

enum class Io
{
    Done,
    Stopped,
    TimedOut,
    Failed,
};

// Completes an overlapped call on the pipe within the time, or cancels it. ERROR_MORE_DATA
// (a message larger than the buffer) is a failure.
Io Finish(HANDLE pipe, OVERLAPPED& overlapped, BOOL result, HANDLE stop, DWORD timeoutMs, DWORD* bytes)
{
    *bytes = 0;
    if (result)
        return GetOverlappedResult(pipe, &overlapped, bytes, FALSE) ? Io::Done : Io::Failed;
    if (GetLastError() != ERROR_IO_PENDING)
        return Io::Failed;
    const HANDLE handles[2] = {stop, overlapped.hEvent};
    const DWORD woken = WaitForMultipleObjects(2, handles, FALSE, timeoutMs);
    if (woken == WAIT_OBJECT_0 + 1)
        return GetOverlappedResult(pipe, &overlapped, bytes, FALSE) ? Io::Done : Io::Failed;
    CancelIoEx(pipe, &overlapped);
    GetOverlappedResult(pipe, &overlapped, bytes, TRUE);
    return woken == WAIT_OBJECT_0 ? Io::Stopped : Io::TimedOut;
}

class Connection
{
public:
    Connection(HANDLE pipe, HANDLE stop, HANDLE event) : pipe_(pipe), stop_(stop), event_(event) {}

    HANDLE pipe() const { return pipe_; }

    // One request, whole; false when the client is gone, sent more than a request may hold, or
    // the agent stops.
    bool Read(std::vector<uint8_t>& message)
    {
        message.resize(sizeof(Header) + MaxRequestPayload);
        OVERLAPPED overlapped = Fresh();
        DWORD bytes = 0;
        const BOOL result = ReadFile(pipe_, message.data(), static_cast<DWORD>(message.size()), nullptr, &overlapped);
        // Nothing happens while a client sends nothing: no time limit between requests.
        if (Finish(pipe_, overlapped, result, stop_, INFINITE, &bytes) != Io::Done)
            return false;
        message.resize(bytes);
        return true;
    }

    bool Write(const std::vector<uint8_t>& message)
    {
        OVERLAPPED overlapped = Fresh();
        DWORD bytes = 0;
        const BOOL result = WriteFile(pipe_, message.data(), static_cast<DWORD>(message.size()), nullptr, &overlapped);
        return Finish(pipe_, overlapped, result, stop_, IoTimeoutMs, &bytes) == Io::Done && bytes == message.size();
    }

    // Disconnecting drops what the client has not read yet: give it the time to read a last
    // answer and go (its close ends the read with an error).
    void Linger()
    {
        uint8_t scrap[64];
        OVERLAPPED overlapped = Fresh();
        DWORD bytes = 0;
        const BOOL result = ReadFile(pipe_, scrap, sizeof scrap, nullptr, &overlapped);
        Finish(pipe_, overlapped, result, stop_, IoTimeoutMs, &bytes);
    }

private:
    OVERLAPPED Fresh()
    {
        ResetEvent(event_);
        OVERLAPPED overlapped{};
        overlapped.hEvent = event_;
        return overlapped;
    }

    HANDLE pipe_;
    HANDLE stop_;
    HANDLE event_;
};

class Writer
{
public:
    template <typename T>
    void Put(T value)
    {
        const size_t at = bytes.size();
        bytes.resize(at + sizeof value);
        std::memcpy(bytes.data() + at, &value, sizeof value);
    }
    void Put(const std::wstring& text)
    {
        const size_t at = bytes.size();
        bytes.resize(at + text.size() * sizeof(wchar_t));
        if (!text.empty())
            std::memcpy(bytes.data() + at, text.data(), text.size() * sizeof(wchar_t));
    }

    std::vector<uint8_t> bytes;
};

template <typename T>
T Get(const uint8_t* payload, size_t at)
{
    T value;
    std::memcpy(&value, payload + at, sizeof value);
    return value;
}

std::vector<uint8_t> Response(const Header& request, const std::vector<uint8_t>& payload)
{
    const Header header{Magic, request.version, static_cast<uint16_t>(request.type | ResponseBit), request.id,
                        static_cast<uint32_t>(payload.size())};
    std::vector<uint8_t> message(sizeof header + payload.size());
    std::memcpy(message.data(), &header, sizeof header);
    if (!payload.empty())
        std::memcpy(message.data() + sizeof header, payload.data(), payload.size());
    return message;
}

std::vector<uint8_t> Status(DWORD error)
{
    Writer writer;
    writer.Put<uint32_t>(error);
    return writer.bytes;
}

// The payload size a request of the type must have; false for a type that does not exist.
bool SizeFits(uint16_t type, uint32_t length)
{
    switch (static_cast<Request>(type))
    {
    case Request::List:
        return length == 0;
    case Request::Capture:
        return length == 12;
    case Request::Click:
        return length == 14;
    case Request::Text:
        return length >= 4 && (length - 4) % 2 == 0 && (length - 4) / 2 <= MaxTextUnits;
    case Request::Key:
        return length == 6;
    case Request::Close:
        return length == 4;
    case Request::Watch:
        return length == 8;
    }
    return false;
}

uint64_t Now()
{
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return static_cast<uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime;
}

// Lists the desktop's windows and takes what changed into the feed.
void Refresh(Server::State& state)
{
    const std::vector<windows::Listed> listed = windows::List(state.desktop);
    const uint64_t now = Now();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.lastRefresh = GetTickCount64();
    std::vector<FeedEntry> next;
    next.reserve(listed.size());
    bool changed = listed.size() != state.feed.size();
    for (const windows::Listed& window : listed)
    {
        FeedEntry entry;
        entry.window = windows::IdOf(window.window);
        entry.program = window.program.substr(0, MaxFeedTextUnits);
        entry.title = window.title.substr(0, MaxFeedTextUnits);
        entry.appeared = now;
        const auto known = std::find_if(state.feed.begin(), state.feed.end(),
                                        [&](const FeedEntry& e) { return e.window == entry.window; });
        if (known == state.feed.end())
        {
            changed = true;
        }
        else
        {
            entry.appeared = known->appeared;
            entry.flashed = known->flashed;
            changed = changed || known->title != entry.title || known->program != entry.program;
        }
        next.push_back(std::move(entry));
    }
    if (!changed)
        return;
    state.feed = std::move(next);
    ++state.sequence;
    state.changed.notify_all();
}

std::vector<uint8_t> WatchPayload(Server::State& state, uint32_t known, uint32_t waitMs)
{
    bool stale = false;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        ++state.watchers;
        stale = GetTickCount64() - state.lastRefresh > FeedPollMs;
    }
    // Nobody listed the windows while no one watched.
    if (stale)
        Refresh(state);

    std::unique_lock<std::mutex> lock(state.mutex);
    state.changed.wait_for(lock, std::chrono::milliseconds(std::min(waitMs, MaxWatchWaitMs)),
                           [&] { return state.stopping || state.sequence != known; });
    --state.watchers;
    state.lastWatch = GetTickCount64();

    Writer writer;
    writer.Put<uint32_t>(0);
    writer.Put<uint32_t>(state.sequence);
    writer.Put<uint32_t>(static_cast<uint32_t>(state.feed.size()));
    for (const FeedEntry& entry : state.feed)
    {
        writer.Put<uint32_t>(entry.window);
        writer.Put<uint64_t>(entry.appeared);
        writer.Put<uint64_t>(entry.flashed);
        writer.Put<uint16_t>(static_cast<uint16_t>(entry.program.size()));
        writer.Put<uint16_t>(static_cast<uint16_t>(entry.title.size()));
        writer.Put(entry.program);
        writer.Put(entry.title);
    }
    return writer.bytes;
}

DWORD WINAPI FeedThread(void* parameter)
{
    const std::shared_ptr<Server::State> state(*static_cast<std::shared_ptr<Server::State>*>(parameter));
    delete static_cast<std::shared_ptr<Server::State>*>(parameter);
    while (WaitForSingleObject(state->stop.get(), FeedPollMs) == WAIT_TIMEOUT)
    {
        bool wanted = false;
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            wanted = state->watchers > 0 || GetTickCount64() - state->lastWatch < FeedIdleMs;
        }
        if (wanted)
            Refresh(*state);
    }
    return 0;
}

std::vector<uint8_t> ListPayload(HDESK desktop)
{
    const std::vector<windows::Listed> listed = windows::List(desktop);
    Writer writer;
    writer.Put<uint32_t>(0);
    writer.Put<uint32_t>(static_cast<uint32_t>(listed.size()));
    for (const windows::Listed& entry : listed)
    {
        const std::wstring program = entry.program.substr(0, 0xFFFF);
        const std::wstring title = entry.title.substr(0, 0xFFFF);
        writer.Put<uint32_t>(windows::IdOf(entry.window));
        writer.Put<uint32_t>(entry.processId);
        writer.Put<uint16_t>(static_cast<uint16_t>(program.size()));
        writer.Put<uint16_t>(static_cast<uint16_t>(title.size()));
        writer.Put(program);
        writer.Put(title);
    }
    return writer.bytes;
}

std::vector<uint8_t> CapturePayload(HWND window, uint64_t knownHash)
{
    windows::Picture picture;
    const DWORD error = windows::Capture(window, picture);
    if (error != 0)
        return Status(error);
    Writer writer;
    writer.Put<uint32_t>(0);
    writer.Put<uint32_t>(picture.width);
    writer.Put<uint32_t>(picture.height);
    writer.Put<uint64_t>(picture.hash);
    const bool unchanged = knownHash != 0 && knownHash == picture.hash;
    writer.Put<uint8_t>(unchanged ? 1 : 0);
    if (!unchanged)
    {
        const size_t at = writer.bytes.size();
        writer.bytes.resize(at + picture.pixels.size() * sizeof(uint32_t));
        if (!picture.pixels.empty())
            std::memcpy(writer.bytes.data() + at, picture.pixels.data(), picture.pixels.size() * sizeof(uint32_t));
    }
    return writer.bytes;
}

// The answer to a well-formed request of an allowed client.
std::vector<uint8_t> Answer(const Header& header, const uint8_t* payload, HDESK desktop)
{
    const auto type = static_cast<Request>(header.type);
    if (type == Request::List)
        return ListPayload(desktop);

    // Every other request names a window, which must be one that List shows: nothing reaches a
    // window of another desktop or one of Quillon's own.
    const HWND window = windows::Find(desktop, Get<uint32_t>(payload, 0));
    if (window == nullptr)
        return Status(ERROR_INVALID_WINDOW_HANDLE);
    switch (type)
    {
    case Request::Capture:
        return CapturePayload(window, Get<uint64_t>(payload, 4));
    case Request::Click:
        return Status(windows::Click(window, Get<int32_t>(payload, 4), Get<int32_t>(payload, 8),
                                     Get<uint8_t>(payload, 12) != 0, Get<uint8_t>(payload, 13) != 0));
    case Request::Text: {
        std::wstring text((header.length - 4) / 2, L'\0');
        if (!text.empty())
            std::memcpy(&text[0], payload + 4, text.size() * sizeof(wchar_t));
        return Status(windows::Type(window, text));
    }
    case Request::Key:
        return Status(windows::PressKey(window, Get<uint16_t>(payload, 4)));
    case Request::Close:
        return Status(PostMessageW(window, WM_CLOSE, 0, 0) ? 0 : GetLastError());
    default:
        return Status(ERROR_INVALID_FUNCTION);
    }
}

// Serves one connected client until it goes, misbehaves or the agent stops.
void Serve(Connection& connection, Server::State& state)
{
    bool known = false;
    ClientToken client;
    std::vector<uint8_t> message;
    while (connection.Read(message))
    {
        Header header{};
        if (message.size() < sizeof header)
            return;
        std::memcpy(&header, message.data(), sizeof header);
        if (header.magic != Magic || header.version > Version || header.length != message.size() - sizeof header ||
            !SizeFits(header.type, header.length) || header.version < VersionOf(static_cast<Request>(header.type)))
            return;
        if (!known)
        {
            if (!ReadPipeClient(connection.pipe(), &client))
                client = ClientToken();
            known = true;
        }
        const bool watch = static_cast<Request>(header.type) == Request::Watch;
        if (!(watch ? FeedAllowed(client) : ClientAllowed(client)))
        {
            if (connection.Write(Response(header, Status(ERROR_ACCESS_DENIED))))
                connection.Linger();
            return;
        }
        const uint8_t* payload = message.data() + sizeof header;
        const std::vector<uint8_t> answer =
            watch ? WatchPayload(state, Get<uint32_t>(payload, 0), Get<uint32_t>(payload, 4))
                  : Answer(header, payload, state.desktop);
        if (!connection.Write(Response(header, answer)))
            return;
    }
}

struct InstanceStart
{
    std::shared_ptr<Server::State> state;
    HANDLE pipe;
};

DWORD WINAPI InstanceThread(void* parameter);

// Client threads are started as clients come, one at a time: one always waits for the next
// client, up to MaxInstances; a thread whose client has gone waits for another. Threads cost
// the stop time to end, so an agent with one tray and one viewer has two or three. Called with
// the state's mutex held.
bool StartListener(const std::shared_ptr<Server::State>& state, HANDLE pipe)
{
    if (state->stopping || state->clientThreads >= MaxInstances)
        return false;
    auto start = std::make_unique<InstanceStart>(InstanceStart{state, pipe});
    const HANDLE thread =
        CreateThread(nullptr, InstanceStackBytes, InstanceThread, start.get(), STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == nullptr)
        return false;
    start.release();
    state->threads.push_back(thread);
    ++state->clientThreads;
    ++state->listening;
    return true;
}

DWORD WINAPI InstanceThread(void* parameter)
{
    std::unique_ptr<InstanceStart> start(static_cast<InstanceStart*>(parameter));
    const std::shared_ptr<Server::State> state = start->state;
    const HANDLE stop = state->stop.get();
    const auto unable = [&state] {
        std::lock_guard<std::mutex> lock(state->mutex);
        --state->listening;
        return 1;
    };
    ScopedHandle pipe = MakeScopedHandle(start->pipe == INVALID_HANDLE_VALUE ? CreateInstance(false) : start->pipe);
    if (pipe.get() == INVALID_HANDLE_VALUE)
    {
        pipe.release();
        return unable();
    }
    ScopedHandle event = MakeScopedHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event)
        return unable();

    for (;;)
    {
        ResetEvent(event.get());
        OVERLAPPED overlapped{};
        overlapped.hEvent = event.get();
        DWORD bytes = 0;
        const BOOL result = ConnectNamedPipe(pipe.get(), &overlapped);
        bool connected = false;
        if (!result && GetLastError() == ERROR_PIPE_CONNECTED)
            connected = true;
        else
            connected = Finish(pipe.get(), overlapped, result, stop, INFINITE, &bytes) == Io::Done;

        if (connected)
        {
            {
                std::lock_guard<std::mutex> lock(state->mutex);
                if (--state->listening == 0)
                    StartListener(state, INVALID_HANDLE_VALUE);
            }
            Connection connection(pipe.get(), stop, event.get());
            Serve(connection, *state);
            std::lock_guard<std::mutex> lock(state->mutex);
            ++state->listening;
        }
        DisconnectNamedPipe(pipe.get());
        // A connect that fails for another reason than the stop must not spin.
        if (WaitForSingleObject(stop, connected ? 0 : 100) == WAIT_OBJECT_0)
            return 0;
    }
}
}

namespace agent
{
Server::~Server()
{
    Stop();
}

bool Server::Start()
{
    if (state_)
        return true;
    const HANDLE first = CreateInstance(true);
    if (first == INVALID_HANDLE_VALUE)
        return false;
    auto state = std::make_shared<State>();
    state->stop = MakeScopedHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    state->desktop = GetThreadDesktop(GetCurrentThreadId());
    if (!state->stop)
    {
        CloseHandle(first);
        return false;
    }
    auto feedState = std::make_unique<std::shared_ptr<State>>(state);
    if (const HANDLE feed = CreateThread(nullptr, 0, FeedThread, feedState.get(), 0, nullptr))
    {
        feedState.release();
        state->threads.push_back(feed);
    }
    bool listening = false;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        listening = StartListener(state, first);
    }
    if (!listening)
        CloseHandle(first);
    state_ = state;
    // The feed's thread alone serves nobody.
    return listening;
}

void Server::Stop()
{
    if (!state_)
        return;
    std::vector<HANDLE> threads;
    {
        // No thread starts after this.
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->stopping = true;
        threads.swap(state_->threads);
    }
    state_->changed.notify_all();
    SetEvent(state_->stop.get());
    if (!threads.empty())
        WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, StopWaitMs);
    for (const HANDLE thread : threads)
        CloseHandle(thread);
    state_.reset();
}
}

namespace agent
{
void Server::NoteFlash(HWND window)
{
    if (!state_)
        return;
    const uint32_t id = windows::IdOf(window);
    std::lock_guard<std::mutex> lock(state_->mutex);
    for (FeedEntry& entry : state_->feed)
    {
        if (entry.window != id)
            continue;
        entry.flashed = Now();
        ++state_->sequence;
        state_->changed.notify_all();
        return;
    }
}
}
