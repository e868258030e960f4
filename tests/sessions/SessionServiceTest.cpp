// The real Quillon.exe under the prefix's service manager, on a machine whose sessions the
// simulated Terminal Services provides: the shell's fit to the screen, the return timer and
// control 129, as the console moves between a user's session and session 0.

#include <gtest/gtest.h>

#include "BenchClient.h"
#include "ServiceFixture.h"
#include "TermSrv.h"

namespace ts = bench::termsrv;

namespace
{
constexpr DWORD RevertSessionControl = 129;
// Comfortably more than the 30 s period of the return timer.
constexpr DWORD BeyondOnePeriodMs = 38000;

RECT WindowRect(HWND window)
{
    RECT rect{};
    GetWindowRect(window, &rect);
    return rect;
}

bool CoversVirtualScreen(HWND window)
{
    const RECT rect = WindowRect(window);
    const RECT screen = bench::VirtualScreen();
    return EqualRect(&rect, &screen) != FALSE;
}

class SessionService : public bench::ServiceFixture
{
protected:
    void TearDown() override
    {
        ServiceFixture::TearDown();
        bench::SetProgramWindowsVersion(L"Quillon.exe", L"");
    }

    // Alice is logged on in session 1, which holds the console; Terminal Services is ready
    // (or not) when the service starts.
    void StartWithUserOnConsole(bool ready)
    {
        ASSERT_TRUE(ts::LogOn(1, L"alice"));
        ASSERT_TRUE(ts::ConnectConsole(1));
        if (ready)
            ASSERT_TRUE(ts::MakeReady());
        ASSERT_NO_FATAL_FAILURE(StartShell());
        if (ready)
            WaitForRegistration();
    }

    bool WaitForReverts(LONG count, DWORD timeoutMs = BeyondOnePeriodMs)
    {
        return bench::WaitUntil([&] { return ts::RevertCount() >= count; }, timeoutMs, 50) &&
               ts::RevertCount() == count;
    }
    bool NoRevertBeyond(LONG count, DWORD timeoutMs = BeyondOnePeriodMs)
    {
        return !bench::WaitUntil([&] { return ts::RevertCount() > count; }, timeoutMs, 100);
    }
    bool WaitForConsole(DWORD session)
    {
        return bench::WaitUntil([&] { return ts::ConsoleSession() == session; }, 5000);
    }
};

TEST_F(SessionService, ConsoleInSessionZeroIsReturnedEveryPeriodUntilSessionZeroDisconnects)
{
    StartWithUserOnConsole(true);
    const LONG base = ts::RevertCount();

    // The console moves to session 0 and the shell, moved aside meanwhile, fits itself again.
    ASSERT_TRUE(MoveWindow(shell, 100, 100, 300, 200, FALSE));
    ASSERT_FALSE(CoversVirtualScreen(shell));
    ASSERT_TRUE(ts::ConnectConsole(0));
    EXPECT_TRUE(bench::WaitUntil([&] { return CoversVirtualScreen(shell); }, 5000)) << "not refitted";

    // One period later the console is back with alice.
    ASSERT_TRUE(WaitForReverts(base + 1)) << "no return to the user's session";
    EXPECT_TRUE(WaitForConsole(1));

    // While the switch back fails, session 0 stays connected and the return is asked again.
    ts::InjectFault(ts::Call::RevertFromServicesSession, ERROR_ACCESS_DENIED, false);
    ASSERT_TRUE(ts::ConnectConsole(0));
    ASSERT_TRUE(WaitForReverts(base + 2));
    ASSERT_TRUE(WaitForReverts(base + 3)) << "the return timer did not repeat";
    EXPECT_EQ(0u, ts::ConsoleSession());

    // A second connect of session 0 two thirds into a period starts the period anew: nothing
    // where the old period would have ended, a return where the new one ends.
    Sleep(20000);
    ASSERT_TRUE(ts::ConnectConsole(0));
    EXPECT_TRUE(NoRevertBeyond(base + 3, 20000)) << "the period was not restarted";
    ASSERT_TRUE(WaitForReverts(base + 4, 20000));

    // Control 129 returns the console at once; the disconnect of session 0 stops the timer.
    ts::ClearFaults();
    ASSERT_EQ(0u, service.Control(RevertSessionControl));
    EXPECT_TRUE(WaitForConsole(1)) << "control 129 did not return the console";
    EXPECT_EQ(base + 5, ts::RevertCount());
    EXPECT_TRUE(NoRevertBeyond(base + 5)) << "the timer outlived the disconnect of session 0";
}

TEST_F(SessionService, ConsoleConnectInPlaceLeavesTheShellAloneRemoteConnectAlwaysMovesIt)
{
    StartWithUserOnConsole(true);
    ASSERT_TRUE(CoversVirtualScreen(shell));
    // Wine shows nothing of a move to the same rectangle, so the moves are read from the
    // stand-in, which sees the service's MoveWindow calls.
    const LONG before = ts::MovesSeen().count;

    ASSERT_TRUE(ts::ConnectConsole(0));
    EXPECT_FALSE(bench::WaitUntil([&] { return ts::MovesSeen().count != before; }, 2000))
        << "a console connect moved a shell that was in place";

    ASSERT_TRUE(ts::ConnectRemote(0));
    ASSERT_TRUE(bench::WaitUntil([&] { return ts::MovesSeen().count == before + 1; }, 5000))
        << "a remote connect did not move the shell";
    const ts::WindowMoves moves = ts::MovesSeen();
    const RECT screen = bench::VirtualScreen();
    EXPECT_EQ(shell, moves.lastWindow);
    EXPECT_TRUE(EqualRect(&moves.lastRect, &screen));
    EXPECT_TRUE(CoversVirtualScreen(shell));
}

TEST_F(SessionService, OnWindows81TheConsoleIsNeverReturned)
{
    bench::SetProgramWindowsVersion(L"Quillon.exe", L"win81");
    StartWithUserOnConsole(true);
    const LONG base = ts::RevertCount();

    ASSERT_TRUE(MoveWindow(shell, 100, 100, 300, 200, FALSE));
    ASSERT_TRUE(ts::ConnectConsole(0));
    // The notification arrives (the shell is refitted), yet no timer runs.
    ASSERT_TRUE(bench::WaitUntil([&] { return CoversVirtualScreen(shell); }, 5000));
    EXPECT_TRUE(NoRevertBeyond(base));
    EXPECT_EQ(0u, ts::ConsoleSession());
}

TEST_F(SessionService, WithoutTheReadyEventTheShellRegistersForNothingAndNeverReturns)
{
    StartWithUserOnConsole(false);
    const LONG base = ts::RevertCount();

    // Terminal Services coming up later does not help: the shell looked for the event once.
    ASSERT_TRUE(ts::MakeReady());
    ASSERT_TRUE(bench::FlushWindow(shell));
    EXPECT_FALSE(ts::IsRegistered(shell));

    ASSERT_TRUE(MoveWindow(shell, 100, 100, 300, 200, FALSE));
    ASSERT_TRUE(ts::ConnectConsole(0));
    EXPECT_TRUE(NoRevertBeyond(base));
    EXPECT_FALSE(CoversVirtualScreen(shell));
    EXPECT_FALSE(ts::IsRegistered(shell));
}
}
