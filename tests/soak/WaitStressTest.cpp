// WaitRegistration under a race: an event signalled by another thread at a random moment
// around registration, cancellation and destruction, many thousands of times. Every handle is
// closed exactly once, nothing leaks, and no callback runs once Unregister (or the destructor)
// has returned.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>

#include "BenchClient.h"
#include "ProcessFigures.h"
#include "service/WaitRegistration.h"

namespace
{
std::atomic<long> Closes{0};

BOOL WINAPI CountingClose(HANDLE handle)
{
    ++Closes;
    return CloseHandle(handle);
}

// The wineserver's count: GetProcessHandleCount answers 0 under Wine.
DWORD HandleCount()
{
    figures::Process process;
    return figures::Of(GetCurrentProcessId(), &process) ? process.handles : 0;
}

int Iterations()
{
    const char* value = std::getenv("QUILLON_SOAK");
    return value != nullptr && std::string(value) == "full" ? 100000 : 10000;
}

void Spin(unsigned count)
{
    for (volatile unsigned i = 0; i < count; i = i + 1)
    {
    }
}

// Sets the event it is given after a spin of the given length, on a thread of its own.
class Signaller
{
public:
    Signaller() : go_(CreateEventW(nullptr, FALSE, FALSE, nullptr)), done_(CreateEventW(nullptr, FALSE, FALSE, nullptr))
    {
        thread_ = CreateThread(nullptr, 0, &Run, this, 0, nullptr);
    }
    ~Signaller()
    {
        stop_ = true;
        SetEvent(go_);
        WaitForSingleObject(thread_, 5000);
        CloseHandle(thread_);
        CloseHandle(go_);
        CloseHandle(done_);
    }
    Signaller(const Signaller&) = delete;
    Signaller& operator=(const Signaller&) = delete;

    // The thread signals a copy of the handle of its own, so that the registration may close
    // the original at any moment without the value going to another object first.
    void Signal(HANDLE event, unsigned spin)
    {
        HANDLE copy = nullptr;
        DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS);
        event_ = copy;
        spin_ = spin;
        SetEvent(go_);
    }
    bool Finished() { return WaitForSingleObject(done_, 5000) == WAIT_OBJECT_0; }

private:
    static DWORD WINAPI Run(void* self)
    {
        auto* signaller = static_cast<Signaller*>(self);
        for (;;)
        {
            WaitForSingleObject(signaller->go_, INFINITE);
            if (signaller->stop_)
                return 0;
            Spin(signaller->spin_);
            SetEvent(signaller->event_);
            CloseHandle(signaller->event_);
            SetEvent(signaller->done_);
        }
    }

    HANDLE go_, done_, thread_ = nullptr;
    HANDLE volatile event_ = nullptr;
    volatile unsigned spin_ = 0;
    std::atomic<bool> stop_{false};
};

TEST(WaitRegistrationStress, SignalsAtRandomPointsNeverLeakCloseTwiceOrCallBackLate)
{
    const int iterations = Iterations();
    std::mt19937 random(1208);
    Signaller signaller;
    std::atomic<long> lateCallbacks{0}, doubleCallbacks{0}, fired{0};
    long registered = 0;

    // One round first: the pool's threads and the process's caches exist from then on.
    {
        WaitRegistration warm;
        const HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
        std::atomic<bool> called{false};
        warm.Register(ScopedHandle(&CountingClose, event), [&] { called = true; });
        bench::WaitUntil([&] { return called.load(); }, 5000, 1);
        ++registered;
    }
    const DWORD handlesBefore = HandleCount();

    for (int i = 0; i < iterations; ++i)
    {
        // The state the callbacks of this round read; it outlives the registration.
        auto ended = std::make_shared<std::atomic<bool>>(false);
        auto calls = std::make_shared<std::atomic<int>>(0);
        auto callback = [=, &lateCallbacks, &doubleCallbacks, &fired] {
            if (ended->load())
                ++lateCallbacks;
            if (++*calls > 1)
                ++doubleCallbacks;
            ++fired;
        };

        auto wait = std::make_unique<WaitRegistration>();
        const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        const unsigned spin = random() % 4000;
        const unsigned path = random() % 4;
        signaller.Signal(event, spin);
        wait->Register(ScopedHandle(&CountingClose, event), callback);
        ++registered;
        // Short and long pauses: the pool's thread needs a while to wake, and the callback
        // should be caught before, during and after it runs.
        Spin(random() % (random() % 2 == 0 ? 4000 : 400000));
        switch (path)
        {
        case 0:   // cancelled; a handle handed back is the caller's to close
            wait->Unregister();
            ended->store(true);
            break;
        case 1:   // destroyed with the wait in any state
            wait.reset();
            ended->store(true);
            break;
        case 2:   // registered again on a second event, which is signalled too
        {
            // A wait of its own: the first one may have called back already.
            auto secondCalls = std::make_shared<std::atomic<int>>(0);
            const HANDLE second = CreateEventW(nullptr, TRUE, TRUE, nullptr);
            wait->Register(ScopedHandle(&CountingClose, second), [=, &lateCallbacks, &doubleCallbacks, &fired] {
                if (ended->load())
                    ++lateCallbacks;
                if (++*secondCalls > 1)
                    ++doubleCallbacks;
                ++fired;
            });
            ++registered;
            Spin(random() % 4000);
            wait.reset();
            ended->store(true);
            break;
        }
        default:   // cancelled with a null registration
            wait->Register(ScopedHandle(&CountingClose, nullptr), callback);
            ended->store(true);
            break;
        }
        ASSERT_TRUE(signaller.Finished()) << "the signalling thread is stuck";
        wait.reset();
        if (lateCallbacks.load() != 0 || doubleCallbacks.load() != 0)
            break;
    }

    // Handles handed back by Unregister are released by the returned owner at once, so every
    // registered handle ends up closed exactly once.
    EXPECT_TRUE(bench::WaitUntil([&] { return Closes.load() >= registered; }, 5000, 1));
    EXPECT_EQ(registered, Closes.load()) << "handles closed more or less than once";
    EXPECT_EQ(0, lateCallbacks.load()) << "a callback ran after Unregister had returned";
    EXPECT_EQ(0, doubleCallbacks.load()) << "a one-shot wait called back twice";
    const DWORD handlesAfter = HandleCount();
    std::printf("%d rounds, %ld callbacks; handles %lu -> %lu\n", iterations, fired.load(), handlesBefore,
                handlesAfter);
    ASSERT_NE(0u, handlesBefore);
    EXPECT_LE(handlesAfter, handlesBefore + 4) << "handles leak";
}
}
