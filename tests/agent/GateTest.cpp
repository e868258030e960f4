// The agent's access gate on the real pipes, with the facts of tokens that Wine cannot make:
// each request is served under its own rule, whoever the client is, and no client that is not
// an administrator takes an administrator's place.

#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "agent/AgentServer.h"
#include "agent/Transport.h"
#include "agent/Wire.h"
#include "BenchClient.h"

namespace wire = agent::wire;
using agent::transport::Pipe;

namespace
{
// The client that the agent's gate sees on every connection.
agent::ClientToken presented;
std::wstring presentedAccount;

bool Presented(HANDLE, agent::ClientToken* facts, std::wstring* account)
{
    *facts = presented;
    *account = presentedAccount;
    return true;
}

constexpr uint32_t NotOpened = ~0u;
constexpr uint32_t NotAnswered = ~0u - 1;

// One client connection, opened as soon as the agent listens again (within waitMs).
class Connection
{
public:
    explicit Connection(Pipe pipe, DWORD waitMs = 5000)
    {
        const ULONGLONG deadline = GetTickCount64() + waitMs;
        for (;;)
        {
            pipe_ = agent::transport::Open(pipe);
            if (pipe_ || GetTickCount64() >= deadline)
                break;
            WaitNamedPipeW(agent::transport::NameOf(pipe), 100);
        }
        if (!pipe_)
            return;
        DWORD mode = PIPE_READMODE_MESSAGE;
        SetNamedPipeHandleState(pipe_.get(), &mode, nullptr, nullptr);
        channel_ = std::make_unique<agent::transport::Channel>(pipe_.get(), event_.get());
    }

    bool Open() const { return static_cast<bool>(pipe_); }

    // The status of the agent's answer: every answer's payload starts with it.
    uint32_t Ask(const wire::AnyRequest& request)
    {
        if (!pipe_)
            return NotOpened;
        std::vector<uint8_t> answer(4 << 20);
        DWORD bytes = 0;
        wire::StatusAnswer status;
        if (channel_->Write(wire::Encode(7, request), 5000) != 0 ||
            channel_->Read(answer.data(), static_cast<DWORD>(answer.size()), 5000, &bytes) != 0 ||
            bytes < sizeof(agent::Header) + 4 || !wire::Decode(answer.data() + sizeof(agent::Header), 4, status))
            return NotAnswered;
        return status.status;
    }

    // Whether the agent closed the connection within waitMs.
    bool ClosedWithin(DWORD waitMs)
    {
        uint8_t byte = 0;
        DWORD bytes = 0;
        const DWORD error = channel_->Read(&byte, 1, waitMs, &bytes);
        return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED;
    }

private:
    ScopedFile pipe_ = MakeScopedFile(INVALID_HANDLE_VALUE);
    ScopedHandle event_ = MakeScopedHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::unique_ptr<agent::transport::Channel> channel_;
};

uint32_t StatusOf(Pipe pipe, const wire::AnyRequest& request)
{
    return Connection(pipe).Ask(request);
}

agent::ClientToken Elevated()
{
    agent::ClientToken token;
    token.administrator = true;
    token.integrity = SECURITY_MANDATORY_HIGH_RID;
    return token;
}

agent::ClientToken Interactive()
{
    agent::ClientToken token;
    token.integrity = SECURITY_MANDATORY_MEDIUM_RID;
    token.interactiveUser = true;
    return token;
}
}

