// The session 0 agent in the real service's session 0 tray helper, driven through the client
// library: the bench's dialogs answered from outside, an impostor refused, garbage survived, a
// hung window failing only its own request. Every program a test starts is ended by its pid.

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "BenchClient.h"
#include "ServiceFixture.h"
#include "ProcessFigures.h"
#include "TermSrv.h"
#include "agent/AgentClient.h"
#include "session/Names.h"

namespace ts = bench::termsrv;

namespace
{
constexpr const wchar_t* Tray = L"QuillonTray.exe";
constexpr DWORD StartTimeoutMs = 10000;

uint32_t IdOf(HWND window)
{
    return static_cast<uint32_t>(reinterpret_cast<ULONG_PTR>(window));
}

// BenchDialogs started by the test itself, ended by its handle.
class Started : public bench::StartedProgram
{
public:
    explicit Started(const std::wstring& arguments)
        : bench::StartedProgram(bench::BenchProgramPath(L"BenchDialogs.exe"), arguments)
    {
    }
};

DWORD SessionZeroTray()
{
    DWORD found = 0;
    bench::WaitUntil(
        [&] {
            const std::vector<DWORD> pids = bench::CopiesIn(Tray, 0);
            found = pids.empty() ? 0 : pids.back();
            return found != 0;
        },
        StartTimeoutMs);
    return found;
}

DWORD CodeOf(const std::function<void()>& call, std::string* what = nullptr)
{
    try
    {
        call();
    }
    catch (const std::system_error& error)
    {
        if (what != nullptr)
            *what = error.what();
        return static_cast<DWORD>(error.code().value());
    }
    return 0;
}

// The agent starts a moment after the tray's window: until then the pipe does not exist.
agent::Client ConnectWhenReady()
{
    const ULONGLONG end = GetTickCount64() + StartTimeoutMs;
    for (;;)
    {
        try
        {
            return agent::Client::Connect();
        }
        catch (const std::system_error& error)
        {
            if (error.code().value() != ERROR_FILE_NOT_FOUND || GetTickCount64() > end)
                throw;
        }
        Sleep(50);
    }
}

const agent::WindowEntry* Titled(const std::vector<agent::WindowEntry>& windows, const wchar_t* title)
{
    for (const agent::WindowEntry& entry : windows)
        if (entry.title == title)
            return &entry;
    return nullptr;
}

// A raw client of the pipe that says what it likes.
class RawClient
{
public:
    bool Open()
    {
        for (int attempt = 0; attempt < 20; ++attempt)
        {
            pipe_ = CreateFileW(agent::PipeName, FILE_READ_DATA | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE, 0,
                                nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
            if (pipe_ != INVALID_HANDLE_VALUE)
            {
                DWORD mode = PIPE_READMODE_MESSAGE;
                SetNamedPipeHandleState(pipe_, &mode, nullptr, nullptr);
                return true;
            }
            if (GetLastError() != ERROR_PIPE_BUSY)
                return false;
            WaitNamedPipeW(agent::PipeName, 1000);
        }
        return false;
    }
    void Close()
    {
        if (pipe_ != INVALID_HANDLE_VALUE)
            CloseHandle(pipe_);
        pipe_ = INVALID_HANDLE_VALUE;
    }
    ~RawClient() { Close(); }
    bool open() const { return pipe_ != INVALID_HANDLE_VALUE; }
    // Bytes of answers the agent has written and this client not read.
    DWORD Waiting() const
    {
        DWORD bytes = 0;
        return PeekNamedPipe(pipe_, nullptr, 0, nullptr, &bytes, nullptr) ? bytes : 0;
    }

    bool Send(const std::vector<uint8_t>& message)
    {
        return Complete([&](OVERLAPPED* o) {
                   return WriteFile(pipe_, message.data(), static_cast<DWORD>(message.size()), nullptr, o);
               }, 2000) >= 0;
    }
    // The answer's size, or -1 when the agent closed the connection (or said nothing in time).
    long Receive(std::vector<uint8_t>& answer, DWORD timeoutMs = 2000)
    {
        answer.resize(64 * 1024);
        const long got = Complete([&](OVERLAPPED* o) {
            return ReadFile(pipe_, answer.data(), static_cast<DWORD>(answer.size()), nullptr, o);
        }, timeoutMs);
        answer.resize(got > 0 ? got : 0);
        return got;
    }

private:
    template <typename Io>
    long Complete(Io io, DWORD timeoutMs)
    {
        OVERLAPPED overlapped{};
        overlapped.hEvent = event_;
        ResetEvent(event_);
        DWORD bytes = 0;
        if (!io(&overlapped))
        {
            if (GetLastError() != ERROR_IO_PENDING)
                return GetLastError() == ERROR_MORE_DATA ? 64 * 1024 : -1;
            if (WaitForSingleObject(event_, timeoutMs) != WAIT_OBJECT_0)
            {
                CancelIoEx(pipe_, &overlapped);
                GetOverlappedResult(pipe_, &overlapped, &bytes, TRUE);
                return -1;
            }
        }
        if (!GetOverlappedResult(pipe_, &overlapped, &bytes, FALSE))
            return GetLastError() == ERROR_MORE_DATA ? static_cast<long>(bytes) : -1;
        return static_cast<long>(bytes);
    }

    HANDLE pipe_ = INVALID_HANDLE_VALUE;
    HANDLE event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
};

std::vector<uint8_t> Message(uint32_t magic, uint16_t version, uint16_t type, uint32_t length,
                             const std::vector<uint8_t>& payload)
{
    const agent::Header header{magic, version, type, 7, length};
    std::vector<uint8_t> message(sizeof header + payload.size());
    std::memcpy(message.data(), &header, sizeof header);
    if (!payload.empty())
        std::memcpy(message.data() + sizeof header, payload.data(), payload.size());
    return message;
}

class Agent : public bench::ServiceFixture
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(service.StopAndWait());
        // The last test's agent may still hold the pipe's name for a moment after the stop.
        ASSERT_TRUE(bench::WaitUntil([] { return bench::CopiesIn(Tray, 0).empty(); }, StartTimeoutMs))
            << "the session 0 tray of an earlier test is still running";
        Clean();
    }

