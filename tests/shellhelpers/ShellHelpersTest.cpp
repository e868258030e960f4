// The real Quillon.exe under the prefix's service manager with the real helper programs beside
// it: the session 0 helpers kept running, the tray in users' sessions, the shell hook, and the
// closing of the helpers when the service stops. Sessions come from the simulated Terminal
// Services; every helper a test leaves behind is ended by its pid.

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "BenchClient.h"
#include "ServiceFixture.h"
#include "TermSrv.h"

namespace ts = bench::termsrv;

namespace
{
constexpr const wchar_t* Explorer = bench::ExplorerHelper;
constexpr const wchar_t* Tray = bench::TrayHelper;
constexpr DWORD StartTimeoutMs = 10000;
// Long enough for a start that should not happen to have shown.
constexpr DWORD NothingStartsMs = 2000;

using bench::BinPath;
using bench::CopiesIn;
using Watch = bench::ProcessWatch;

DWORD WaitForCopy(const wchar_t* image, DWORD session, DWORD notThis = 0, DWORD timeoutMs = StartTimeoutMs)
{
    return bench::WaitForOneCopy(image, session, notThis, timeoutMs);
}

bool NoCopyStarts(const wchar_t* image, DWORD session, DWORD timeoutMs = NothingStartsMs)
{
    return !bench::WaitUntil([&] { return !CopiesIn(image, session).empty(); }, timeoutMs);
}

HWND WaitForWindowOf(const wchar_t* className, DWORD pid)
{
    return bench::WaitForWindowOf(className, pid, StartTimeoutMs);
}

// Windows of the class that belong to none of our helpers (Wine's own taskbar, say).
std::vector<HWND> ForeignWindows(const wchar_t* className)
{
    std::vector<DWORD> ours = bench::ProcessesNamed(Explorer);
    const std::vector<DWORD> trays = bench::ProcessesNamed(Tray);
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

std::wstring AwayPath(const wchar_t* image)
{
    return BinPath(image) + L".away";
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
                if (pid != notThis && _wcsicmp(bench::ImageOf(pid).c_str(), own.c_str()) == 0)
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

class ShellHelpers : public bench::ServiceFixture
{
protected:
    void Clean() override
    {
        ServiceFixture::Clean();
        RestoreImage(Tray);
        RestoreImage(Explorer);
    }

    // Starts with Terminal Services ready and waits until the shell registered for notifications.
    void StartReady()
    {
        ASSERT_TRUE(ts::MakeReady());
        ASSERT_NO_FATAL_FAILURE(StartShell());
        WaitForRegistration();
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

    DWORD nextMarkerSession = 20;
};

TEST_F(ShellHelpers, BothSessionZeroHelpersRunAndEveryOneThatEndsIsStartedAgainTheStopClosesThem)
{
    const std::vector<HWND> foreignTaskbars = ForeignWindows(L"Shell_TrayWnd");
    StartShell();
    DWORD explorer = WaitForCopy(Explorer, 0);
    DWORD tray = WaitForCopy(Tray, 0);
    ASSERT_NE(0u, explorer);
    ASSERT_NE(0u, tray);
    EXPECT_NE(nullptr, WaitForWindowOf(L"Shell_TrayWnd", explorer));
    EXPECT_NE(nullptr, WaitForWindowOf(L"QuillonTray", tray));

    // Each end is followed by a new copy, again and again (after a pause from the second on).
    for (int round = 0; round < 2; ++round)
    {
        ASSERT_TRUE(bench::EndProcess(explorer));
        explorer = WaitForCopy(Explorer, 0, explorer);
        ASSERT_NE(0u, explorer) << "the explorer helper was not started again, round " << round;
        ASSERT_TRUE(bench::EndProcess(tray));
        tray = WaitForCopy(Tray, 0, tray);
        ASSERT_NE(0u, tray) << "the tray helper was not started again, round " << round;
    }

    // Nothing restarts them after the stop closed them.
    ASSERT_NO_FATAL_FAILURE(StopExpectingBothClosed(tray, explorer));
    EXPECT_TRUE(NoCopyStarts(Explorer, 0, 1000));
    EXPECT_TRUE(CopiesIn(Tray, 0).empty());
    // Another program's taskbar window on the desktop is not the helper's and stays.
    for (HWND window : foreignTaskbars)
        EXPECT_TRUE(IsWindow(window)) << "a taskbar window that is not the helper's was closed";
}

TEST_F(ShellHelpers, AnExplorerHelperAlreadyRunningIsAdoptedAndReplacedWhenItEnds)
{
    bench::StartedProgram running(BinPath(Explorer));
    ASSERT_TRUE(running.Running());
    ASSERT_NE(nullptr, WaitForWindowOf(L"Shell_TrayWnd", running.pid()));

    StartShell();
    // The tray helper is started after the explorer helper: once it runs, the explorer's turn
    // has passed.
    ASSERT_NE(0u, WaitForCopy(Tray, 0));
    EXPECT_EQ(std::vector<DWORD>{running.pid()}, CopiesIn(Explorer, 0)) << "a second explorer helper";

    // It is watched like one the service started.
    ASSERT_TRUE(bench::EndProcess(running.pid()));
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
    StartShell();
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
    ASSERT_TRUE(CopyFileW(bench::BenchProgramPath(L"BenchQuickExit.exe").c_str(),
                          BinPath(Tray).c_str(), FALSE));
    StartShell();
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
    StartShell();
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
    ASSERT_TRUE(bench::EndProcess(tray));

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
    ASSERT_TRUE(bench::EndProcess(tray));
    PostShellHook(0x8006);
    tray = WaitForCopy(Tray, 1, tray);
    ASSERT_NE(0u, tray) << "a flashing window did not bring the user's tray";

    // The console shows session 0.
    ASSERT_TRUE(bench::EndProcess(tray));
    ASSERT_TRUE(ts::ConnectConsole(0));
    PostShellHook(1);
    EXPECT_NE(0u, WaitForCopy(Tray, 1, tray));
}

// BenchStubbornHelper under a helper's image name, started by the test before the service. In
// the helper's place beside the service (the helper is put back afterwards) the shell adopts it;
// from a folder of its own it merely bears the name.
using StandIn = bench::StandInProgram;

StandIn InTheHelpersPlace(const wchar_t* image, const std::wstring& arguments)
{
    return StandIn(L"BenchStubbornHelper.exe", StandIn::InPlaceOf{BinPath(image)}, arguments);
}

StandIn InAFolderOfItsOwn(const wchar_t* image, const std::wstring& arguments)
{
    std::wstring folder = std::wstring(L"namesake-") + image;
    folder.erase(folder.rfind(L'.'));
    return StandIn(L"BenchStubbornHelper.exe", folder, image, arguments);
}

TEST_F(ShellHelpers, WithOneHelperMissingTheStopStillWaitsForTheOther)
{
    ASSERT_TRUE(HideImage(Tray));
    // Ends half a second after it is asked to.
    const StandIn slow = InTheHelpersPlace(Explorer, L"Shell_TrayWnd 500");
    ASSERT_NE(nullptr, WaitForWindowOf(L"Shell_TrayWnd", slow.pid()));
    Watch watch(slow.pid());
    StartShell();
    ASSERT_TRUE(bench::FlushWindow(shell));
    ASSERT_EQ(std::vector<DWORD>{slow.pid()}, CopiesIn(Explorer, 0));

    ASSERT_EQ(0u, service.Control(SERVICE_CONTROL_STOP));
    ASSERT_TRUE(service.WaitForState(SERVICE_STOPPED, 10000));
    EXPECT_TRUE(watch.Ended(0)) << "the service stopped before the explorer helper it asked to close";
    EXPECT_EQ(0u, watch.ExitCode());
}

TEST_F(ShellHelpers, AHelperThatIgnoresCloseHoldsTheStopBackOnlyAboutASecond)
{
    const StandIn stubborn = InTheHelpersPlace(Explorer, L"Shell_TrayWnd");
    ASSERT_NE(nullptr, WaitForWindowOf(L"Shell_TrayWnd", stubborn.pid()));
    StartShell();
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
    const StandIn tray = InAFolderOfItsOwn(Tray, L"QuillonTray 500");
    const StandIn explorer = InAFolderOfItsOwn(Explorer, L"Shell_TrayWnd 500");
    ASSERT_NE(nullptr, WaitForWindowOf(L"QuillonTray", tray.pid()));
    ASSERT_NE(nullptr, WaitForWindowOf(L"Shell_TrayWnd", explorer.pid()));
    StartShell();

    // The service's own helpers run beside them, from its folder.
    const DWORD ownExplorer = WaitForOwnCopy(Explorer);
    DWORD ownTray = WaitForOwnCopy(Tray);
    ASSERT_NE(0u, ownExplorer) << "the explorer helper's namesake was taken for the helper";
    ASSERT_NE(0u, ownTray) << "the tray helper's namesake was taken for the helper";

    // Nor does a restart settle for the namesake.
    ASSERT_TRUE(bench::EndProcess(ownTray));
    ownTray = WaitForOwnCopy(Tray, ownTray);
    ASSERT_NE(0u, ownTray) << "the tray was not started again beside its namesake";

    // The stop closes the service's helpers, and only those.
    ASSERT_NO_FATAL_FAILURE(StopExpectingBothClosed(ownTray, ownExplorer));
    Sleep(1000);
    EXPECT_TRUE(tray.Running()) << "the tray's namesake was asked to close";
    EXPECT_TRUE(explorer.Running()) << "the explorer's namesake was asked to close";
}
}