TEST(AgentGate, EachRequestIsServedUnderItsOwnRule)
{
    agent::Server server(&Presented);
    ASSERT_TRUE(server.Start()) << "the agent's pipe names are taken: " << GetLastError();

    agent::ClientToken unelevated = Interactive();
    unelevated.administrator = true;
    agent::ClientToken plain = Interactive();
    plain.interactiveUser = false;
    agent::ClientToken lowInteractive = Interactive();
    lowInteractive.integrity = SECURITY_MANDATORY_LOW_RID;

    const uint32_t denied = ERROR_ACCESS_DENIED;
    const uint32_t noWindow = ERROR_INVALID_WINDOW_HANDLE;
    const struct
    {
        const char* who;
        agent::ClientToken token;
        uint32_t list, watch, capture, close, text;
    } cases[] = {
        {"an elevated administrator", Elevated(), 0, 0, noWindow, noWindow, noWindow},
        {"an unelevated administrator", unelevated, denied, 0, denied, denied, denied},
        {"a session's interactive user", Interactive(), denied, 0, denied, denied, denied},
        {"a user who is not a session's", plain, denied, denied, denied, denied, denied},
        {"an interactive user at low integrity", lowInteractive, denied, denied, denied, denied, denied},
    };
    for (const auto& c : cases)
    {
        presented = c.token;
        presentedAccount = L"S-1-5-21-1-2-3-1001";
        EXPECT_EQ(c.list, StatusOf(Pipe::Agent, wire::ListRequest{})) << c.who << ": List";
        EXPECT_EQ(c.watch, StatusOf(Pipe::Agent, wire::WatchRequest{0, 0})) << c.who << ": Watch";
        EXPECT_EQ(c.capture, StatusOf(Pipe::Agent, wire::CaptureRequest{0x7F000000u, 0})) << c.who << ": Capture";
        EXPECT_EQ(c.close, StatusOf(Pipe::Agent, wire::CloseRequest{0x7F000000u})) << c.who << ": Close";
        EXPECT_EQ(c.text, StatusOf(Pipe::Agent, wire::TextRequest{0x7F000000u, L"x"})) << c.who << ": Text";
        // The feed's pipe serves Watch alone, to everyone the feed's rule serves.
        EXPECT_EQ(c.watch, StatusOf(Pipe::Feed, wire::WatchRequest{0, 0})) << c.who << ": Watch on the feed's pipe";
        EXPECT_EQ(denied, StatusOf(Pipe::Feed, wire::ListRequest{})) << c.who << ": List on the feed's pipe";
        EXPECT_EQ(denied, StatusOf(Pipe::Feed, wire::CloseRequest{0x7F000000u})) << c.who << ": Close on the feed's pipe";
    }
    server.Stop();
}

TEST(AgentGate, IdleAndFeedConnectionsDoNotKeepAnAdministratorOut)
{
    agent::Server server(&Presented);
    ASSERT_TRUE(server.Start()) << "the agent's pipe names are taken: " << GetLastError();

    // One account holds a few feed connections; another account and administrators more.
    presented = Interactive();
    presentedAccount = L"S-1-5-21-1-2-3-1001";
    std::vector<std::unique_ptr<Connection>> feed;
    for (uint32_t i = 0; i < agent::MaxFeedPerAccount; ++i)
    {
        feed.push_back(std::make_unique<Connection>(Pipe::Feed));
        EXPECT_EQ(0u, feed.back()->Ask(wire::WatchRequest{0, 0})) << "feed connection " << i;
    }
    EXPECT_EQ(static_cast<uint32_t>(ERROR_CONNECTION_COUNT_LIMIT), StatusOf(Pipe::Feed, wire::WatchRequest{0, 0}));
    presentedAccount = L"S-1-5-21-1-2-3-1002";
    EXPECT_EQ(0u, StatusOf(Pipe::Feed, wire::WatchRequest{0, 0})) << "another account";
    presented = Elevated();
    presentedAccount = L"S-1-5-21-1-2-3-500";
    for (uint32_t i = 0; i <= agent::MaxFeedPerAccount; ++i)
        EXPECT_EQ(0u, StatusOf(Pipe::Feed, wire::WatchRequest{0, 0})) << "an administrator's feed connection " << i;
    feed.clear();

    // Connections that never send: as many as the administrators' pipe has instances, and
    // more on the feed's, sixty in all. Each goes after FirstRequestTimeoutMs.
    std::vector<std::unique_ptr<Connection>> idle;
    while (idle.size() < agent::MaxInstances + 1)
    {
        idle.push_back(std::make_unique<Connection>(Pipe::Agent, 500));
        if (!idle.back()->Open())
            break;
    }
    EXPECT_EQ(agent::MaxInstances, idle.size() - 1) << "the administrators' pipe was not full";
    while (idle.size() < 60)
        idle.push_back(std::make_unique<Connection>(Pipe::Feed, 500));
    const ULONGLONG start = GetTickCount64();
    Connection administrator(Pipe::Agent, agent::FirstRequestTimeoutMs + 5000);
    ASSERT_TRUE(administrator.Open()) << "an administrator found no instance within the first request's time";
    EXPECT_EQ(0u, administrator.Ask(wire::ListRequest{})) << "after " << GetTickCount64() - start << " ms";
    EXPECT_TRUE(idle.front()->ClosedWithin(agent::FirstRequestTimeoutMs + 2000)) << "an idle connection stayed";
    server.Stop();
}

