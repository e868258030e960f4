#include <gtest/gtest.h>

#include "service/ServiceHost.h"
#include "service/StopAction.h"
#include "session/Paths.h"

namespace
{
TEST(ServiceHost, CurrentDirectoryIsTheProgramsFolder)
{
    EXPECT_EQ(FolderOf(L"C:\\Program Files\\Quillon\\Quillon.exe"), L"C:\\Program Files\\Quillon");
    EXPECT_EQ(FolderOf(L"C:\\Quillon.exe"), L"C:") << "a root folder gives the bare drive";
}

TEST(StopAction, AStopBeforeTheShellExistsIsCarriedOutWhenTheActionArrives)
{
    StopActionSlot slot;
    int stops = 0;
    slot.Request();
    EXPECT_EQ(stops, 0);
    slot.Fill([&stops] { ++stops; });
    EXPECT_EQ(stops, 1);
    slot.Request();
    EXPECT_EQ(stops, 2) << "every stop control posts again";
}

TEST(StopAction, AStopAfterTheShellEndedDoesNothing)
{
    StopActionSlot slot;
    int stops = 0;
    slot.Fill([&stops] { ++stops; });
    slot.Clear();
    slot.Request();
    slot.Fill([&stops] { ++stops; });
    EXPECT_EQ(stops, 0) << "a stop after the end is not remembered for a later shell";
}
}
