// The real Quillon.exe under the prefix's service manager with the real helper programs beside
// it: the session 0 helpers kept running, the tray in users' sessions, the shell hook, and the
// closing of the helpers when the service stops. Sessions come from the simulated Terminal
// Services; every helper a test leaves behind is ended by its pid.

#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "BenchClient.h"
#include "TermSrv.h"

namespace ts = bench::termsrv;

namespace
{
constexpr const wchar_t* Explorer = L"QuillonExplorer.exe";
constexpr const wchar_t* Tray = L"QuillonTray.exe";
constexpr DWORD StartTimeoutMs = 10000;
// Long enough for a start that should not happen to have shown.
constexpr DWORD NothingStartsMs = 2000;

using bench::ProcessesNamed;

// The copies of the image in the simulated session.
std::vector<DWORD> CopiesIn(const wchar_t* image, DWORD session)
{
    std::vector<DWORD> pids;
    for (const DWORD pid : ProcessesNamed(image))
        if (ts::SessionOfProcess(pid) == session)
            pids.push_back(pid);
    return pids;
}

// Waits for exactly one copy in the session other than `not_this`; its pid, or 0.
DWORD WaitForCopy(const wchar_t* image, DWORD session, DWORD notThis = 0, DWORD timeoutMs = StartTimeoutMs)
{
    DWORD found = 0;
    bench::WaitUntil(
        [&] {
            const std::vector<DWORD> pids = CopiesIn(image, session);
            found = pids.size() == 1 && pids[0] != notThis ? pids[0] : 0;
            return found != 0;
        },
        timeoutMs);
    return found;
}

bool NoCopyStarts(const wchar_t* image, DWORD session, DWORD timeoutMs = NothingStartsMs)
{
    return !bench::WaitUntil([&] { return !CopiesIn(image, session).empty(); }, timeoutMs);
}

HWND WindowOf(const wchar_t* className, DWORD pid)
{
    for (HWND window = FindWindowExW(nullptr, nullptr, className, nullptr); window != nullptr;
         window = FindWindowExW(nullptr, window, className, nullptr))
    {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == pid)
            return window;
    }
    return nullptr;
}

HWND WaitForWindowOf(const wchar_t* className, DWORD pid)
{
    HWND window = nullptr;
    bench::WaitUntil([&] { return (window = WindowOf(className, pid)) != nullptr; }, StartTimeoutMs);
    return window;
}

// Windows of the class that belong to none of our helpers (Wine's own taskbar, say).
std::vector<HWND> ForeignWindows(const wchar_t* className)
{
    std::vector<DWORD> ours = ProcessesNamed(Explorer);
    const std::vector<DWORD> trays = ProcessesNamed(Tray);
    ours.insert(ours.end(), trays.begin(), trays.end());
    std::vector<HWND> windows;
    for (HWND window = FindWindowExW(nullptr, nullptr, className, nullptr); window != nullptr;
         window = FindWindowExW(nullptr, window, className, nullptr))
    {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        bool mine = false;
        for (const DWORD pid : ours)
            mine = mine || pid == owner;
        if (!mine)
            windows.push_back(window);
    }
    return windows;
}

bool Kill(DWORD pid)
{
    const HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
    if (process == nullptr)
        return true;
    TerminateProcess(process, 99);
    const bool ended = WaitForSingleObject(process, 5000) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}

void KillAll(const wchar_t* image)
{
    for (const DWORD pid : ProcessesNamed(image))
        Kill(pid);
}

// A watch on a helper the service started: did it end, and how.
class Watch
{
public:
    explicit Watch(DWORD pid) : process_(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid)) {}
    ~Watch()
    {
        if (process_ != nullptr)
            CloseHandle(process_);
    }
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;

    bool valid() const { return process_ != nullptr; }
    bool Ended(DWORD timeoutMs = 0) const { return WaitForSingleObject(process_, timeoutMs) == WAIT_OBJECT_0; }
    DWORD ExitCode() const
    {
        DWORD code = STILL_ACTIVE;
        GetExitCodeProcess(process_, &code);
        return code;
    }

