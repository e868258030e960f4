#include "AgentServer.h"

#include <functional>
#include <map>
#include <new>
#include <set>
#include <mutex>
#include <string>
#include <vector>

#include "Audit.h"
#include "Feed.h"
#include "Peers.h"
#include "Protocol.h"
#include "Transport.h"
#include "WindowActions.h"
#include "Wire.h"
#include "session/ScopedResource.h"

namespace agent
{
struct Server::State
{
    State(HDESK served, ClientReader reader, FeedKeeper::Observer observer)
        : places(served), readClient(reader), feed(places, std::move(observer))
    {
    }

    ScopedHandle stop = MakeScopedHandle(nullptr);
    windows::Places places;
    const ClientReader readClient;
    FeedKeeper feed;

    // The client threads of one pipe: how many there are, and how many wait for a client.
    struct Pool
    {
        transport::Pipe pipe;
        uint32_t maxThreads;
        uint32_t clientThreads = 0;
        uint32_t listening = 0;
    };

    // Guarded by the mutex: the threads to wait for at the stop (the feed's and every client
    // thread started so far), the pools, and the feed connections per account.
    std::mutex mutex;
    bool stopping = false;
    std::vector<ScopedHandle> threads;
    Pool agentPool{transport::Pipe::Agent, MaxInstances};
    Pool feedPool{transport::Pipe::Feed, MaxFeedInstances};
    std::map<std::wstring, uint32_t> feedAccounts;
    // When each account's last refusal was written down.
    std::map<std::wstring, ULONGLONG> refusalsWritten;
    // The windows with a capture under way, and how many captures run at once.
    std::set<uint32_t> capturing;
    uint32_t captures = 0;
};
}

namespace
{
using namespace agent;

// How long the tray's end waits for the serving threads: the service gives the whole helper
// 1000 ms to end after its WM_CLOSE.
constexpr DWORD StopWaitMs = 500;
// Address space reserved per client thread, of which a 32-bit agent has 2 GB in all.
constexpr SIZE_T InstanceStackBytes = 256 * 1024;
static_assert(MaxInstances + MaxFeedInstances + 1 <= MAXIMUM_WAIT_OBJECTS, "the stop waits on every thread at once");

// Captures at once, each holding up to three copies of a picture of up to MaxCaptureSide
// squared (64 MB): what a 32-bit agent can hold beside everything else.
constexpr uint32_t MaxCapturesAtOnce = 2;

// A capture runs on a thread of its own: a window that answers the ping and then hangs in
// WM_PRINT holds that thread, not the client's. The capture is given up after the window's
// time; the window stays marked until its capture ends, and every capture of it fails at once
// meanwhile, so that retries take no further threads.
struct CaptureJob
{
    std::shared_ptr<Server::State> state;
    HWND window = nullptr;
    std::shared_ptr<const windows::Desktop> desktop;
    uint32_t id = 0;
    ScopedHandle done = MakeScopedHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    DWORD error = ERROR_TIMEOUT;
    windows::Picture picture;
};

DWORD WINAPI CaptureThread(void* parameter)
{
    const std::shared_ptr<CaptureJob> job(*static_cast<std::shared_ptr<CaptureJob>*>(parameter));
    delete static_cast<std::shared_ptr<CaptureJob>*>(parameter);
    try
    {
        job->error = windows::RunAttached(*job->desktop, [&] { return windows::Capture(job->window, job->picture); });
    }
    catch (const std::bad_alloc&)
    {
        job->picture = windows::Picture{};
        job->error = ERROR_NOT_ENOUGH_MEMORY;
    }
    {
        std::lock_guard<std::mutex> lock(job->state->mutex);
        job->state->capturing.erase(job->id);
        --job->state->captures;
    }
    SetEvent(job->done.get());
    return 0;
}

// ERROR_TIMEOUT for a window whose earlier capture still hangs, or that hangs now;
// ERROR_BUSY when captures of other windows fill every place; ERROR_NOT_ENOUGH_MEMORY.
DWORD Capture(const std::shared_ptr<Server::State>& state, const windows::Listed& window, windows::Picture& picture)
{
    const uint32_t id = windows::IdOf(window.window);
    const ULONGLONG deadline = GetTickCount64() + WindowTimeoutMs;
    {
        std::unique_lock<std::mutex> lock(state->mutex);
        if (state->capturing.count(id) != 0)
            return ERROR_TIMEOUT;
        while (state->captures >= MaxCapturesAtOnce)
        {
            if (GetTickCount64() >= deadline)
                return ERROR_BUSY;
            lock.unlock();
            Sleep(20);
            lock.lock();
            if (state->capturing.count(id) != 0)
                return ERROR_TIMEOUT;
        }
        state->capturing.insert(id);
        ++state->captures;
    }
    auto job = std::make_shared<CaptureJob>();
    job->state = state;
    job->window = window.window;
    job->desktop = window.desktop;
    job->id = id;
    auto held = std::make_unique<std::shared_ptr<CaptureJob>>(job);
    const ScopedHandle thread =
        job->done ? MakeScopedHandle(CreateThread(nullptr, 0, CaptureThread, held.get(), 0, nullptr))
                  : MakeScopedHandle(nullptr);
    if (!thread)
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->capturing.erase(id);
        --state->captures;
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    held.release();
    // The ping may take the window's time, and the print as much again.
    if (WaitForSingleObject(job->done.get(), 2 * WindowTimeoutMs + 500) != WAIT_OBJECT_0)
        return ERROR_TIMEOUT;
    picture = std::move(job->picture);
    return job->error;
}

// Who a connection's client is, for the audit trail, and the windows it has had a picture of:
// the first picture of a window is written down, the live view's next ones are not.
struct Connection
{
    audit::Actor actor;
    std::set<uint32_t> pictured;
};

audit::Window AuditedWindow(const windows::Listed& window)
{
    return audit::Window{windows::IdOf(window.window), window.program, window.title, window.desktop->place};
}

// Hands each request of an allowed client, by its type, to what serves it: the feed, or the
// window actions. What it does to a window goes to the audit trail once done.
class Dispatcher
{
public:
    Dispatcher(const std::shared_ptr<Server::State>& state, const Header& header, Connection& connection)
        : shared_(state), state_(*state), header_(header), connection_(connection)
    {
    }

