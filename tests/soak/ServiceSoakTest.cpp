// The service under repetition: its session 0 helpers killed again and again, and restarts
// through the control tool. Counts: see Soak.h.

#include <gtest/gtest.h>

#include <cstdio>

#include "../control/ControlTool.h"
#include "BenchClient.h"
#include "ServiceFixture.h"
#include "Soak.h"
#include "TermSrv.h"

using namespace soak;

namespace
{
// Handles are the wineserver's count; private bytes are the Linux process's anonymous resident
// memory (Wine reports no private bytes of another process). The figures may move a little with the system's own caches (the thread pool, the
// heap); a leak of one handle or one allocation per restart shows far beyond these.
constexpr DWORD HandleTolerance = 8;
constexpr SIZE_T MemoryToleranceBytes = 1024 * 1024;

using ServiceSoak = bench::ServiceFixture;

// Kills both helpers, then waits for their replacements (false when either is missing). A copy
// that dies young is started again after a pause that doubles up to 60 s; the two helpers'
// pauses run side by side.
bool KillBothAndWaitForNext(DWORD& explorer, DWORD& tray)
{
    if (!EndProcess(explorer) || !EndProcess(tray))
        return false;
    explorer = WaitForOneCopy(Explorer, 0, explorer, 75000);
    tray = WaitForOneCopy(Tray, 0, tray, 75000);
    return explorer != 0 && tray != 0;
}

TEST_F(ServiceSoak, EveryKilledHelperIsReplacedAndTheServiceEndsWhereItStarted)
{
    // Each kill doubles the pause before the next start (1 s, 2 s, ... 60 s): the kills are few,
    // and every one of them takes the timed restart path.
    const int kills = Count(5, 7);
    ASSERT_TRUE(service.StartAndWaitForShell());
    DWORD explorer = WaitForOneCopy(Explorer, 0);
    DWORD tray = WaitForOneCopy(Tray, 0);
    ASSERT_NE(0u, explorer);
    ASSERT_NE(0u, tray);
    const DWORD pid = service.Status().dwProcessId;

    // Figures are taken once the shell has handled what the round posted to it.
    const auto settled = [pid](ServiceFigures& figures, long long& anon) {
        const bool flushed = bench::FlushWindow(bench::FindShellWindow());
        figures = FiguresOf(pid);
        anon = LinuxAnonKb("bin\\Quillon.exe");
        return flushed && figures.valid && anon > 0;
    };

    // Two rounds first, so that pools the system fills on first use are full.
    for (int round = 0; round < 2; ++round)
        ASSERT_TRUE(KillBothAndWaitForNext(explorer, tray)) << "warm-up round " << round + 1;
    ServiceFigures before;
    long long anonBefore = 0;
    ASSERT_TRUE(settled(before, anonBefore)) << "the service's figures or its Linux process were not found";
    const DWORD handlesBefore = before.handles;

    // Wine keeps the memory of a thread that the system's pool adds (about 1 MB) after the thread
    // ends, and the pool may add one in any round, not only in the warm-up: memory is compared
    // from the round at which the service last had more threads than ever before.
    ServiceFigures after = before;
    long long anonAfter = anonBefore;
    for (int round = 0; round < kills; ++round)
    {
        ASSERT_TRUE(KillBothAndWaitForNext(explorer, tray)) << "a helper was not replaced after kill " << round + 1;
        ASSERT_TRUE(settled(after, anonAfter)) << "after kill " << round + 1;
        if (after.threads > before.threads)
        {
            before = after;
            anonBefore = anonAfter;
        }
    }
    std::printf("%d kills of each helper: handles %lu -> %lu, threads %lu -> %lu, private (Linux RssAnon) %lld -> "
                "%lld KiB, working set %lu -> %lu KiB\n",
                kills, handlesBefore, after.handles, before.threads, after.threads, anonBefore, anonAfter,
                static_cast<unsigned long>(before.workingSet / 1024),
                static_cast<unsigned long>(after.workingSet / 1024));
    EXPECT_LE(after.handles, handlesBefore + HandleTolerance);
    EXPECT_LE(anonAfter, anonBefore + static_cast<long long>(MemoryToleranceBytes / 1024));
    EXPECT_LE(after.workingSet, before.workingSet + MemoryToleranceBytes);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), service.State());
}

TEST_F(ServiceSoak, EveryRestartThroughTheControlToolEndsRunningWithOneOfEachHelper)
{
    const int restarts = Count(50, 200);
    ASSERT_TRUE(service.StartAndWaitForShell());
    for (int round = 1; round <= restarts; ++round)
    {
        const control::ToolRun run = control::RunTool(L"-r", control::ToolPath(), 30000);
        ASSERT_TRUE(run.finished) << "restart " << round << " did not end";
        ASSERT_EQ(0u, run.exitCode) << "restart " << round;
        ASSERT_EQ(static_cast<DWORD>(SERVICE_RUNNING), service.State()) << "restart " << round;
        ASSERT_NE(0u, WaitForOneCopy(Explorer, 0)) << "not one explorer helper after restart " << round;
        ASSERT_NE(0u, WaitForOneCopy(Tray, 0)) << "not one tray helper after restart " << round;
    }
    // Settled: nothing further comes up.
    ASSERT_TRUE(bench::FlushWindow(bench::FindShellWindow()));
    EXPECT_EQ(1u, CopiesIn(Explorer, 0).size());
    EXPECT_EQ(1u, CopiesIn(Tray, 0).size());
}

// A helper asked to close before its window exists must be asked again, or it outlives the stop.
TEST_F(ServiceSoak, AStopRightAfterTheHelpersStartLeavesNoneRunning)
{
    for (int round = 1; round <= 5; ++round)
    {
        ASSERT_EQ(0u, service.Start());
        ASSERT_TRUE(bench::WaitUntil([] { return CopiesIn(Explorer, 0).size() == 1 && CopiesIn(Tray, 0).size() == 1; },
                                     10000, 1));
        ASSERT_TRUE(service.StopAndWait());
        EXPECT_TRUE(bench::WaitUntil([] { return CopiesIn(Explorer, 0).empty() && CopiesIn(Tray, 0).empty(); }, 3000))
            << "a session 0 helper outlived the stop, round " << round;
        EndAll(Tray);
        EndAll(Explorer);
    }
}
}
