// WaitRegistration against real events and the system thread pool. "Closed exactly once" is
// seen two ways: a release function that counts before it closes, and, for plain handles, the
// handle value itself (invalid once closed; a canary that reuses the value must survive).

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "BenchClient.h"
#include "ProcessFigures.h"
#include "service/WaitRegistration.h"

namespace
{
std::atomic<int> Closes{0};

BOOL WINAPI CountingClose(HANDLE handle)
{
    ++Closes;
    return CloseHandle(handle);
}

HANDLE NewEvent(bool signalled = false)
{
    return CreateEventW(nullptr, TRUE, signalled ? TRUE : FALSE, nullptr);
}

ScopedHandle Counted(HANDLE handle)
{
    return ScopedHandle(&CountingClose, handle);
}

bool IsOpen(HANDLE handle)
{
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != FALSE;
}

// The wineserver's count: GetProcessHandleCount answers 0 under Wine, and a bound on zero holds
// whatever leaks.
DWORD HandleCount()
{
    figures::Process process;
    return figures::Of(GetCurrentProcessId(), &process) ? process.handles : 0;
}

bool WaitForCloses(int expected)
{
    return bench::WaitUntil([&] { return Closes.load() >= expected; }, 5000, 1) && Closes.load() == expected;
}

class WaitRegistrationTest : public ::testing::Test
{
protected:
    void SetUp() override { Closes = 0; }
};

TEST_F(WaitRegistrationTest, FiresOnceThenHandsBackNothing)
{
    std::atomic<int> calls{0};
    const HANDLE event = NewEvent();
    {
        WaitRegistration wait;
        wait.Register(Counted(event), [&] { ++calls; });
        SetEvent(event);   // manual reset: it stays signalled, yet the wait is one-shot
        ASSERT_TRUE(bench::WaitUntil([&] { return calls.load() == 1; }, 5000, 1));
        ASSERT_TRUE(WaitForCloses(1));
        EXPECT_FALSE(wait.Unregister());
        EXPECT_EQ(1, calls.load());
    }
    EXPECT_EQ(1, Closes.load());
}

TEST_F(WaitRegistrationTest, UnregisterBeforeTheSignalReturnsTheOpenHandle)
{
    std::atomic<int> calls{0};
    std::atomic<int> sentinelCalls{0};
    const HANDLE event = NewEvent();
    WaitRegistration wait;
    wait.Register(Counted(event), [&] { ++calls; });
    ScopedHandle returned = wait.Unregister();
    ASSERT_EQ(event, returned.get());
    EXPECT_TRUE(IsOpen(event));
    EXPECT_EQ(0, Closes.load());

    // A second wait on the same event fires; the cancelled one must stay silent.
    HANDLE duplicate = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &duplicate, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    WaitRegistration sentinel;
    sentinel.Register(duplicate, [&] { ++sentinelCalls; });
    SetEvent(event);
    ASSERT_TRUE(bench::WaitUntil([&] { return sentinelCalls.load() == 1; }, 5000, 1));
    EXPECT_EQ(0, calls.load());

    returned.reset();
    EXPECT_EQ(1, Closes.load());
    EXPECT_FALSE(IsOpen(event));
}

TEST_F(WaitRegistrationTest, UnregisterWaitsForARunningCallbackAndTheHandleIsClosedOnce)
{
    for (int round = 0; round < 20; ++round)
    {
        Closes = 0;
        std::atomic<bool> started{false};
        std::atomic<bool> finished{false};
        const HANDLE gate = NewEvent();
        const HANDLE event = NewEvent();
        {
            WaitRegistration wait;
            wait.Register(Counted(event), [&] {
                started = true;
                WaitForSingleObject(gate, 50);   // long enough for Unregister to arrive meanwhile
                finished = true;
            });
            SetEvent(event);
            ASSERT_TRUE(bench::WaitUntil([&] { return started.load(); }, 5000, 1));
            ScopedHandle returned = wait.Unregister();
            // Either Unregister waited for the callback, or the callback had already taken the
            // wait and ends it itself; in both cases nothing is handed back.
            EXPECT_FALSE(returned);
            ASSERT_TRUE(bench::WaitUntil([&] { return finished.load(); }, 5000, 1));
            ASSERT_TRUE(WaitForCloses(1));
        }
        EXPECT_EQ(1, Closes.load());
        CloseHandle(gate);
    }
}

TEST_F(WaitRegistrationTest, RacingUnregisterAndSignalCloseExactlyOnce)
{
    const DWORD handlesBefore = HandleCount();
    ASSERT_GT(handlesBefore, 0u) << "no handle count to compare with";
    for (int round = 0; round < 3000; ++round)
    {
        Closes = 0;
        std::atomic<int> calls{0};
        const HANDLE event = NewEvent();
        {
            WaitRegistration wait;
            wait.Register(Counted(event), [&] { ++calls; });
            SetEvent(event);
            ScopedHandle returned = wait.Unregister();
            if (returned)
            {
                // Cancelled before the callback ran: it never will.
                ASSERT_EQ(event, returned.get());
                ASSERT_EQ(0, calls.load());
                ASSERT_EQ(0, Closes.load());
            }
            else
            {
                ASSERT_EQ(1, calls.load()) << "round " << round;
                ASSERT_TRUE(WaitForCloses(1)) << "round " << round;
            }
        }
        ASSERT_EQ(1, Closes.load()) << "round " << round;
        ASSERT_LE(calls.load(), 1);
    }
    // Nothing leaked over all the rounds (a few handles of the pool may come and go).
    EXPECT_LT(HandleCount(), handlesBefore + 50);
}

TEST_F(WaitRegistrationTest, SignalBeforeTheWaitHandleIsStoredNeitherLeaksNorClosesTwice)
{
    const DWORD handlesBefore = HandleCount();
    ASSERT_GT(handlesBefore, 0u) << "no handle count to compare with";
    for (int round = 0; round < 3000; ++round)
    {
        Closes = 0;
        std::atomic<int> calls{0};
        {
            WaitRegistration wait;
            // Already signalled: the pool may run the callback before Register stores the wait.
            wait.Register(Counted(NewEvent(true)), [&] { ++calls; });
            ASSERT_TRUE(bench::WaitUntil([&] { return calls.load() == 1; }, 5000, 0)) << "round " << round;
            EXPECT_FALSE(wait.Unregister());
            ASSERT_TRUE(WaitForCloses(1)) << "round " << round;
        }
        ASSERT_EQ(1, Closes.load()) << "round " << round;
    }
    EXPECT_LT(HandleCount(), handlesBefore + 50);
}

TEST_F(WaitRegistrationTest, RegisterWithANullHandleCancelsAndClosesTheEarlierOne)
{
    std::atomic<int> calls{0};
    std::atomic<int> laterCalls{0};
    const HANDLE event = NewEvent();
    WaitRegistration wait;
    wait.Register(Counted(event), [&] { ++calls; });
    wait.Register(static_cast<HANDLE>(nullptr), [&] { ++laterCalls; });
    EXPECT_EQ(1, Closes.load());
    EXPECT_FALSE(IsOpen(event));
    EXPECT_FALSE(wait.Unregister());
    EXPECT_EQ(0, calls.load());
    EXPECT_EQ(0, laterCalls.load());
}

TEST_F(WaitRegistrationTest, PlainHandleIsAdoptedAndClosedOnceByWhicheverEndsTheWait)
{
    // Fired: the callback's end of the wait closes it; a canary that reuses the value survives
    // the destructor.
    std::atomic<int> calls{0};
    HANDLE event = NewEvent();
    HANDLE canary = nullptr;
    {
        WaitRegistration wait;
        wait.Register(event, [&] { ++calls; });
        SetEvent(event);
        ASSERT_TRUE(bench::WaitUntil([&] { return calls.load() == 1 && !IsOpen(event); }, 5000, 1));
        canary = NewEvent();
    }
    EXPECT_TRUE(IsOpen(canary));
    CloseHandle(canary);

    // Waiting: the destructor closes it.
    event = NewEvent();
    {
        WaitRegistration wait;
        wait.Register(event, [] {});
        EXPECT_TRUE(IsOpen(event));
    }
    EXPECT_FALSE(IsOpen(event));

    // Re-registered: the earlier handle is closed by the next Register, the later by the
    // destructor.
    HANDLE first = NewEvent();
    HANDLE second = NewEvent();
    {
        WaitRegistration wait;
        wait.Register(first, [] {});
        wait.Register(second, [] {});
        EXPECT_FALSE(IsOpen(first));
        canary = NewEvent();
        EXPECT_TRUE(IsOpen(second));
    }
    EXPECT_FALSE(IsOpen(second));
    EXPECT_TRUE(IsOpen(canary));
    CloseHandle(canary);
}

TEST_F(WaitRegistrationTest, DestructionInEveryStateClosesExactlyOnce)
{
    {
        WaitRegistration idle;
    }
    EXPECT_EQ(0, Closes.load());

    {
        WaitRegistration waiting;
        waiting.Register(Counted(NewEvent()), [] {});
    }
    EXPECT_EQ(1, Closes.load());

    Closes = 0;
    {
        std::atomic<int> calls{0};
        WaitRegistration fired;
        fired.Register(Counted(NewEvent(true)), [&] { ++calls; });
        ASSERT_TRUE(bench::WaitUntil([&] { return calls.load() == 1; }, 5000, 1));
        ASSERT_TRUE(WaitForCloses(1));
    }
    EXPECT_EQ(1, Closes.load());

    Closes = 0;
    {
        ScopedHandle handedBack = Counted(nullptr);
        {
            WaitRegistration cancelled;
            cancelled.Register(Counted(NewEvent()), [] {});
            handedBack = cancelled.Unregister();
        }
        EXPECT_EQ(0, Closes.load());   // the holder that Unregister returned owns it now
    }
    EXPECT_EQ(1, Closes.load());
}
}