private:
    HANDLE process_;
};

using Started = bench::StartedProgram;

std::wstring BinPath(const wchar_t* image)
{
    return bench::ProgramDirectory() + L"\\" + image;
}

std::wstring AwayPath(const wchar_t* image)
{
    return BinPath(image) + L".away";
}

std::wstring ImageOf(DWORD pid)
{
    std::wstring path(1024, L'\0');
    DWORD size = static_cast<DWORD>(path.size());
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    const bool read = process != nullptr && QueryFullProcessImageNameW(process, 0, path.data(), &size);
    if (process != nullptr)
        CloseHandle(process);
    path.resize(read ? size : 0);
    return path;
}

// Waits for a copy in session 0 of the service's own program (from its folder) other than
// `notThis`; its pid, or 0.
DWORD WaitForOwnCopy(const wchar_t* image, DWORD notThis = 0)
{
    const std::wstring own = BinPath(image);
    DWORD found = 0;
    bench::WaitUntil(
        [&] {
            for (const DWORD pid : CopiesIn(image, 0))
                if (pid != notThis && _wcsicmp(ImageOf(pid).c_str(), own.c_str()) == 0)
                    found = pid;
            return found != 0;
        },
        StartTimeoutMs);
    return found;
}

// The tick counts that BenchQuickExit logged, one per start.
std::vector<ULONGLONG> StartsLogged(const std::wstring& log)
{
    std::vector<ULONGLONG> starts;
    FILE* file = _wfopen(log.c_str(), L"r");
    unsigned long long tick = 0;
    while (file != nullptr && std::fscanf(file, "%llu", &tick) == 1)
        starts.push_back(tick);
    if (file != nullptr)
        std::fclose(file);
    return starts;
}

// The image goes missing beside the service, and comes back.
bool HideImage(const wchar_t* image)
{
    return MoveFileExW(BinPath(image).c_str(), AwayPath(image).c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}

void RestoreImage(const wchar_t* image)
{
    if (GetFileAttributesW(AwayPath(image).c_str()) != INVALID_FILE_ATTRIBUTES)
        MoveFileExW(AwayPath(image).c_str(), BinPath(image).c_str(), MOVEFILE_REPLACE_EXISTING);
}

class ShellHelpers : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(service.StopAndWait());
        Clean();
    }

    void TearDown() override
    {
        service.StopAndWait();
        Clean();
    }

    void Clean()
    {
        KillAll(Tray);
        KillAll(Explorer);
        RestoreImage(Tray);
        RestoreImage(Explorer);
        ts::Reset();
    }

    void Start()
    {
        ASSERT_TRUE(service.StartAndWaitForShell());
        shell = bench::FindShellWindow();
        ASSERT_NE(nullptr, shell);
    }

    // Starts with Terminal Services ready and waits until the shell registered for notifications.
    void StartReady()
    {
        ASSERT_TRUE(ts::MakeReady());
        Start();
        ASSERT_TRUE(bench::WaitUntil([&] { return ts::IsRegistered(shell); }, StartTimeoutMs))
            << "the shell never registered for session notifications";
    }

    // Everything posted to the shell before this call has been handled once it returns: a fresh
    // logon is posted after it, and its tray is waited for.
    void Barrier()
    {
        const DWORD session = nextMarkerSession++;
        ASSERT_TRUE(ts::LogOn(session, L"marker"));
        ASSERT_NE(0u, WaitForCopy(Tray, session)) << "no tray for the marker session " << session;
    }

    // The stop asks both helpers to close, and they end on their own (exit code 0). A helper is
    // asked through its window: one that has none yet is not asked.
    void StopExpectingBothClosed(DWORD tray, DWORD explorer)
    {
        ASSERT_NE(nullptr, WaitForWindowOf(L"QuillonTray", tray));
        ASSERT_NE(nullptr, WaitForWindowOf(L"Shell_TrayWnd", explorer));
        Watch trayWatch(tray), explorerWatch(explorer);
        ASSERT_TRUE(trayWatch.valid() && explorerWatch.valid());
        ASSERT_TRUE(service.StopAndWait());
        EXPECT_TRUE(trayWatch.Ended(5000));
        EXPECT_TRUE(explorerWatch.Ended(5000));
        EXPECT_EQ(0u, trayWatch.ExitCode());
        EXPECT_EQ(0u, explorerWatch.ExitCode());
    }

    void PostShellHook(WPARAM code)
    {
        const UINT message = RegisterWindowMessageW(L"SHELLHOOK");
        ASSERT_TRUE(PostMessageW(shell, message, code, 0));
    }

    bench::Service service;
    HWND shell = nullptr;
    DWORD nextMarkerSession = 20;
};

