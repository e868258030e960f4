#include <gtest/gtest.h>

#include <userenv.h>

#include <BenchClient.h>
#include <TermSrv.h>

#include <system_error>

#include "ChildImage.h"
#include "session/Launch.h"

namespace ts = bench::termsrv;

namespace
{
std::vector<std::wstring> SystemEnvironment()
{
    std::vector<std::wstring> entries;
    LPVOID block = nullptr;
    if (CreateEnvironmentBlock(&block, nullptr, FALSE))
    {
        for (const wchar_t* entry = static_cast<const wchar_t*>(block); *entry != L'\0'; entry += wcslen(entry) + 1)
            entries.emplace_back(entry);
        DestroyEnvironmentBlock(block);
    }
    return entries;
}

class launchers_users : public ::testing::Test
{
protected:
    void SetUp() override { ts::Reset(); }
    void TearDown() override { ts::Reset(); }
};

TEST(launchers_session, SessionZeroStartsAsTheCallerOnTheInteractiveDesktopWithSystemVariables)
{
    ChildImage child(L"SessionZeroChild.exe");
    ASSERT_TRUE(child.copied());
    SetEnvironmentVariableW(L"QUILLON_PARENT_ONLY", L"1");
    ScopedHandle process = launch_in_session(child.name(), 0);
    SetEnvironmentVariableW(L"QUILLON_PARENT_ONLY", nullptr);
    ASSERT_TRUE(process);
    ChildReport report;
    ASSERT_TRUE(child.WaitForReport(report));
    EXPECT_EQ(GetProcessId(process.get()), report.pid);
    EXPECT_EQ(report.commandLine, L"\"" + child.path() + L"\"");
    EXPECT_EQ(report.desktop, L"WinSta0\\Default");
    EXPECT_EQ(report.user, OwnUserSid());
    const std::vector<std::wstring> system = SystemEnvironment();
    const std::vector<std::wstring> shared = SharedEntries(report.environment, system);
    EXPECT_EQ(shared, SharedEntries(system, report.environment));
    EXPECT_GE(shared.size() + 4, system.size());
    // The system's variables only: nothing of the caller's own block.
    EXPECT_EQ(report.Variable(L"QUILLON_PARENT_ONLY"), L"<absent>");
}

TEST(launchers_session, AMissingFileGivesNoHandle)
{
    EXPECT_FALSE(launch_in_session(L"NoSuchQuillonHelper.exe", 0));
}
}

