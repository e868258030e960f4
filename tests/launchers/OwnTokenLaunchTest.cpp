#include <gtest/gtest.h>

#include <userenv.h>

#include <algorithm>

#include <BenchClient.h>

#include "ChildImage.h"
#include "session/Launch.h"

namespace
{
std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

std::wstring Hex(HANDLE handle)
{
    wchar_t text[16];
    swprintf(text, 16, L"%lx", static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(handle)));
    return text;
}

DWORD Value(HANDLE handle) { return static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(handle)); }

HANDLE InheritableEvent()
{
    SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, TRUE};
    return CreateEventW(&attributes, TRUE, FALSE, nullptr);
}

std::vector<std::wstring> AccountEnvironment()
{
    std::vector<std::wstring> entries;
    HANDLE token = nullptr;
    LPVOID block = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, &token) &&
        CreateEnvironmentBlock(&block, token, FALSE))
    {
        for (const wchar_t* entry = static_cast<const wchar_t*>(block); *entry != L'\0'; entry += wcslen(entry) + 1)
            entries.emplace_back(entry);
        DestroyEnvironmentBlock(block);
    }
    if (token != nullptr)
        CloseHandle(token);
    return entries;
}

std::string Narrow(const std::wstring& text) { return bench::Narrow(text); }

// The child holds the account's block in its order, short of what its start-up rewrote.
void ExpectTheAccountsBlock(const std::vector<std::wstring>& environment)
{
    const std::vector<std::wstring> account = AccountEnvironment();
    const std::vector<std::wstring> shared = SharedEntries(environment, account);
    EXPECT_EQ(shared, SharedEntries(account, environment)) << "the account's block, in its own order";
    EXPECT_GE(shared.size() + 4, account.size()) << "most of the account's block arrived";
}

TEST(launchers_own_token, StartsBesideTheProgramWithTheAccountsEnvironmentAndNoHandles)
{
    ChildImage child(L"OwnTokenChild.exe");
    ASSERT_TRUE(child.copied());
    // A variable of the parent alone: the child must get the account's block, not ours.
    SetEnvironmentVariableW(L"QUILLON_PARENT_ONLY", L"1");

    DWORD lastError = 12345;
    ScopedHandle process = launch_with_own_token(child.name(), {}, lastError);
    SetEnvironmentVariableW(L"QUILLON_PARENT_ONLY", nullptr);
    ASSERT_TRUE(process);
    EXPECT_EQ(lastError, 0u);

    ChildReport report;
    ASSERT_TRUE(child.WaitForReport(report));
    EXPECT_EQ(GetProcessId(process.get()), report.pid);
    EXPECT_EQ(report.commandLine, Quoted(child.path())) << "full path, quoted, never a bare name";
    EXPECT_EQ(report.user, OwnUserSid());
    EXPECT_EQ(report.Variable(L"QUILLON_PARENT_ONLY"), L"<absent>");
    EXPECT_EQ(report.Variable(L"__inherited_handles"), L"<absent>");
    ExpectTheAccountsBlock(report.environment);
    EXPECT_TRUE(report.handles.empty());
}