    // The rule a request is served under: Watch is the one request that the interactive user of
    // a session may make, not only an elevated administrator, and the one the feed's pipe serves.
    static Decision Rule(transport::Pipe pipe, const wire::AnyRequest& request, const ClientToken& client)
    {
        const bool watch = std::holds_alternative<wire::WatchRequest>(request) ||
                           std::holds_alternative<wire::FollowRequest>(request);
        if (pipe == transport::Pipe::Feed && !watch)
            return Decision{false, ERROR_ACCESS_DENIED, "the feed's pipe serves Watch alone"};
        return watch ? FeedAllowed(client) : ClientAllowed(client);
    }

    // Watch (version 2) and List (version 1) answer the same windows as Follow and Windows; their
    // answers carry no places.
    std::vector<uint8_t> operator()(const wire::WatchRequest& request) const
    {
        return wire::EncodeAnswer(header_, state_.feed.Watch(request.known, request.waitMs));
    }

    std::vector<uint8_t> operator()(const wire::FollowRequest& request) const
    {
        return wire::EncodeAnswer(header_, state_.feed.Watch(request.known, request.waitMs));
    }

    std::vector<uint8_t> operator()(const wire::ListRequest&) const
    {
        std::vector<windows::Listed> listed = state_.places.List();
        std::vector<WindowEntry> entries(listed.size());
        for (size_t i = 0; i < listed.size(); ++i)
        {
            entries[i].window = windows::IdOf(listed[i].window);
            entries[i].processId = listed[i].processId;
            entries[i].program = std::move(listed[i].program);
            entries[i].title = std::move(listed[i].title);
            entries[i].place = listed[i].desktop->place;
        }
        return wire::EncodeAnswer(header_, entries);
    }

    std::vector<uint8_t> operator()(const wire::WindowsRequest&) const
    {
        return (*this)(wire::ListRequest{});
    }

    // A client of version 1 cannot tell a picture drawn from the window's structure from the
    // window's own: it gets none.
    std::vector<uint8_t> operator()(const wire::CaptureRequest& request) const
    {
        return Picture(request.window, request.knownHash, false);
    }

    std::vector<uint8_t> operator()(const wire::PictureRequest& request) const
    {
        return Picture(request.window, request.knownHash, true);
    }

    std::vector<uint8_t> operator()(const wire::DescribeRequest& request) const
    {
        return OnWindow(request.window, [&](const windows::Listed& window) {
            auto controls = std::make_shared<std::vector<Control>>();
            const HWND handle = window.window;
            const DWORD error = OnWindowDesktop(window, [controls, handle] { return windows::Describe(handle, *controls); });
            return error != 0 ? Status(error) : wire::EncodeAnswer(header_, *controls);
        });
    }

