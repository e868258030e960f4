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

bool IsOpen(HANDLE handle)
{
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != FALSE;
}

class ScopedResourceTest : public ::testing::Test
{
protected:
    void SetUp() override { releases.clear(); }
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