TEST_F(ShellHelpers, BothSessionZeroHelpersRunAndEveryOneThatEndsIsStartedAgainTheStopClosesThem)
{
    const std::vector<HWND> foreignTaskbars = ForeignWindows(L"Shell_TrayWnd");
    Start();
    DWORD explorer = WaitForCopy(Explorer, 0);
    DWORD tray = WaitForCopy(Tray, 0);
    ASSERT_NE(0u, explorer);
    ASSERT_NE(0u, tray);
    EXPECT_NE(nullptr, WaitForWindowOf(L"Shell_TrayWnd", explorer));
    EXPECT_NE(nullptr, WaitForWindowOf(L"QuillonTray", tray));

    // Each end is followed by a new copy, again and again (after a pause from the second on).
    for (int round = 0; round < 2; ++round)
    {
        ASSERT_TRUE(Kill(explorer));
        explorer = WaitForCopy(Explorer, 0, explorer);
        ASSERT_NE(0u, explorer) << "the explorer helper was not started again, round " << round;
        ASSERT_TRUE(Kill(tray));
        tray = WaitForCopy(Tray, 0, tray);
        ASSERT_NE(0u, tray) << "the tray helper was not started again, round " << round;
    }
    ASSERT_NE(nullptr, WaitForWindowOf(L"Shell_TrayWnd", explorer));
    ASSERT_NE(nullptr, WaitForWindowOf(L"QuillonTray", tray));

    // The stop asks both to close; they end on their own (exit code 0) and nothing restarts them.
    Watch explorerWatch(explorer), trayWatch(tray);
    ASSERT_TRUE(explorerWatch.valid() && trayWatch.valid());
    ASSERT_TRUE(service.StopAndWait());
    EXPECT_TRUE(explorerWatch.Ended(5000));
    EXPECT_TRUE(trayWatch.Ended(5000));
    EXPECT_EQ(0u, explorerWatch.ExitCode());
    EXPECT_EQ(0u, trayWatch.ExitCode());
    EXPECT_TRUE(NoCopyStarts(Explorer, 0, 1000));
    EXPECT_TRUE(CopiesIn(Tray, 0).empty());
    // Another program's taskbar window on the desktop is not the helper's and stays.
    for (HWND window : foreignTaskbars)
        EXPECT_TRUE(IsWindow(window)) << "a taskbar window that is not the helper's was closed";
}