    void Start()
    {
        ASSERT_TRUE(service.StartAndWaitForShell());
        tray = SessionZeroTray();
        ASSERT_NE(0u, tray) << "no tray helper in session 0";
    }

    DWORD tray = 0;
};

TEST_F(Agent, TheBenchDialogsAreListedCapturedAndAnsweredFromOutside)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring results = std::wstring(temp) + L"agent-dialogs.txt";
    DeleteFileW(results.c_str());
    Start();
    Started dialogs(L"\"" + results + L"\"");
    agent::Client client = ConnectWhenReady();

    std::vector<agent::WindowEntry> windows;
    ASSERT_TRUE(bench::WaitUntil(
        [&] {
            windows = client.List();
            return Titled(windows, L"Bench question") && Titled(windows, L"Bench licence") &&
                   Titled(windows, L"Bench plain");
        },
        StartTimeoutMs));
    for (const wchar_t* title : {L"Bench question", L"Bench licence", L"Bench plain"})
    {
        EXPECT_EQ(L"BenchDialogs.exe", Titled(windows, title)->program);
        EXPECT_EQ(dialogs.pid(), Titled(windows, title)->processId);
    }
    // Quillon's own windows are neither listed nor reachable.
    const HWND shell = bench::FindShellWindow();
    for (const agent::WindowEntry& entry : windows)
    {
        EXPECT_NE(IdOf(shell), entry.window);
        EXPECT_NE(L"QuillonTray.exe", entry.program);
        EXPECT_NE(L"QuillonExplorer.exe", entry.program);
    }
    std::string what;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE), CodeOf([&] { client.Close(IdOf(shell)); }, &what));
    EXPECT_NE(std::string::npos, what.find("No session 0 window 0x")) << what;
    EXPECT_TRUE(IsWindow(shell));

    // The image is the dialog as the screen shows it, controls included; asked again with its
    // hash it comes back unchanged and without pixels.
    const uint32_t licence = Titled(windows, L"Bench licence")->window;
    RECT rect{};
    ASSERT_TRUE(GetWindowRect(reinterpret_cast<HWND>(static_cast<ULONG_PTR>(licence)), &rect));
    const agent::Image image = client.Capture(licence);
    EXPECT_FALSE(image.drawn) << "the platform draws the windows of the interactive desktop";
    ASSERT_EQ(static_cast<uint32_t>(rect.right - rect.left), image.width);
    ASSERT_EQ(static_cast<uint32_t>(rect.bottom - rect.top), image.height);
    ASSERT_EQ(static_cast<size_t>(image.width) * image.height, image.pixels.size());
    const bench::Pixels screen = bench::CaptureScreen(rect);
    size_t same = 0;
    for (size_t i = 0; i < image.pixels.size(); ++i)
        same += (image.pixels[i] & 0xFFFFFF) == (screen.data[i] & 0xFFFFFF) ? 1 : 0;
    EXPECT_GT(same * 100, image.pixels.size() * 95) << same << " of " << image.pixels.size() << " pixels as on screen";
    // The edit box's caret blinks: the same image comes back within a few tries.
    agent::Image latest = image, again;
    for (int attempt = 0; attempt < 5 && !again.unchanged; ++attempt)
    {
        again = client.Capture(licence, latest.hash);
        if (!again.unchanged)
            latest = again;
    }
    EXPECT_TRUE(again.unchanged);
    EXPECT_TRUE(again.pixels.empty());
    EXPECT_EQ(latest.hash, again.hash);

    // A click on OK where the box shows it ends the box with OK.
    const uint32_t question = Titled(windows, L"Bench question")->window;
    const HWND box = reinterpret_cast<HWND>(static_cast<ULONG_PTR>(question));
    const HWND ok = FindWindowExW(box, nullptr, L"Button", L"OK");
    ASSERT_NE(nullptr, ok);
    RECT boxRect{}, okRect{};
    GetWindowRect(box, &boxRect);
    GetWindowRect(ok, &okRect);
    client.Click(question, (okRect.left + okRect.right) / 2 - boxRect.left, (okRect.top + okRect.bottom) / 2 - boxRect.top);
    EXPECT_TRUE(bench::WaitForLine(results, "box=1")) << bench::ReadFileBytes(results);

    // A click in the edit box gives it the focus, as a user would; typed text lands there and
    // ENTER presses the default button.
    const HWND dialog = reinterpret_cast<HWND>(static_cast<ULONG_PTR>(licence));
    const HWND edit = FindWindowExW(dialog, nullptr, L"Edit", nullptr);
    ASSERT_NE(nullptr, edit);
    RECT editRect{};
    GetWindowRect(edit, &editRect);
    client.Click(licence, editRect.left + 5 - rect.left, (editRect.top + editRect.bottom) / 2 - rect.top);
    // The click is posted: typing follows once the box has the focus, as a user sees the caret.
    EXPECT_TRUE(bench::WaitUntil(
        [&] {
            GUITHREADINFO info{};
            info.cbSize = sizeof info;
            return GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info) && info.hwndFocus == edit;
        },
        2000))
        << "the click did not give the edit box the focus";
    client.Text(licence, L"QX-4711-\u00FC");
    client.Key(licence, VK_RETURN);
    EXPECT_TRUE(bench::WaitForLine(results, "dialog=1 text=QX-4711-\xC3\xBC")) << bench::ReadFileBytes(results);

    const uint32_t plain = Titled(windows, L"Bench plain")->window;
    client.Close(plain);
    EXPECT_TRUE(bench::WaitForLine(results, "plain=closed")) << bench::ReadFileBytes(results);
    EXPECT_TRUE(dialogs.Ended(5000)) << "not every window of the program was answered";
    // A window that has gone is one the agent does not know.
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE), CodeOf([&] { client.Capture(plain); }));
}