TEST(launchers_own_token, ARunningCopyIsHandedBackAndItsEndIsSeenThroughTheHandle)
{
    ChildImage child(L"OwnTokenRunning.exe");
    ASSERT_TRUE(child.copied());
    DWORD lastError = 0;
    ScopedHandle first = launch_with_own_token(child.name(), {}, lastError);
    ASSERT_TRUE(first);
    ChildReport report;
    ASSERT_TRUE(child.WaitForReport(report));

    lastError = 12345;
    ScopedHandle second = launch_with_own_token(child.name(), {}, lastError);
    ASSERT_TRUE(second);
    EXPECT_EQ(lastError, 0u);
    EXPECT_EQ(CountProcesses(child.name()), 1);

    EXPECT_EQ(WaitForSingleObject(second.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    ASSERT_TRUE(EndChild(report.pid));
    EXPECT_EQ(WaitForSingleObject(second.get(), 10000), WAIT_OBJECT_0);
}

TEST(launchers_own_token, ListedHandlesAreInheritedAndNamedLastInTheirOrder)
{
    ChildImage child(L"OwnTokenHandles.exe");
    ASSERT_TRUE(child.copied());
    const ScopedHandle a = MakeScopedHandle(InheritableEvent());
    const ScopedHandle b = MakeScopedHandle(InheritableEvent());
    const ScopedHandle c = MakeScopedHandle(InheritableEvent());
    ASSERT_TRUE(a && b && c);

    // Out of numeric order on purpose, and a 0 among them.
    DWORD lastError = 12345;
    ScopedHandle process = launch_with_own_token(child.name(), {Value(c.get()), 0, Value(a.get()), Value(b.get())},
                                                 lastError);
    ASSERT_TRUE(process);
    EXPECT_EQ(lastError, 0u);
    ChildReport report;
    ASSERT_TRUE(child.WaitForReport(report));

    const std::wstring entry =
        L"__inherited_handles=" + Hex(c.get()) + L",0," + Hex(a.get()) + L"," + Hex(b.get());
    const auto& environment = report.environment;
    const auto position = std::find(environment.begin(), environment.end(), entry);
    ASSERT_NE(position, environment.end());
    ExpectTheAccountsBlock(environment);
    // After every copied variable, although "_" sorts after the capitals and before the rest.
    const std::vector<std::wstring> account = AccountEnvironment();
    for (auto later = position + 1; later != environment.end(); ++later)
        if (!RewrittenAtStart(*later))
            EXPECT_EQ(std::find(account.begin(), account.end(), *later), account.end()) << Narrow(*later);

    const HANDLE events[] = {a.get(), b.get(), c.get()};
    EXPECT_EQ(WaitForMultipleObjects(3, events, TRUE, 10000), WAIT_OBJECT_0) << "the child set every listed event";
}

TEST(launchers_own_token, OneHandleIsNamedWithoutAComma)
{
    ChildImage child(L"OwnTokenOneHandle.exe");
    ASSERT_TRUE(child.copied());
    const ScopedHandle event = MakeScopedHandle(InheritableEvent());
    DWORD lastError = 0;
    ScopedHandle process = launch_with_own_token(child.name(), {Value(event.get())}, lastError);
    ASSERT_TRUE(process);
    ChildReport report;
    ASSERT_TRUE(child.WaitForReport(report));
    EXPECT_EQ(report.Variable(L"__inherited_handles"), Hex(event.get()));
    EXPECT_EQ(WaitForSingleObject(event.get(), 10000), WAIT_OBJECT_0);
}

TEST(launchers_own_token, ANameWithASpaceIsStartedByItsQuotedPath)
{
    ChildImage child(L"Own Token Child.exe");
    ASSERT_TRUE(child.copied());
    DWORD lastError = 0;
    ScopedHandle process = launch_with_own_token(child.name(), {}, lastError);
    ASSERT_TRUE(process) << "error " << lastError;
    ChildReport report;
    ASSERT_TRUE(child.WaitForReport(report));
    EXPECT_EQ(report.commandLine, Quoted(child.path()));
}

TEST(launchers_own_token, AMissingFileGivesNoHandleAndError2)
{
    DWORD lastError = 0;
    ScopedHandle process = launch_with_own_token(L"NoSuchQuillonHelper.exe", {}, lastError);
    EXPECT_FALSE(process);
    EXPECT_EQ(lastError, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(launchers_own_token, ANameOnlyFoundAlongPathIsNotStarted)
{
    // notepad.exe exists in the system folder, never beside the test program.
    DWORD lastError = 0;
    ScopedHandle process = launch_with_own_token(L"notepad.exe", {}, lastError);
    EXPECT_FALSE(process);
    EXPECT_EQ(lastError, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}
}