    std::vector<uint8_t> operator()(const wire::PressRequest& request) const
    {
        return OnWindow(request.window, [&](const windows::Listed& window) {
            const HWND handle = window.window;
            const uint32_t control = request.control;
            // The button's text as the window manager holds it, for the trail: asked of no window.
            auto button = std::make_shared<std::wstring>();
            const DWORD error = OnWindowDesktop(window, [handle, control, button] {
                const DWORD pressed = windows::Press(handle, control);
                if (pressed == 0)
                {
                    wchar_t text[256] = {};
                    const int length = InternalGetWindowText(
                        reinterpret_cast<HWND>(static_cast<ULONG_PTR>(control)), text, ARRAYSIZE(text));
                    button->assign(text, length > 0 ? length : 0);
                }
                return pressed;
            });
            if (error == 0)
                audit::Pressed(connection_.actor, AuditedWindow(window), *button);
            return Status(error);
        });
    }

    std::vector<uint8_t> operator()(const wire::ClickRequest& request) const
    {
        return OnWindow(request.window, [&](const windows::Listed& window) {
            const HWND handle = window.window;
            const wire::ClickRequest click = request;
            const DWORD error = OnWindowDesktop(window, [handle, click] {
                return windows::Click(handle, click.x, click.y, click.right, click.twice);
            });
            if (error == 0)
                audit::Clicked(connection_.actor, AuditedWindow(window), click.x, click.y);
            return Status(error);
        });
    }

    std::vector<uint8_t> operator()(const wire::TextRequest& request) const
    {
        return OnWindow(request.window, [&](const windows::Listed& window) {
            const HWND handle = window.window;
            const std::wstring text = request.text;
            const DWORD error = OnWindowDesktop(window, [handle, text] { return windows::Type(handle, text); });
            if (error == 0)
                audit::Typed(connection_.actor, AuditedWindow(window), text.size());
            return Status(error);
        });
    }

    std::vector<uint8_t> operator()(const wire::KeyRequest& request) const
    {
        return OnWindow(request.window, [&](const windows::Listed& window) {
            const HWND handle = window.window;
            const uint16_t key = request.virtualKey;
            const DWORD error = OnWindowDesktop(window, [handle, key] { return windows::PressKey(handle, key); });
            if (error == 0)
                audit::KeyPressed(connection_.actor, AuditedWindow(window), key);
            return Status(error);
        });
    }

    std::vector<uint8_t> operator()(const wire::CloseRequest& request) const
    {
        return OnWindow(request.window, [&](const windows::Listed& window) {
            const HWND handle = window.window;
            const DWORD error = OnWindowDesktop(window, [handle] { return windows::Close(handle); });
            if (error == 0)
                audit::Closed(connection_.actor, AuditedWindow(window));
            return Status(error);
        });
    }

private:
    std::vector<uint8_t> Status(DWORD error) const { return wire::EncodeAnswer(header_, error); }

    // Every request but the lists names a window, which must be one that the list shows, in any
    // place: nothing reaches a window of a desktop the agent does not list or one of Quillon's own.
    template <typename Act>
    std::vector<uint8_t> OnWindow(uint32_t id, Act act) const
    {
        windows::Listed window;
        return state_.places.Find(id, window) ? act(window) : Status(ERROR_INVALID_WINDOW_HANDLE);
    }

    // The action runs on a thread of the window's desktop, where messages reach it, for the
    // window's time; what it captures it holds by value, since it may outlive the request.
    static DWORD OnWindowDesktop(const windows::Listed& window, std::function<DWORD()> action)
    {
        return windows::OnDesktop(window.desktop, WindowTimeoutMs + 500, std::move(action));
    }

    std::vector<uint8_t> Picture(uint32_t id, uint64_t knownHash, bool drawnAllowed) const
    {
        return OnWindow(id, [&](const windows::Listed& window) {
            windows::Picture picture;
            const DWORD error = Capture(shared_, window, picture);
            if (error != 0)
                return Status(error);
            if (picture.drawn && !drawnAllowed)
                return Status(ERROR_NOT_SUPPORTED);
            if (connection_.pictured.insert(id).second)
                audit::Pictured(connection_.actor, AuditedWindow(window));
            Image image;
            image.width = picture.width;
            image.height = picture.height;
            image.hash = picture.hash;
            image.drawn = picture.drawn;
            image.unchanged = knownHash != 0 && knownHash == picture.hash;
            if (!image.unchanged)
                image.pixels = std::move(picture.pixels);
            return wire::EncodeAnswer(header_, image);
        });
    }