// A service that is not interactive shows its windows on a window station of its own, where
// nobody sees them (Wine: __wineservice_winstation, without display).
TEST_F(Agent, AServiceStationsDialogIsListedDescribedAnsweredAndDrawn)
{
    constexpr const wchar_t* Station = L"__wineservice_winstation";
    const std::wstring place = std::wstring(Station) + L"\\Default";
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring results = std::wstring(temp) + L"agent-station.txt";
    DeleteFileW(results.c_str());
    Start();
    Started dialogs(std::wstring(L"--station ") + Station + L" \"" + results + L"\"");
    agent::Client client = ConnectWhenReady();

    std::vector<agent::WindowEntry> windows;
    ASSERT_TRUE(bench::WaitUntil(
        [&] {
            windows = client.List();
            return Titled(windows, L"Bench station dialog") && Titled(windows, L"Bench station plain");
        },
        StartTimeoutMs))
        << "the station's windows are not listed";
    for (const wchar_t* title : {L"Bench station dialog", L"Bench station plain"})
    {
        EXPECT_EQ(place, Titled(windows, title)->place);
        EXPECT_EQ(L"BenchDialogs.exe", Titled(windows, title)->program);
        EXPECT_EQ(dialogs.pid(), Titled(windows, title)->processId);
    }
    // The feed follows them too, a moment later.
    agent::Feed feed;
    std::vector<agent::FeedWindow>::const_iterator followed;
    ASSERT_TRUE(bench::WaitUntil(
        [&] {
            feed = client.Watch(feed.sequence, 1000);
            followed = std::find_if(feed.windows.begin(), feed.windows.end(),
                                    [](const agent::FeedWindow& w) { return w.title == L"Bench station dialog"; });
            return followed != feed.windows.end();
        },
        StartTimeoutMs));
    EXPECT_EQ(place, followed->place);

    // Every control in the dialog's order, with what it says and where it stands.
    const uint32_t dialog = Titled(windows, L"Bench station dialog")->window;
    const HWND dialogHandle = reinterpret_cast<HWND>(static_cast<LONG_PTR>(static_cast<int32_t>(dialog)));
    RECT dialogRect{};
    ASSERT_TRUE(GetWindowRect(dialogHandle, &dialogRect));
    const std::vector<agent::Control> controls = client.Describe(dialog);
    ASSERT_EQ(5u, controls.size());
    const struct
    {
        uint32_t id;
        const wchar_t* className;
        const wchar_t* text;
        uint16_t states;
    } expected[] = {
        {0xFFFF, L"Static", L"The bench service cannot reach its server.", 0},
        {100, L"Edit", L"", agent::ControlFocused},
        {101, L"Button", L"&Keep trying", agent::ControlChecked},
        {IDRETRY, L"Button", L"&Retry", agent::ControlDefault},
        {IDCANCEL, L"Button", L"Cancel", 0},
    };
    for (size_t i = 0; i < controls.size(); ++i)
    {
        const agent::Control& control = controls[i];
        EXPECT_EQ(expected[i].id, control.id) << i;
        EXPECT_EQ(expected[i].className, control.className) << i;
        EXPECT_EQ(expected[i].text, control.text) << i;
        EXPECT_EQ(expected[i].states | agent::ControlEnabled | agent::ControlVisible, control.state) << i;
        RECT rect{};
        ASSERT_TRUE(GetWindowRect(reinterpret_cast<HWND>(static_cast<LONG_PTR>(static_cast<int32_t>(control.control))),
                                  &rect));
        EXPECT_EQ(rect.left - dialogRect.left, control.left) << i;
        EXPECT_EQ(rect.top - dialogRect.top, control.top) << i;
        EXPECT_EQ(rect.right - dialogRect.left, control.right) << i;
        EXPECT_EQ(rect.bottom - dialogRect.top, control.bottom) << i;
    }

    // Nobody draws the station: the picture is drawn from the structure and says so; a client
    // of version 1, which cannot tell, gets none.
    const agent::Image image = client.Capture(dialog);
    EXPECT_TRUE(image.drawn);
    ASSERT_EQ(static_cast<uint32_t>(dialogRect.right - dialogRect.left), image.width);
    ASSERT_EQ(static_cast<uint32_t>(dialogRect.bottom - dialogRect.top), image.height);
    ASSERT_EQ(static_cast<size_t>(image.width) * image.height, image.pixels.size());
    std::vector<uint32_t> colours(image.pixels);
    std::sort(colours.begin(), colours.end());
    EXPECT_GT(std::unique(colours.begin(), colours.end()) - colours.begin(), 4) << "a picture of one or two colours";
    // The edit box is white where the structure puts it, the strip at the bottom is not the window's.
    const agent::Control& edit = controls[1];
    EXPECT_EQ(0xFFFFFFFFu, image.pixels[static_cast<size_t>(edit.top + 4) * image.width + edit.left + 10]);
    EXPECT_EQ(0xFFFFE678u, image.pixels[(image.height - 2) * image.width + 1]);
    RawClient raw;
    ASSERT_TRUE(raw.Open());
    std::vector<uint8_t> capture(12, 0);
    std::memcpy(capture.data(), &dialog, 4);
    std::vector<uint8_t> answer;
    ASSERT_TRUE(raw.Send(Message(agent::Magic, 1, static_cast<uint16_t>(agent::Request::Capture), 12, capture)));
    ASSERT_GE(raw.Receive(answer), static_cast<long>(sizeof(agent::Header) + 4));
    uint32_t status = 0;
    std::memcpy(&status, answer.data() + sizeof(agent::Header), 4);
    EXPECT_EQ(static_cast<uint32_t>(ERROR_NOT_SUPPORTED), status);

    // Only an enabled visible button of the window is pressed.
    std::string what;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), CodeOf([&] { client.Press(dialog, edit.control); }, &what));
    EXPECT_NE(std::string::npos, what.find("not an enabled button")) << what;
    const uint32_t plain = Titled(windows, L"Bench station plain")->window;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE),
              CodeOf([&] { client.Press(plain, controls[3].control); }, &what));
    EXPECT_NE(std::string::npos, what.find("is no control of")) << what;

    // Typed into the focused edit box, then the default button: the program sees both.
    client.Text(dialog, L"QX-station");
    client.Press(dialog, controls[3].control);
    EXPECT_TRUE(bench::WaitForLine(results, "station=4 text=QX-station check=1")) << bench::ReadFileBytes(results);

    client.Close(plain);
    EXPECT_TRUE(bench::WaitForLine(results, "plain=closed")) << bench::ReadFileBytes(results);
    EXPECT_TRUE(dialogs.Ended(5000)) << "not every window of the station was answered";
}