namespace
{
TEST_F(launchers_users, StartsInTheUsersSessionOnceAndHandsBackTheRunningCopy)
{
    ASSERT_TRUE(ts::LogOn(2, L"alice"));
    ChildImage child(L"UserSessionChild.exe");
    ASSERT_TRUE(child.copied());

    const ts::LaunchesSeen before = ts::LaunchCalls();
    ScopedHandle first = launch_in_session(child.name(), 2);
    ASSERT_TRUE(first);
    const ts::LaunchesSeen after = ts::LaunchCalls();
    EXPECT_EQ(after.count, before.count + 1);
    // As the user, drive letters in the program's path would resolve through the user's own
    // device map.
    EXPECT_EQ(after.impersonating, before.impersonating) << "started with the user's token, not as the user";
    ChildReport report;
    ASSERT_TRUE(child.WaitForReport(report));
    EXPECT_EQ(ts::SessionOfProcess(report.pid), 2u) << "started with the session user's token";
    EXPECT_EQ(report.desktop, L"WinSta0\\Default");

    ScopedHandle again = launch_in_session(child.name(), 2);
    ASSERT_TRUE(again);
    EXPECT_EQ(CountProcesses(child.name()), 1);
    EXPECT_EQ(WaitForSingleObject(again.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    ASSERT_TRUE(EndChild(report.pid));
    EXPECT_EQ(WaitForSingleObject(again.get(), 10000), WAIT_OBJECT_0) << "the handle is to the running copy";
}

TEST_F(launchers_users, ACopyInAnotherSessionOnlyDoesNotCount)
{
    ASSERT_TRUE(ts::LogOn(1, L"alice"));
    ASSERT_TRUE(ts::LogOn(2, L"bob"));
    ChildImage child(L"OtherSessionChild.exe");
    ASSERT_TRUE(child.copied());
    ScopedHandle inOne = launch_in_session(child.name(), 1);
    ASSERT_TRUE(inOne);
    ChildReport first;
    ASSERT_TRUE(child.WaitForReport(first));

    ScopedHandle inTwo = launch_in_session(child.name(), 2);
    ASSERT_TRUE(inTwo);
    ChildReport second;
    ASSERT_TRUE(child.WaitForReport(second));
    EXPECT_NE(second.pid, first.pid);
    EXPECT_EQ(ts::SessionOfProcess(second.pid), 2u);
    EXPECT_EQ(CountProcesses(child.name()), 2);
}

TEST_F(launchers_users, ASessionWithoutAUserStartsNothing)
{
    ASSERT_TRUE(ts::ConnectConsole(4));   // a session with nobody logged on: ERROR_NO_TOKEN
    ChildImage child(L"NoTokenChild.exe");
    ASSERT_TRUE(child.copied());
    // Without a token a copy would land in session 0, where the lookup for session 4 never
    // finds it: each call would add one.
    EXPECT_FALSE(launch_in_session(child.name(), 4));
    EXPECT_FALSE(launch_in_session(child.name(), 4));
    EXPECT_EQ(CountProcesses(child.name()), 0);
}

TEST_F(launchers_users, MinusOneLooksInTheOwnSessionButAsksForTheTokenUnchanged)
{
    ChildImage child(L"MinusOneChild.exe");
    ASSERT_TRUE(child.copied());
    // No session -1 exists to hand out a token: nothing is started.
    EXPECT_FALSE(launch_in_session(child.name(), WTS_CURRENT_SESSION));
    EXPECT_EQ(CountProcesses(child.name()), 0);

    ScopedHandle inZero = launch_in_session(child.name(), 0);
    ASSERT_TRUE(inZero);
    ChildReport report;
    ASSERT_TRUE(child.WaitForReport(report));
    ScopedHandle found = launch_in_session(child.name(), WTS_CURRENT_SESSION);
    ASSERT_TRUE(found) << "the copy in the caller's own session";
    EXPECT_EQ(CountProcesses(child.name()), 1);
}

TEST_F(launchers_users, AFailedTokenQueryOrLookupStartsNothing)
{
    ASSERT_TRUE(ts::LogOn(2, L"alice"));
    ChildImage child(L"FaultChild.exe");
    ASSERT_TRUE(child.copied());

    ts::InjectFault(ts::Call::QueryUserToken, ERROR_ACCESS_DENIED, true);
    EXPECT_FALSE(launch_in_session(child.name(), 2));

    ts::InjectFault(ts::Call::EnumerateProcesses, ERROR_ACCESS_DENIED, true);
    EXPECT_THROW(launch_in_session(child.name(), 2), std::system_error);
    ts::InjectFault(ts::Call::EnumerateProcesses, ERROR_ACCESS_DENIED, true);
    DWORD lastError = 12345;
    try
    {
        launch_with_own_token(child.name(), {}, lastError);
        ADD_FAILURE() << "no exception";
    }
    catch (const std::system_error& error)
    {
        EXPECT_EQ(std::string(error.what()).rfind("system error in process_pid: ", 0), 0u) << error.what();
    }
    EXPECT_EQ(lastError, 0u);
    EXPECT_EQ(CountProcesses(child.name()), 0);
}
}

namespace
{
TEST_F(launchers_users, SessionZeroAsksForNoToken)
{
    // Any token query would fail: session 0 must not make one.
    ts::InjectFault(ts::Call::QueryUserToken, ERROR_ACCESS_DENIED, false);
    ChildImage child(L"SessionZeroNoToken.exe");
    ASSERT_TRUE(child.copied());
    ScopedHandle process = launch_in_session(child.name(), 0);
    ASSERT_TRUE(process);
    ChildReport report;
    ASSERT_TRUE(child.WaitForReport(report));
    EXPECT_EQ(ts::SessionOfProcess(report.pid), 0u);
}
}