TEST_F(ShellHelpers, AnExplorerHelperAlreadyRunningIsAdoptedAndReplacedWhenItEnds)
{
    Started running(BinPath(Explorer), L"");
    ASSERT_TRUE(running.Running());
    ASSERT_NE(nullptr, WaitForWindowOf(L"Shell_TrayWnd", running.pid()));

    Start();
    // The tray helper is started after the explorer helper: once it runs, the explorer's turn
    // has passed.
    ASSERT_NE(0u, WaitForCopy(Tray, 0));
    EXPECT_EQ(std::vector<DWORD>{running.pid()}, CopiesIn(Explorer, 0)) << "a second explorer helper";

    // It is watched like one the service started.
    ASSERT_TRUE(Kill(running.pid()));
    const DWORD replacement = WaitForCopy(Explorer, 0, running.pid());
    ASSERT_NE(0u, replacement) << "the adopted copy's end was not noticed";
    // A helper is asked to close through its window: one that has none yet is not asked.
    ASSERT_NE(nullptr, WaitForWindowOf(L"Shell_TrayWnd", replacement));
    Watch watch(replacement);
    ASSERT_TRUE(service.StopAndWait());
    EXPECT_TRUE(watch.Ended(5000));
}

TEST_F(ShellHelpers, AMissingTrayImageIsTriedAgainUntilItAppearsAndEachUserOccasionTriesToo)
{
    ASSERT_TRUE(ts::LogOn(1, L"alice"));
    ASSERT_TRUE(ts::ConnectConsole(1));
    ASSERT_TRUE(HideImage(Tray));
    StartReady();
    ASSERT_NE(0u, WaitForCopy(Explorer, 0)) << "the other helper must start all the same";
    EXPECT_TRUE(NoCopyStarts(Tray, 0));
    EXPECT_TRUE(CopiesIn(Tray, 1).empty());

    // The image is back: a user's logon finds it, and the session 0 copy is started at its
    // next try (tries at about 0, 1, 3 and 7 s).
    RestoreImage(Tray);
    ASSERT_TRUE(ts::LogOn(2, L"bob"));
    EXPECT_NE(0u, WaitForCopy(Tray, 2)) << "the logon did not try again";
    EXPECT_NE(0u, WaitForCopy(Tray, 0, 0, 6000)) << "the session 0 tray was not tried again";
}

TEST_F(ShellHelpers, AMissingExplorerImageIsStartedOnceItAppearsAndTheStopClosesBoth)
{
    ASSERT_TRUE(HideImage(Explorer));
    Start();
    DWORD tray = WaitForCopy(Tray, 0);
    ASSERT_NE(0u, tray);
    EXPECT_TRUE(NoCopyStarts(Explorer, 0));

    RestoreImage(Explorer);
    const DWORD explorer = WaitForCopy(Explorer, 0, 0, 6000);
    ASSERT_NE(0u, explorer) << "the explorer helper was not tried again";

    StopExpectingBothClosed(tray, explorer);
}

TEST_F(ShellHelpers, AHelperThatEndsAtOnceIsRestartedWithGrowingPausesAndTheStopStaysQuick)
{
    // A program that logs its start and exits, under the tray's name beside the service.
    ASSERT_TRUE(HideImage(Tray));
    const std::wstring log = BinPath(Tray) + L".starts";
    DeleteFileW(log.c_str());
    ASSERT_TRUE(CopyFileW((bench::ProgramDirectory() + L"\\..\\testbench\\BenchQuickExit.exe").c_str(),
                          BinPath(Tray).c_str(), FALSE));
    Start();
    // Starts at about 0, 0, 1, 3 and 7 s: five in eight seconds, where a tight loop makes hundreds.
    Sleep(8000);
    const std::vector<ULONGLONG> starts = StartsLogged(log);
    std::printf("a tray that exits at once was started %u times in 8 s\n", static_cast<unsigned>(starts.size()));
    EXPECT_GE(starts.size(), 4u);
    EXPECT_LE(starts.size(), 6u);
    if (starts.size() >= 4)
    {
        EXPECT_GE(starts[3] - starts[2], 1500u) << "the pause did not grow";
    }
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), service.State());

    // The next start is due at about 15 s: the stop does not wait for it, and nothing follows.
    const ULONGLONG before = GetTickCount64();
    ASSERT_TRUE(service.StopAndWait());
    EXPECT_LT(GetTickCount64() - before, 3000u);
    const size_t atStop = StartsLogged(log).size();
    Sleep(1000);
    EXPECT_EQ(atStop, StartsLogged(log).size());
    DeleteFileW(log.c_str());
}