TEST_F(Agent, APipeServerThatIsNotTheAgentIsRefused)
{
    // Someone else holds the name before the service starts: no pipe of the name may be left
    // from before (an agent of an earlier test's service still ending).
    ASSERT_TRUE(bench::WaitUntil(
        [] { return !WaitNamedPipeW(agent::PipeName, 1) && GetLastError() == ERROR_FILE_NOT_FOUND; },
        StartTimeoutMs))
        << "a pipe of the agent's name is still there from before";
    // It takes every instance the name allows: Wine does not keep a second program from making
    // "the first instance" of a name, but it does refuse an instance past the limit.
    const HANDLE impostor = CreateNamedPipeW(agent::PipeName, PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                             PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 4096, 4096, 0,
                                             nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, impostor);
    // Its trays come and go now: the window of one may be gone before anyone sees it.
    Start();

    std::string what;
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), CodeOf([] { agent::Client::Connect(2000); }, &what))
        << "session 0 trays: " << [] {
               std::string list;
               for (const DWORD pid : bench::ProcessesNamed(Tray))
                   list += std::to_string(pid) + " (session " + std::to_string(ts::SessionOfProcess(pid)) + ") ";
               return list;
           }();
    EXPECT_NE(std::string::npos, what.find("it is not the session 0 agent of the UI0Detect service")) << what;
    EXPECT_NE(std::string::npos, what.find("(the pipe server is process " + std::to_string(GetCurrentProcessId()) + ", "))
        << "the refusal names the process that made the pipe: " << what;

    // A tray that cannot take the name ends with its own code, and the service starts another
    // on its pause between restarts; once the name is free, the agent comes up.
    const DWORD endingId = SessionZeroTray();
    const HANDLE ending = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, endingId);
    const bool ended = ending != nullptr && WaitForSingleObject(ending, StartTimeoutMs) == WAIT_OBJECT_0;
    DWORD code = STILL_ACTIVE;
    if (ending != nullptr)
    {
        GetExitCodeProcess(ending, &code);
        CloseHandle(ending);
    }
    if (!ended)
    {
        CloseHandle(impostor);
        FAIL() << "the tray runs on without its agent";
    }
    EXPECT_EQ(TrayAgentNameTakenExitCode, code);
    DWORD next = 0;
    EXPECT_TRUE(bench::WaitUntil(
        [&] {
            next = SessionZeroTray();
            return next != 0 && next != endingId;
        },
        StartTimeoutMs))
        << "no tray was started again";
    CloseHandle(impostor);
    const ULONGLONG freed = GetTickCount64();
    // The longest pause after a few quick ends is some seconds; the agent answers within it.
    bool served = false;
    bench::WaitUntil(
        [&] {
            try
            {
                agent::Client::Connect(0).List();
                served = true;
            }
            catch (const std::system_error&)
            {
            }
            return served;
        },
        2 * StartTimeoutMs, 200);
    EXPECT_TRUE(served) << "the agent did not come up within " << GetTickCount64() - freed << " ms of the name's release";
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), service.State());
}

