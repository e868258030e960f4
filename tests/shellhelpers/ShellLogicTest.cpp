// The shell's restart schedule for its session 0 helpers, and, on a shell run by this test
// program itself, its stop action seen from another thread once the window is gone and the
// identity it starts a user's tray with.

#include <gtest/gtest.h>

#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BenchClient.h"
#include "TermSrv.h"
#include "session/CrashDump.h"
#include "service/UiThread.h"
#include "shell/ShellWindow.h"

namespace ts = bench::termsrv;

namespace
{
TEST(RestartSchedule, PausesDoubleWhileCopiesDieYoungAndALongLifeOrNothingResetsThem)
{
    RestartSchedule schedule;
    ULONGLONG now = 5000;
    std::vector<DWORD> pauses;
    for (int i = 0; i < 9; ++i)
    {
        schedule.Started(now);
        now += 9999;   // just short of a long life
        pauses.push_back(schedule.Ended(now));
        now += pauses.back();
    }
    EXPECT_EQ((std::vector<DWORD>{0, 1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000}), pauses);

    // A copy that lived 10 s is restarted at once, and the next short one after 1 s again.
    schedule.Started(now);
    EXPECT_EQ(0u, schedule.Ended(now + 10000));
    schedule.Started(now + 10000);
    EXPECT_EQ(1000u, schedule.Ended(now + 10001));

    // Failed starts go the same way, and a long life after them still resets.
    RestartSchedule failing;
    EXPECT_EQ(0u, failing.FailedToStart());
    EXPECT_EQ(1000u, failing.FailedToStart());
    EXPECT_EQ(2000u, failing.FailedToStart());
    failing.Started(0);
    EXPECT_EQ(4000u, failing.Ended(50));
    failing.Started(100);
    EXPECT_EQ(0u, failing.Ended(60000));
}

TEST(RestartSchedule, AHelperThatExitsAtOnceStartsAtMostEightTimesInAnyMinute)
{
    RestartSchedule schedule;
    std::deque<ULONGLONG> lastMinute;
    ULONGLONG now = 0;
    size_t most = 0;
    for (int start = 0; start < 200; ++start)
    {
        schedule.Started(now);
        lastMinute.push_back(now);
        while (now - lastMinute.front() >= 60000)
            lastMinute.pop_front();
        most = std::max(most, lastMinute.size());
        now += 20 + schedule.Ended(now + 20);   // each copy lives 20 ms
    }
    EXPECT_LE(most, 8u);
    EXPECT_GE(most, 7u);
}

// A copy of BenchStubbornHelper in the explorer helper's place beside this program (the helper is
// put back afterwards), started before the shell so that the shell adopts it: it ignores WM_CLOSE
// and so holds the teardown for its full second.
class StubbornExplorer : public bench::StandInProgram
{
public:
    StubbornExplorer()
        : StandInProgram(L"BenchStubbornHelper.exe", InPlaceOf{bench::BinPath(bench::ExplorerHelper)},
                         L"Shell_TrayWnd")
    {
    }
};

std::wstring LocalLow() { return bench::LocalLowFolder(); }

void EndHelpersLeftBehind()
{
    bench::EndAll(bench::TrayHelper);
    bench::EndAll(bench::ExplorerHelper);
}

// Runs the shell on this thread; stops it after the time, should it still run then.
[[noreturn]] void RunShellFor(DWORD timeoutMs)
{
    // As the service's entry does: the dump's folder and path are fixed before anything fails.
    InstallCrashDumpHandling(L"Quillon");
    StopActionSlot stop;
    std::thread([&stop, timeoutMs] {
        Sleep(timeoutMs);
        stop.Request();
    }).detach();
    int exitCode = -1;
    RunUiThread(&exitCode, &stop);
    std::exit(exitCode);
}

TEST(ShellIdentity, ATrayForAUserIsStartedWithTheUsersTokenWhileTheShellStaysItself)
{
    const std::wstring dump = LocalLow() + L"\\Quillon.dmp";
    DeleteFileW(dump.c_str());
    ts::Reset();
    ASSERT_TRUE(ts::LogOn(1, L"alice"));   // announced at creation: a tray is started for alice
    const ts::LaunchesSeen before = ts::LaunchCalls();
    EXPECT_EXIT(RunShellFor(3000), ::testing::ExitedWithCode(0), "");
    const ts::LaunchesSeen after = ts::LaunchCalls();
    bool trayForAlice = false;
    for (const DWORD pid : bench::ProcessesNamed(L"QuillonTray.exe"))
        trayForAlice = trayForAlice || ts::SessionOfProcess(pid) == 1;
    ts::Reset();
    EndHelpersLeftBehind();
    EXPECT_TRUE(trayForAlice);
    EXPECT_GT(after.count, before.count);
    EXPECT_EQ(after.impersonating, before.impersonating) << "a start made while the shell was alice";
    EXPECT_EQ(GetFileAttributesW(dump.c_str()), INVALID_FILE_ATTRIBUTES) << "the shell wrote a dump";
    DeleteFileW(dump.c_str());
}

HWND OwnShellWindow()
{
    return bench::WindowOf(bench::ShellClass, GetCurrentProcessId());
}

HANDLE OpenTray()
{
    const std::vector<DWORD> pids = bench::ProcessesNamed(L"QuillonTray.exe");
    return pids.empty() ? nullptr : OpenProcess(SYNCHRONIZE, FALSE, pids.front());
}

TEST(ShellStop, AStopThatArrivesAfterTheWindowIsGonePostsNothingToTheCallingThread)
{
    ts::Reset();
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);   // this thread has a queue to post to
    StubbornExplorer explorer;
    ASSERT_NE(0u, explorer.pid());
    ASSERT_TRUE(bench::WaitUntil([&] { return FindWindowW(L"Shell_TrayWnd", nullptr) != nullptr; }, 10000));

    StopActionSlot stop;
    int exitCode = -1;
    std::thread ui([&] { RunUiThread(&exitCode, &stop); });
    HWND shell = nullptr;
    HANDLE tray = nullptr;
    const bool shown = bench::WaitUntil([&] { return (shell = OwnShellWindow()) != nullptr; }, 10000) &&
                       bench::WaitUntil([&] { return (tray = OpenTray()) != nullptr; }, 10000);
    stop.Request();
    // The tray ends when the teardown asks it to; the teardown then waits for the explorer,
    // which never ends, for the rest of its second. A stop now finds the window gone.
    const bool tornDown = tray != nullptr && WaitForSingleObject(tray, 5000) == WAIT_OBJECT_0;
    stop.Request();
    ui.join();
    if (tray != nullptr)
        CloseHandle(tray);

    EndHelpersLeftBehind();
    ASSERT_TRUE(shown) << "the shell or its tray did not come up";
    ASSERT_TRUE(tornDown) << "the tray was not asked to close";
    EXPECT_FALSE(PeekMessageW(&message, nullptr, WM_COMMAND, WM_COMMAND, PM_REMOVE))
        << "the stop was posted to the stopping thread's own queue";
    EXPECT_EQ(0, exitCode);
    EXPECT_FALSE(IsWindow(shell));
}
}
