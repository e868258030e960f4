#include <gtest/gtest.h>

#include <userenv.h>

#include <BenchClient.h>

#include "ChildImage.h"
#include "session/Launch.h"

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

TEST(launchers_session, ANameWithASpaceIsStartedByItsQuotedPath)
{
    ChildImage child(L"Session Zero Child.exe");
    ASSERT_TRUE(child.copied());
    ScopedHandle process = launch_in_session(child.name(), 0);
    ASSERT_TRUE(process);
    ChildReport report;
    ASSERT_TRUE(child.WaitForReport(report));
    EXPECT_EQ(report.commandLine, L"\"" + child.path() + L"\"");
}

TEST(launchers_session, AMissingFileGivesNoHandle)
{
    EXPECT_FALSE(launch_in_session(L"NoSuchQuillonHelper.exe", 0));
}
}