    const std::shared_ptr<Server::State>& shared_;
    Server::State& state_;
    const Header& header_;
    Connection& connection_;
};

DWORD WINAPI FeedThread(void* parameter)
{
    const std::shared_ptr<Server::State> state(*static_cast<std::shared_ptr<Server::State>*>(parameter));
    delete static_cast<std::shared_ptr<Server::State>*>(parameter);
    state->feed.Poll(state->stop.get());
    return 0;
}

// One feed connection of an account that is not an administrator's, counted while it lasts.
class FeedSeat
{
public:
    explicit FeedSeat(Server::State& state) : state_(state) {}
    FeedSeat(const FeedSeat&) = delete;
    FeedSeat& operator=(const FeedSeat&) = delete;
    ~FeedSeat()
    {
        if (!taken_)
            return;
        std::lock_guard<std::mutex> lock(state_.mutex);
        if (--state_.feedAccounts[account_] == 0)
            state_.feedAccounts.erase(account_);
    }

    // False when the account holds as many feed connections as it may already.
    bool Take(const std::wstring& account)
    {
        std::lock_guard<std::mutex> lock(state_.mutex);
        uint32_t& held = state_.feedAccounts[account];
        if (held >= MaxFeedPerAccount)
            return false;
        ++held;
        account_ = account;
        taken_ = true;
        return true;
    }

private:
    Server::State& state_;
    std::wstring account_;
    bool taken_ = false;
};

// A refusal goes to the audit trail once a minute per account at most: a client that knocks
// again and again must not flood the log and push older events out of it.
constexpr ULONGLONG RefusalAuditGapMs = 60000;
constexpr size_t MaxRefusingAccounts = 256;

void WriteRefusal(Server::State& state, const audit::Actor& actor, const char* reason)
{
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        const ULONGLONG now = GetTickCount64();
        const auto last = state.refusalsWritten.find(actor.account);
        if (last != state.refusalsWritten.end() && now - last->second < RefusalAuditGapMs)
            return;
        if (state.refusalsWritten.size() >= MaxRefusingAccounts)
            state.refusalsWritten.clear();
        state.refusalsWritten[actor.account] = now;
    }
    audit::ClientRefused(actor, reason);
}

// Serves one connected client until it goes, misbehaves, is slow or the agent stops.
void Serve(HANDLE pipe, transport::Channel& channel, const std::shared_ptr<Server::State>& shared,
           transport::Pipe kind)
{
    Server::State& state = *shared;
    bool known = false;
    ClientToken client;
    std::wstring account;
    FeedSeat seat(state);
    Connection connection;
    std::vector<uint8_t> message;
    for (;;)
    {
        // A connection that sends nothing holds an instance: the first request must come within
        // FirstRequestTimeoutMs. Between requests an administrator's viewer may rest as long as
        // it likes; a feed client asks again as soon as it has its answer. A message larger
        // than a request may be ends the connection.
        const DWORD timeoutMs = !known || kind == transport::Pipe::Feed ? FirstRequestTimeoutMs : INFINITE;
        message.resize(sizeof(Header) + MaxRequestPayload);
        DWORD bytes = 0;
        if (channel.Read(message.data(), static_cast<DWORD>(message.size()), timeoutMs, &bytes) != 0)
            return;
        Header header{};
        wire::AnyRequest request;
        if (!wire::DecodeHeader(message.data(), bytes, header) ||
            !wire::DecodeRequest(header, message.data() + sizeof header, request))
            return;
        Decision decision{true, 0, ""};
        if (!known)
        {
            if (!state.readClient(pipe, &client, &account))
            {
                client = ClientToken();
                account.clear();
            }
            known = true;
            connection.actor = audit::ActorOf(pipe, account);
            if (kind == transport::Pipe::Feed && !ClientAllowed(client) && !seat.Take(account))
                decision = Decision{false, ERROR_CONNECTION_COUNT_LIMIT, "too many feed connections of one account"};
        }
        if (decision)
            decision = Dispatcher::Rule(kind, request, client);
        if (!decision)
        {
            WriteRefusal(state, connection.actor, decision.reason);
            // Disconnecting drops what the client has not read yet: give it the time to read
            // the refusal and go (its close ends the read with an error).
            if (channel.Write(wire::EncodeAnswer(header, decision.error), IoTimeoutMs) == 0)
            {
                uint8_t scrap[64];
                channel.Read(scrap, sizeof scrap, IoTimeoutMs, &bytes);
            }
            return;
        }
        std::vector<uint8_t> answer;
        try
        {
            answer = std::visit(Dispatcher(shared, header, connection), request);
        }
        catch (const std::bad_alloc&)
        {
            answer = wire::EncodeAnswer(header, ERROR_NOT_ENOUGH_MEMORY);
        }
        if (channel.Write(answer, IoTimeoutMs) != 0)
            return;
    }
}