TEST_F(Agent, MoreClientsThanAHandfulAreServedAtOnce)
{
    // Every user session's tray holds a connection while it follows the feed; viewers come on top.
    Start();
    std::vector<agent::Client> clients;
    clients.push_back(ConnectWhenReady());
    for (int i = 1; i < 12; ++i)
        clients.push_back(agent::Client::Connect(5000));
    for (agent::Client& client : clients)
        EXPECT_NO_THROW(client.List());
    clients.clear();
    // Threads whose clients went serve the next ones.
    for (int i = 0; i < 3; ++i)
        EXPECT_NO_THROW(agent::Client::Connect(5000).List());
}

TEST_F(Agent, GarbageCostsOnlyItsOwnConnection)
{
    Start();
    agent::Client good = ConnectWhenReady();
    good.List();

    std::mt19937 random(11);
    const auto bytes = [&](size_t count) {
        std::vector<uint8_t> data(count);
        for (uint8_t& byte : data)
            byte = static_cast<uint8_t>(random());
        return data;
    };
    RawClient raw;
    size_t answered = 0, dropped = 0;
    const auto flood = [&](int count) {
        for (int i = 0; i < count; ++i)
        {
            if (!raw.open())
            {
                ASSERT_TRUE(raw.Open()) << "the agent took no new connection after " << i << " messages";
            }
            std::vector<uint8_t> message;
            const auto type = static_cast<uint16_t>(agent::Request::Capture);
            switch (i % 8)
            {
            case 0: message = bytes(1 + random() % 64); break;
            case 1: message = Message(agent::Magic + 1, agent::Version, type, 12, bytes(12)); break;
            case 2: message = Message(agent::Magic, agent::Version + 1, type, 12, bytes(12)); break;
            case 3: message = Message(agent::Magic, agent::Version, type, 13, bytes(12)); break;
            case 4: message = Message(agent::Magic, agent::Version, type, 5000, bytes(5000)); break;
            case 5: message = Message(agent::Magic, agent::Version, type, 8, bytes(8)); break;
            case 6: message = Message(agent::Magic, agent::Version, static_cast<uint16_t>(100 + random() % 1000), 0, {}); break;
            default: {
                // Well formed, for a window that is not there: answered, and the connection stays.
                std::vector<uint8_t> payload = bytes(12);
                payload[3] = 0x7F;
                message = Message(agent::Magic, agent::Version, type, 12, payload);
            }
            }
            std::vector<uint8_t> answer;
            if (!raw.Send(message) || raw.Receive(answer) < 0)
            {
                raw.Close();
                ++dropped;
                continue;
            }
            ++answered;
            uint32_t status = 0;
            ASSERT_GE(answer.size(), sizeof(agent::Header) + 4);
            std::memcpy(&status, answer.data() + sizeof(agent::Header), 4);
            EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_WINDOW_HANDLE), status) << "message " << i;
        }
    };
    flood(200);
    figures::Process before{}, after{};
    ASSERT_TRUE(figures::Of(tray, &before));
    const ULONGLONG start = GetTickCount64();
    flood(10000);
    const ULONGLONG took = GetTickCount64() - start;
    raw.Close();
    // Every message but the well-formed ones cost its connection.
    EXPECT_EQ(1250u + 25u, answered);
    EXPECT_EQ(10200u - answered, dropped);

    // The client that was connected all along, and a new one, are served.
    EXPECT_NO_THROW(good.List());
    EXPECT_NO_THROW(ConnectWhenReady().List());
    ASSERT_TRUE(figures::Of(tray, &after));
    EXPECT_LE(after.handles, before.handles + 10) << before.handles << " handles before, " << after.handles << " after";
    EXPECT_LE(after.workingSet, before.workingSet + 4 * 1024 * 1024)
        << before.workingSet << " bytes resident before, " << after.workingSet << " after";
    std::printf("10000 messages in %llu ms; tray handles %lu -> %lu, resident %zu -> %zu KiB\n",
                static_cast<unsigned long long>(took), before.handles, after.handles, before.workingSet / 1024,
                after.workingSet / 1024);
}