TEST_F(ShellHelpers, WithNeitherHelperImageTheServiceRunsAndStopsCleanly)
{
    ASSERT_TRUE(HideImage(Explorer));
    ASSERT_TRUE(HideImage(Tray));
    Start();
    EXPECT_TRUE(NoCopyStarts(Explorer, 0));
    EXPECT_TRUE(CopiesIn(Tray, 0).empty());
    ASSERT_TRUE(service.StopAndWait());
    EXPECT_EQ(0u, service.Status().dwWin32ExitCode);
}

TEST_F(ShellHelpers, UserSessionsGetOneTrayAtStartAndAtEachLogon)
{
    ASSERT_TRUE(ts::LogOn(1, L"alice"));
    ASSERT_TRUE(ts::ConnectConsole(1));   // active
    ASSERT_TRUE(ts::LogOn(2, L"bob"));    // disconnected
    StartReady();
    const DWORD alice = WaitForCopy(Tray, 1);
    EXPECT_NE(0u, alice) << "no tray in the active session";
    EXPECT_NE(0u, WaitForCopy(Tray, 2)) << "no tray in the disconnected session";
    EXPECT_NE(0u, WaitForCopy(Tray, 0));

    ASSERT_TRUE(ts::LogOn(3, L"carol"));
    EXPECT_NE(0u, WaitForCopy(Tray, 3)) << "no tray at a logon";

    // A second logon notification for a session whose tray runs starts no second copy.
    ASSERT_TRUE(ts::LogOn(1, L"alice"));
    Barrier();
    EXPECT_EQ(std::vector<DWORD>{alice}, CopiesIn(Tray, 1));
    EXPECT_EQ(1u, CopiesIn(Tray, 0).size());

    // The stop closes the session 0 copy only: the users' trays are not the service's.
    ASSERT_NE(nullptr, WaitForWindowOf(L"QuillonTray", CopiesIn(Tray, 0).front()));
    ASSERT_TRUE(service.StopAndWait());
    EXPECT_TRUE(bench::WaitUntil([] { return CopiesIn(Tray, 0).empty(); }, 5000));
    EXPECT_EQ(std::vector<DWORD>{alice}, CopiesIn(Tray, 1));
    EXPECT_EQ(1u, CopiesIn(Tray, 2).size());
}

TEST_F(ShellHelpers, PassingTerminalServicesFailuresDoNotEndTheService)
{
    // The session list cannot be read at start: no announcement, but the shell goes on.
    ASSERT_TRUE(ts::LogOn(1, L"alice"));
    ts::InjectFault(ts::Call::EnumerateSessions, ERROR_ACCESS_DENIED, false);
    StartReady();
    ASSERT_NE(0u, WaitForCopy(Tray, 0));
    ASSERT_TRUE(bench::FlushWindow(shell));
    ts::ClearFaults();
    EXPECT_TRUE(CopiesIn(Tray, 1).empty());

    // A process lookup that fails once costs that logon its tray, nothing more.
    ts::InjectFault(ts::Call::EnumerateProcesses, ERROR_ACCESS_DENIED, true);
    ASSERT_TRUE(ts::LogOn(2, L"bob"));
    Barrier();
    EXPECT_TRUE(CopiesIn(Tray, 2).empty());
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), service.State());
    EXPECT_TRUE(IsWindow(shell));
    ASSERT_TRUE(ts::LogOn(1, L"alice"));
    EXPECT_NE(0u, WaitForCopy(Tray, 1)) << "later logons must still bring their tray";
    ASSERT_TRUE(service.StopAndWait());
    EXPECT_EQ(0u, service.Status().dwWin32ExitCode);
}