struct InstanceStart
{
    std::shared_ptr<Server::State> state;
    Server::State::Pool* pool;
    // Empty: the thread makes its own instance.
    ScopedFile pipe;
};

DWORD WINAPI InstanceThread(void* parameter);

// Client threads are started as clients come, one at a time per pipe: one always waits for the
// next client, up to the pool's limit; a thread whose client has gone waits for another.
// Threads cost the stop time to end, so an agent with one tray and one viewer has three or
// four. Called with the state's mutex held.
bool StartListener(const std::shared_ptr<Server::State>& state, Server::State::Pool& pool, ScopedFile& pipe)
{
    if (state->stopping || pool.clientThreads >= pool.maxThreads)
        return false;
    auto start = std::make_unique<InstanceStart>(InstanceStart{state, &pool, std::move(pipe)});
    ScopedHandle thread = MakeScopedHandle(CreateThread(nullptr, InstanceStackBytes, InstanceThread, start.get(),
                                                        STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
    if (!thread)
    {
        pipe = std::move(start->pipe);
        return false;
    }
    start.release();
    state->threads.push_back(std::move(thread));
    ++pool.clientThreads;
    ++pool.listening;
    return true;
}

DWORD WINAPI InstanceThread(void* parameter)
{
    std::unique_ptr<InstanceStart> start(static_cast<InstanceStart*>(parameter));
    const std::shared_ptr<Server::State> state = start->state;
    Server::State::Pool& pool = *start->pool;
    const HANDLE stop = state->stop.get();
    const auto unable = [&state, &pool] {
        std::lock_guard<std::mutex> lock(state->mutex);
        --pool.listening;
        return 1;
    };
    ScopedFile pipe = start->pipe ? std::move(start->pipe) : transport::CreateInstance(pool.pipe, false);
    if (!pipe)
        return unable();
    ScopedHandle event = MakeScopedHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event)
        return unable();
    transport::Channel channel(pipe.get(), event.get(), stop);

    for (;;)
    {
        const bool connected = channel.Accept() == 0;
        if (connected)
        {
            {
                std::lock_guard<std::mutex> lock(state->mutex);
                ScopedFile none = MakeScopedFile(INVALID_HANDLE_VALUE);
                if (--pool.listening == 0)
                    StartListener(state, pool, none);
            }
            Serve(pipe.get(), channel, state, pool.pipe);
            std::lock_guard<std::mutex> lock(state->mutex);
            ++pool.listening;
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
    // Both names, or nothing: whoever holds either name already is not us.
    ScopedFile first = transport::CreateInstance(transport::Pipe::Agent, true);
    if (!first)
        return false;
    ScopedFile firstFeed = transport::CreateInstance(transport::Pipe::Feed, true);
    if (!firstFeed)
        return false;
    // Every window that comes and goes is written down, whoever else is told.
    FeedKeeper::Observer observer = [told = observer_](const WindowChange& change) {
        const audit::Window window{change.window.window, change.window.program, change.window.title,
                                   change.window.place};
        if (change.appeared)
            audit::Appeared(window, change.processId);
        else
            audit::Left(window, change.processId, change.presentMs);
        if (told)
            told(change);
    };
    auto state = std::make_shared<State>(GetThreadDesktop(GetCurrentThreadId()), readClient_, std::move(observer));
    state->stop = MakeScopedHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!state->stop)
        return false;
    auto feedState = std::make_unique<std::shared_ptr<State>>(state);
    if (ScopedHandle feed = MakeScopedHandle(CreateThread(nullptr, 0, FeedThread, feedState.get(), 0, nullptr)))
    {
        feedState.release();
        state->threads.push_back(std::move(feed));
    }
    bool listening = false;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        listening = StartListener(state, state->agentPool, first) && StartListener(state, state->feedPool, firstFeed);
    }
    state_ = state;
    // The feed's thread alone serves nobody.
    return listening;
}

void Server::Stop()
{
    if (!state_)
        return;
    std::vector<ScopedHandle> threads;
    {
        // No thread starts after this.
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->stopping = true;
        threads.swap(state_->threads);
    }
    state_->feed.Stop();
    SetEvent(state_->stop.get());
    std::vector<HANDLE> waitFor;
    for (const ScopedHandle& thread : threads)
        waitFor.push_back(thread.get());
    if (!waitFor.empty())
        WaitForMultipleObjects(static_cast<DWORD>(waitFor.size()), waitFor.data(), TRUE, StopWaitMs);
    state_.reset();
}
}

namespace agent
{
void Server::NoteFlash(HWND window)
{
    if (state_)
        state_->feed.NoteFlash(windows::IdOf(window));
}
}
