#include <gtest/gtest.h>

#include <map>

#include "session/ScopedResource.h"

namespace
{
std::map<int, int> releases;

void CountRelease(int handle)
{
    ++releases[handle];
    SetLastError(12345); // a release must not change what the caller reads afterwards
}

using Counted = ScopedResource<int, void (*)(int)>;

Counted Make(int handle) { return Counted(&CountRelease, handle); }

std::map<HANDLE, int> handleReleases;

void CountHandleRelease(HANDLE handle) { ++handleReleases[handle]; }

using CountedFile = ScopedResource<HANDLE, void (*)(HANDLE), InvalidIsEmpty>;

HANDLE Fake(ULONG_PTR value) { return reinterpret_cast<HANDLE>(value); }

bool IsOpen(HANDLE handle)
{
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != FALSE;
}

class ScopedResourceTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        releases.clear();
        handleReleases.clear();
    }
};

TEST_F(ScopedResourceTest, ReleasesOnceAtScopeExitAndNeverANullHandle)
{
    {
        const Counted held = Make(7);
        const Counted empty = Make(0);
        EXPECT_TRUE(held);
        EXPECT_FALSE(empty);
    }
    EXPECT_EQ(releases, (std::map<int, int>{{7, 1}}));
}

TEST_F(ScopedResourceTest, MoveHandsOwnershipOnAndLeavesTheSourceNull)
{
    {
        Counted source = Make(3);
        Counted target(std::move(source));
        EXPECT_EQ(source.get(), 0);
        EXPECT_EQ(target.get(), 3);
        EXPECT_TRUE(releases.empty());
    }
    EXPECT_EQ(releases, (std::map<int, int>{{3, 1}}));
}

TEST_F(ScopedResourceTest, MoveAssignReleasesTheOldHandleFirst)
{
    {
        Counted target = Make(1);
        Counted source = Make(2);
        target = std::move(source);
        EXPECT_EQ(releases, (std::map<int, int>{{1, 1}}));
        EXPECT_EQ(target.get(), 2);
        EXPECT_EQ(source.get(), 0);
    }
    EXPECT_EQ(releases, (std::map<int, int>{{1, 1}, {2, 1}}));
}

TEST_F(ScopedResourceTest, SelfMoveAssignKeepsTheHandle)
{
    {
        Counted held = Make(9);
        Counted& alias = held;
        held = std::move(alias);
        EXPECT_EQ(held.get(), 9);
        EXPECT_TRUE(releases.empty());
    }
    EXPECT_EQ(releases, (std::map<int, int>{{9, 1}}));
}

TEST_F(ScopedResourceTest, ReleaseGivesUpOwnershipAndResetReleasesOnce)
{
    Counted held = Make(4);
    EXPECT_EQ(held.release(), 4);
    held.reset(5);
    held.reset();
    held.reset();
    EXPECT_EQ(releases, (std::map<int, int>{{5, 1}}));
}

TEST_F(ScopedResourceTest, PutReleasesTheHeldHandleAndTakesWhatTheCallStores)
{
    {
        Counted held = Make(6);
        int* const slot = held.put();
        EXPECT_EQ(releases, (std::map<int, int>{{6, 1}}));
        EXPECT_EQ(*slot, 0) << "a call that stores nothing leaves the owner empty";
        EXPECT_FALSE(held);
        *slot = 11;
        EXPECT_EQ(held.get(), 11);
    }
    EXPECT_EQ(releases, (std::map<int, int>{{6, 1}, {11, 1}}));
}

// INVALID_HANDLE_VALUE is what CreateFileW and its kind return on failure, and the current
// process's pseudo-handle: neither it nor null is ever closed.
TEST_F(ScopedResourceTest, AFileOwnerTakesInvalidAndNullForEmpty)
{
    {
        const CountedFile failed(&CountHandleRelease, INVALID_HANDLE_VALUE);
        const CountedFile null(&CountHandleRelease, nullptr);
        EXPECT_FALSE(failed);
        EXPECT_FALSE(null);
        CountedFile held(&CountHandleRelease, Fake(0x44));
        EXPECT_TRUE(held);
        const CountedFile taken(std::move(held));
        EXPECT_EQ(held.get(), INVALID_HANDLE_VALUE);
        CountedFile reused(&CountHandleRelease, Fake(0x48));
        HANDLE* const slot = reused.put();
        EXPECT_EQ(*slot, INVALID_HANDLE_VALUE);
        EXPECT_EQ(reused.release(), INVALID_HANDLE_VALUE);
    }
    EXPECT_EQ(handleReleases, (std::map<HANDLE, int>{{Fake(0x44), 1}, {Fake(0x48), 1}}));
}

TEST_F(ScopedResourceTest, KeepsTheLastErrorOfTheCallerAcrossARelease)
{
    SetLastError(ERROR_ACCESS_DENIED);
    {
        const Counted held = Make(8);
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(ScopedResourceTest, ClosesARealKernelHandleExactlyOnce)
{
    HANDLE raw = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(raw, nullptr);
    {
        ScopedHandle first = MakeScopedHandle(raw);
        ScopedHandle second = MakeScopedHandle(nullptr);
        second = std::move(first);
        EXPECT_TRUE(IsOpen(raw));
    }
    EXPECT_FALSE(IsOpen(raw));
}
}