TEST(AgentCapture, OneCapturePerWindowAtATime)
{
    presented = Elevated();
    presentedAccount = L"S-1-5-21-1-2-3-500";
    agent::Server server(&Presented);
    ASSERT_TRUE(server.Start()) << "the agent's pipe names are taken: " << GetLastError();

    // A window whose thread sleeps from half a second after it showed.
    bench::StartedProgram hung(bench::BenchProgramPath(L"BenchDialogs.exe"), L"--hang 8000");
    const HWND window = bench::WaitForWindow(nullptr, L"Bench hung", 10000);
    ASSERT_NE(nullptr, window);
    ASSERT_TRUE(bench::WaitUntil(
        [&] {
            DWORD_PTR result = 0;
            return SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_BLOCK, 100, &result) == 0;
        },
        5000))
        << "the window never stopped answering";
    const auto id = static_cast<uint32_t>(reinterpret_cast<ULONG_PTR>(window));

    // While one capture waits for the window, another of the same window fails at once and
    // takes no thread; other requests are served.
    uint32_t firstStatus = 0;
    std::thread first([&] { firstStatus = Connection(Pipe::Agent).Ask(wire::CaptureRequest{id, 0}); });
    Sleep(500);
    Connection viewer(Pipe::Agent);
    const ULONGLONG start = GetTickCount64();
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(static_cast<uint32_t>(ERROR_TIMEOUT), viewer.Ask(wire::CaptureRequest{id, 0})) << "retry " << i;
    EXPECT_LT(GetTickCount64() - start, 1000u) << "the retries waited for the window";
    EXPECT_EQ(0u, viewer.Ask(wire::ListRequest{}));
    first.join();
    EXPECT_EQ(static_cast<uint32_t>(ERROR_TIMEOUT), firstStatus);
    server.Stop();
}

// Every window appearing in session 0 or leaving it is told once, with its place, its process
// and, when it leaves, how long it was there, whichever window station it is on.
TEST(AgentFeed, WindowsAppearingAndLeavingAreToldOnceWithTheirPlace)
{
    std::mutex mutex;
    std::vector<agent::WindowChange> changes;
    agent::Server server(&Presented);
    server.SetWindowObserver([&](const agent::WindowChange& change) {
        std::lock_guard<std::mutex> lock(mutex);
        changes.push_back(change);
    });
    ASSERT_TRUE(server.Start()) << "the agent's pipe names are taken: " << GetLastError();
    const auto told = [&](const wchar_t* title, bool appeared) {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<agent::WindowChange> found;
        for (const agent::WindowChange& change : changes)
            if (change.window.title == title && change.appeared == appeared)
                found.push_back(change);
        return found;
    };

    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring results = std::wstring(temp) + L"agent-feed-station.txt";
    bench::StartedProgram dialogs(bench::BenchProgramPath(L"BenchDialogs.exe"),
                                  L"--station __wineservice_winstation \"" + results + L"\"");
    ASSERT_TRUE(bench::WaitUntil([&] { return !told(L"Bench station plain", true).empty(); }, 10000))
        << "the station's window was not told";
    const ULONGLONG shown = GetTickCount64();
    const agent::WindowChange appeared = told(L"Bench station plain", true).front();
    EXPECT_EQ(L"__wineservice_winstation\\Default", appeared.window.place);
    EXPECT_EQ(L"BenchDialogs.exe", appeared.window.program);
    EXPECT_EQ(dialogs.pid(), appeared.processId);

    Sleep(1500);
    const HWND plain = reinterpret_cast<HWND>(static_cast<LONG_PTR>(static_cast<int32_t>(appeared.window.window)));
    ASSERT_TRUE(PostMessageW(plain, WM_CLOSE, 0, 0));
    ASSERT_TRUE(bench::WaitUntil([&] { return !told(L"Bench station plain", false).empty(); }, 5000))
        << "the window's leaving was not told";
    const agent::WindowChange left = told(L"Bench station plain", false).front();
    EXPECT_EQ(L"__wineservice_winstation\\Default", left.window.place);
    EXPECT_EQ(dialogs.pid(), left.processId);
    EXPECT_GE(left.presentMs, 1500u);
    EXPECT_LE(left.presentMs, GetTickCount64() - shown + 1500);
    EXPECT_EQ(1u, told(L"Bench station plain", true).size()) << "told twice";
    EXPECT_EQ(1u, told(L"Bench station dialog", true).size());
    server.Stop();
}