TEST_F(Agent, AHungWindowFailsOnlyItsOwnRequestInAboutTwoSeconds)
{
    Start();
    Started hung(L"--hang 6000");
    agent::Client viewer = ConnectWhenReady();
    agent::Client other = ConnectWhenReady();
    std::vector<agent::WindowEntry> windows;
    ASSERT_TRUE(bench::WaitUntil([&] { return Titled(windows = other.List(), L"Bench hung") != nullptr; }, StartTimeoutMs));
    const uint32_t window = Titled(windows, L"Bench hung")->window;
    // Its thread sleeps from 500 ms after it showed.
    ASSERT_TRUE(bench::WaitUntil(
        [&] {
            DWORD_PTR result = 0;
            return SendMessageTimeoutW(reinterpret_cast<HWND>(static_cast<ULONG_PTR>(window)), WM_NULL, 0, 0,
                                       SMTO_BLOCK, 100, &result) == 0;
        },
        5000))
        << "the window never stopped answering";

    DWORD code = 0;
    ULONGLONG took = 0;
    std::atomic<bool> captured{false};
    std::thread capture([&] {
        const ULONGLONG start = GetTickCount64();
        code = CodeOf([&] { viewer.Capture(window); });
        took = GetTickCount64() - start;
        captured = true;
    });
    // Another client lists all through the capture, so some lists fall while the agent waits.
    ULONGLONG slowestList = 0;
    int lists = 0;
    bench::WaitUntil(
        [&] {
            const bool ended = captured;
            const ULONGLONG start = GetTickCount64();
            EXPECT_NE(nullptr, Titled(other.List(), L"Bench hung"));
            slowestList = std::max(slowestList, GetTickCount64() - start);
            lists += ended ? 0 : 1;
            return ended;
        },
        10000, 100);
    capture.join();
    EXPECT_GE(lists, 5) << "lists while the capture waited";
    EXPECT_EQ(static_cast<DWORD>(ERROR_TIMEOUT), code);
    EXPECT_GE(took, 1500u);
    EXPECT_LE(took, 3500u);
    EXPECT_LT(slowestList, 500u) << "another client waited for the hung window";
    // The failed request cost no connection.
    EXPECT_NO_THROW(viewer.List());

    // Once the window answers again, a viewer asks for its image and never reads it: the tray
    // still ends within the service's bound for its helpers.
    ASSERT_TRUE(bench::WaitUntil([&] { return CodeOf([&] { other.Capture(window); }) == 0; }, 10000));
    RawClient stuck;
    ASSERT_TRUE(stuck.Open());
    std::vector<uint8_t> payload(12, 0);
    std::memcpy(payload.data(), &window, 4);
    ASSERT_TRUE(stuck.Send(Message(agent::Magic, agent::Version, static_cast<uint16_t>(agent::Request::Capture), 12, payload)));
    ASSERT_TRUE(bench::WaitUntil([&] { return stuck.Waiting() > 0; }, 5000)) << "the agent did not start to answer";
    const bench::ProcessWatch process(tray);
    ASSERT_TRUE(process.valid());
    const ULONGLONG stop = GetTickCount64();
    EXPECT_TRUE(service.StopAndWait());
    EXPECT_TRUE(process.Ended(5000));
    const ULONGLONG trayTook = GetTickCount64() - stop;
    EXPECT_LT(trayTook, 1500u) << "the tray took " << trayTook << " ms to end with viewers connected";
}
}