TEST_F(ShellHelpers, ShellHookEventsStartTheUsersTrayOnlyWhileTheUserLooksElsewhere)
{
    ASSERT_TRUE(ts::LogOn(1, L"alice"));
    ASSERT_TRUE(ts::ConnectConsole(1));
    StartReady();
    DWORD tray = WaitForCopy(Tray, 1);
    ASSERT_NE(0u, tray);
    ASSERT_TRUE(Kill(tray));

    // Before any connect or disconnect the user's session is not known: nobody to tell.
    PostShellHook(1);
    Barrier();
    EXPECT_TRUE(CopiesIn(Tray, 1).empty());

    // The user's session holds the console: the user sees no session 0 window anyway.
    ASSERT_TRUE(ts::ConnectConsole(1));
    PostShellHook(1);
    PostShellHook(0x8006);
    Barrier();
    EXPECT_TRUE(CopiesIn(Tray, 1).empty());

    // The console shows nothing: only a window created or flashing counts.
    ASSERT_TRUE(ts::DisconnectConsole());
    for (const WPARAM code : {WPARAM{2}, WPARAM{4}, WPARAM{6}, WPARAM{0x8004}, WPARAM{0x8001}, WPARAM{0}})
        PostShellHook(code);
    Barrier();
    EXPECT_TRUE(CopiesIn(Tray, 1).empty()) << "a shell hook code other than 1 and 0x8006 started the tray";

    PostShellHook(1);
    tray = WaitForCopy(Tray, 1);
    ASSERT_NE(0u, tray) << "a window created in session 0 did not bring the user's tray";
    ASSERT_TRUE(Kill(tray));
    PostShellHook(0x8006);
    tray = WaitForCopy(Tray, 1, tray);
    ASSERT_NE(0u, tray) << "a flashing window did not bring the user's tray";

    // The console shows session 0.
    ASSERT_TRUE(Kill(tray));
    ASSERT_TRUE(ts::ConnectConsole(0));
    PostShellHook(1);
    EXPECT_NE(0u, WaitForCopy(Tray, 1, tray));
}

// BenchStubbornHelper under a helper's image name, started by the test before the service. In
// the helper's place beside the service (the helper is put back afterwards) the shell adopts
// it; from a folder of its own it merely bears the name.
class StandIn
{
public:
    enum Where
    {
        InTheHelpersPlace,
        InAFolderOfItsOwn
    };

    StandIn(const wchar_t* image, Where where, const std::wstring& arguments)
        : image_(image),
          folder_(where == InTheHelpersPlace ? std::wstring() : bench::ProgramDirectory() + L"\\standin"),
          path_(where == InTheHelpersPlace ? BinPath(image) : folder_ + L"\\" + image)
    {
        if (where == InTheHelpersPlace)
            hidden_ = HideImage(image);
        else
            CreateDirectoryW(folder_.c_str(), nullptr);
        if ((where != InTheHelpersPlace || hidden_) &&
            CopyFileW((bench::ProgramDirectory() + L"\\..\\testbench\\BenchStubbornHelper.exe").c_str(),
                      path_.c_str(), FALSE))
            process_.reset(new Started(path_, arguments));
    }
    ~StandIn()
    {
        process_.reset();
        if (folder_.empty() && !hidden_)
            return;   // the helper's own image is still in its place
        bench::WaitUntil([&] { return DeleteFileW(path_.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND; },
                         5000);
        if (hidden_)
            RestoreImage(image_);
        else
            RemoveDirectoryW(folder_.c_str());
    }
    StandIn(const StandIn&) = delete;
    StandIn& operator=(const StandIn&) = delete;

    DWORD pid() const { return process_ ? process_->pid() : 0; }
    bool Running() const { return process_ && process_->Running(); }

private:
    const wchar_t* image_;
    std::wstring folder_, path_;
    bool hidden_ = false;
    std::unique_ptr<Started> process_;
};

TEST_F(ShellHelpers, WithOneHelperMissingTheStopStillWaitsForTheOther)
{
    ASSERT_TRUE(HideImage(Tray));
    // Ends half a second after it is asked to.
    StandIn slow(Explorer, StandIn::InTheHelpersPlace, L"Shell_TrayWnd 500");
    ASSERT_NE(nullptr, WaitForWindowOf(L"Shell_TrayWnd", slow.pid()));
    Watch watch(slow.pid());
    Start();
    ASSERT_TRUE(bench::FlushWindow(shell));
    ASSERT_EQ(std::vector<DWORD>{slow.pid()}, CopiesIn(Explorer, 0));

    ASSERT_EQ(0u, service.Control(SERVICE_CONTROL_STOP));
    ASSERT_TRUE(service.WaitForState(SERVICE_STOPPED, 10000));
    EXPECT_TRUE(watch.Ended()) << "the service stopped before the explorer helper it asked to close";
    EXPECT_EQ(0u, watch.ExitCode());
}

TEST_F(ShellHelpers, AHelperThatIgnoresCloseHoldsTheStopBackOnlyAboutASecond)
{
    StandIn stubborn(Explorer, StandIn::InTheHelpersPlace, L"Shell_TrayWnd");
    ASSERT_NE(nullptr, WaitForWindowOf(L"Shell_TrayWnd", stubborn.pid()));
    Start();
    const DWORD tray = WaitForCopy(Tray, 0);
    ASSERT_NE(0u, tray);
    ASSERT_EQ(std::vector<DWORD>{stubborn.pid()}, CopiesIn(Explorer, 0));
    ASSERT_NE(nullptr, WaitForWindowOf(L"QuillonTray", tray));
    Watch trayWatch(tray);

    const ULONGLONG before = GetTickCount64();
    ASSERT_EQ(0u, service.Control(SERVICE_CONTROL_STOP));
    ASSERT_TRUE(service.WaitForState(SERVICE_STOPPED, 10000));
    const ULONGLONG took = GetTickCount64() - before;
    std::printf("stop with a helper that ignores WM_CLOSE took %llu ms\n", took);
    EXPECT_LT(took, 5000u);
    EXPECT_TRUE(trayWatch.Ended(5000));
    // Asked, never terminated.
    EXPECT_TRUE(stubborn.Running());
}

TEST_F(ShellHelpers, ProgramsThatOnlyBearTheHelpersNamesAreNeitherAdoptedNorClosed)
{
    // In session 0 before the service, from another folder; each ends half a second after it is
    // asked to close.
    StandIn tray(Tray, StandIn::InAFolderOfItsOwn, L"QuillonTray 500");
    StandIn explorer(Explorer, StandIn::InAFolderOfItsOwn, L"Shell_TrayWnd 500");
    ASSERT_NE(nullptr, WaitForWindowOf(L"QuillonTray", tray.pid()));
    ASSERT_NE(nullptr, WaitForWindowOf(L"Shell_TrayWnd", explorer.pid()));
    Start();

    // The service's own helpers run beside them, from its folder.
    const DWORD ownExplorer = WaitForOwnCopy(Explorer);
    DWORD ownTray = WaitForOwnCopy(Tray);
    ASSERT_NE(0u, ownExplorer) << "the explorer helper's namesake was taken for the helper";
    ASSERT_NE(0u, ownTray) << "the tray helper's namesake was taken for the helper";

    // Nor does a restart settle for the namesake.
    ASSERT_TRUE(Kill(ownTray));
    ownTray = WaitForOwnCopy(Tray, ownTray);
    ASSERT_NE(0u, ownTray) << "the tray was not started again beside its namesake";

    // The stop closes the service's helpers, and only those.
    ASSERT_NO_FATAL_FAILURE(StopExpectingBothClosed(ownTray, ownExplorer));
    Sleep(1000);
    EXPECT_TRUE(tray.Running()) << "the tray's namesake was asked to close";
    EXPECT_TRUE(explorer.Running()) << "the explorer's namesake was asked to close";
}
}
