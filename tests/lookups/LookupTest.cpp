#include <gtest/gtest.h>

#include <windows.h>
#include <wtsapi32.h>

#include <string>
#include <system_error>
#include <vector>

#include <BenchClient.h>
#include <BenchState.h>
#include <TermSrv.h>

#include "session/ProcessLookup.h"
#include "session/ScopedResource.h"

namespace ts = bench::termsrv;

namespace
{
// The stand-in wtsapi32.dll takes over this program's ProcessIdToSessionId when it is loaded;
// the lookups load it only on their first call into it, after the session of the caller was asked.
const HMODULE TerminalServices = LoadLibraryW(L"wtsapi32.dll");

std::wstring OwnImageName()
{
    const std::wstring directory = bench::ProgramDirectory();
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path).substr(directory.size() + 1);
}

// The driver has no call for the states a real server adds (idle, listening), nor for an
// active session 0; the test sets them in the shared machine, which nothing else changes while
// it runs.
void ForceState(DWORD session, WTS_CONNECTSTATE_CLASS state)
{
    BenchState* bench = OpenBenchState();
    ASSERT_NE(bench, nullptr);
    for (benchstate::Session& s : bench->machine.sessions)
        if (s.inUse && s.id == session)
        {
            s.state = state;
            return;
        }
    FAIL() << "no session " << session;
}

// A process of the bench's child program, started directly (not through a launcher).
using Sleeper = bench::StartedProgram;

std::wstring OwnAccount()
{
    const ScopedHandle token = [] {
        ScopedHandle own = MakeScopedHandle(nullptr);
        OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, own.put());
        return own;
    }();
    return token_account(token.get());
}

class lookups : public ::testing::Test
{
protected:
    void SetUp() override { ts::Reset(); }
    void TearDown() override { ts::Reset(); }
};

std::vector<DWORD> Reported()
{
    std::vector<DWORD> sessions;
    enumerate_active_sessions_wo0([&sessions](DWORD session) { sessions.push_back(session); });
    return sessions;
}

TEST_F(lookups, ProcessPidMatchesTheWholeImageNameCaseSensitively)
{
    const std::wstring name = OwnImageName();
    const DWORD self = GetCurrentProcessId();
    EXPECT_EQ(process_pid(name, WTS_CURRENT_SESSION), self);
    EXPECT_EQ(process_pid(name, ts::SessionOfProcess(self)), self) << "-1 is the caller's own session";

    std::wstring upper = name;
    for (wchar_t& c : upper)
        c = towupper(c);
    EXPECT_EQ(process_pid(upper, WTS_CURRENT_SESSION), 0u);
    EXPECT_EQ(process_pid(name.substr(0, name.size() - 4), WTS_CURRENT_SESSION), 0u) << "no extension rule";
    EXPECT_EQ(process_pid(name + L" ", WTS_CURRENT_SESSION), 0u);
    EXPECT_EQ(process_pid(L"lookups_*.exe", WTS_CURRENT_SESSION), 0u) << "no wildcards";
}

TEST_F(lookups, ProcessPidGivesTheFirstMatchInTheSystemsOrderAndOnlyInTheAskedSession)
{
    const std::wstring path = bench::ProgramDirectory() + L"\\LookupTwin.exe";
    ASSERT_TRUE(CopyFileW(bench::BenchProgramPath(L"BenchChild.exe").c_str(), path.c_str(), FALSE));
    {
        Sleeper one(path), two(path);
        ASSERT_NE(one.pid(), 0u);
        ASSERT_NE(two.pid(), 0u);

        const std::vector<DWORD> twins = bench::ProcessesNamed(L"LookupTwin.exe");
        const DWORD first = twins.empty() ? 0 : twins.front();
        ASSERT_TRUE(first == one.pid() || first == two.pid());

        EXPECT_EQ(process_pid(L"LookupTwin.exe", 0), first);
        // A filter passes over the copies it refuses, in the same order.
        const DWORD second = first == one.pid() ? two.pid() : one.pid();
        EXPECT_EQ(process_pid(L"LookupTwin.exe", 0, [first](DWORD pid) { return pid != first; }), second);
        EXPECT_EQ(process_pid(L"LookupTwin.exe", 0, [](DWORD) { return false; }), 0u);

        // Started from this program's folder under its account: what a launcher here starts.
        const ScopedHandle process = MakeScopedHandle(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, first));
        ASSERT_TRUE(process);
        const RunningCopy copy = read_running_copy(process.get());
        EXPECT_EQ(_wcsicmp(copy.image.c_str(), path.c_str()), 0) << copy.image;
        EXPECT_EQ(copy.account.rfind(L"S-1-5-", 0), 0u) << copy.account;
        EXPECT_EQ(copy.account, OwnAccount());
        EXPECT_EQ(decide_adoption(copy, launched_copy(L"LookupTwin.exe", OwnAccount())), Adoption::Adopt);
        ASSERT_TRUE(ts::LogOn(1, L"alice"));
        EXPECT_EQ(process_pid(L"LookupTwin.exe", 1), 0u) << "runs in session 0 only";
        EXPECT_EQ(process_pid(L"NoSuchQuillonProgram.exe", 0), 0u);
    }
    bench::WaitUntil([&] { return DeleteFileW(path.c_str()) != FALSE; }, 5000);
}

TEST_F(lookups, FailuresOfTheSystemBecomeSystemErrorsWithTheirCodeAndContext)
{
    ts::InjectFault(ts::Call::EnumerateProcesses, ERROR_ACCESS_DENIED, true);
    try
    {
        process_pid(OwnImageName(), 0);
        ADD_FAILURE() << "no exception";
    }
    catch (const std::system_error& error)
    {
        EXPECT_EQ(error.code().value(), ERROR_ACCESS_DENIED);
        EXPECT_STREQ(error.code().category().name(), "system");
        EXPECT_EQ(std::string(error.what()).rfind("system error in process_pid: ", 0), 0u) << error.what();
    }

    // The caller's own session is asked for only when -1 stands for it.
    ts::InjectFault(ts::Call::ProcessIdToSessionId, ERROR_INVALID_HANDLE, true);
    EXPECT_EQ(process_pid(OwnImageName(), 0), GetCurrentProcessId());
    try
    {
        process_pid(OwnImageName(), WTS_CURRENT_SESSION);
        ADD_FAILURE() << "no exception";
    }
    catch (const std::system_error& error)
    {
        EXPECT_EQ(error.code().value(), ERROR_INVALID_HANDLE);
        EXPECT_EQ(std::string(error.what()).rfind("system error in process_pid: ", 0), 0u) << error.what();
    }

    ts::InjectFault(ts::Call::EnumerateSessions, ERROR_NOT_ENOUGH_MEMORY, true);
    try
    {
        Reported();
        ADD_FAILURE() << "no exception";
    }
    catch (const std::system_error& error)
    {
        EXPECT_EQ(error.code().value(), ERROR_NOT_ENOUGH_MEMORY);
        EXPECT_EQ(std::string(error.what()).rfind("system error in enumerate_active_sessions_wo0: ", 0), 0u)
            << error.what();
    }
}

TEST_F(lookups, OnlyActiveAndDisconnectedUserSessionsAreReportedInTheSystemsOrder)
{
    EXPECT_TRUE(Reported().empty()) << "session 0 alone";

    ASSERT_TRUE(ts::LogOn(3, L"carol"));   // disconnected, with its user
    ASSERT_TRUE(ts::LogOn(1, L"alice"));
    ASSERT_TRUE(ts::ConnectConsole(1));    // active
    ASSERT_TRUE(ts::ConnectRemote(5));     // a client without a user: connected
    ASSERT_TRUE(ts::LogOn(6, L"dave"));
    ASSERT_TRUE(ts::LogOn(7, L"erin"));
    ForceState(6, WTSIdle);
    ForceState(7, WTSListen);

    std::vector<DWORD> expected;
    for (const ts::SessionInfo& session : ts::Sessions())
        if (session.id == 1 || session.id == 3)
            expected.push_back(session.id);
    EXPECT_EQ(Reported(), expected);

    ForceState(0, WTSActive);
    EXPECT_EQ(Reported(), expected) << "session 0 is never reported";
    ASSERT_TRUE(ts::ConnectConsole(0));
    EXPECT_EQ(Reported(), expected);
}

TEST_F(lookups, AnExceptionFromTheCallbackEndsTheWalk)
{
    ASSERT_TRUE(ts::LogOn(1, L"alice"));
    ASSERT_TRUE(ts::LogOn(2, L"bob"));
    int calls = 0;
    EXPECT_THROW(enumerate_active_sessions_wo0([&calls](DWORD) {
                     ++calls;
                     throw std::runtime_error("stop");
                 }),
                 std::runtime_error);
    EXPECT_EQ(calls, 1);
}

// Facts in, decision out: Wine runs every process as one user, so a copy under another account
// can only be met here.
TEST(adoption, OnlyTheLaunchersOwnProgramUnderItsAccountStandsForItAndWhatCannotBeReadNever)
{
    const RunningCopy expected{L"C:\\Program Files\\Quillon\\QuillonTray.exe", L"S-1-5-18"};
    const auto decide = [&expected](const std::wstring& image, const std::wstring& account) {
        return decide_adoption(RunningCopy{image, account}, expected);
    };
    EXPECT_EQ(decide(expected.image, expected.account), Adoption::Adopt);
    EXPECT_EQ(decide(L"c:\\PROGRAM FILES\\quillon\\quillontray.EXE", L"S-1-5-18"), Adoption::Adopt)
        << "paths compare without case";

    EXPECT_EQ(decide(L"C:\\Users\\mallory\\QuillonTray.exe", L"S-1-5-18"), Adoption::OtherProgram);
    EXPECT_EQ(decide(L"C:\\Program Files\\Quillon\\old\\QuillonTray.exe", L"S-1-5-18"), Adoption::OtherProgram);
    EXPECT_EQ(decide(L"C:\\Program Files\\Quillon2\\QuillonTray.exe", L"S-1-5-18"), Adoption::OtherProgram);
    EXPECT_EQ(decide(L"QuillonTray.exe", L"S-1-5-18"), Adoption::OtherProgram) << "a bare name is no path";
    EXPECT_EQ(decide(L"C:\\Users\\mallory\\QuillonTray.exe", L""), Adoption::OtherProgram)
        << "the program is judged first";

    // The service's own program, run by a user or another service account.
    EXPECT_EQ(decide(expected.image, L"S-1-5-21-1004336348-1177238915-682003330-1001"), Adoption::OtherAccount);
    EXPECT_EQ(decide(expected.image, L"S-1-5-20"), Adoption::OtherAccount);
    EXPECT_EQ(decide(expected.image, L"S-1-5-18-1"), Adoption::OtherAccount);

    EXPECT_EQ(decide(L"", L"S-1-5-18"), Adoption::UnknownImage);
    EXPECT_EQ(decide(expected.image, L""), Adoption::UnknownAccount);
    // Where the launcher cannot tell its own program or account, nothing stands for it.
    EXPECT_EQ(decide_adoption(expected, RunningCopy{L"", expected.account}), Adoption::UnknownImage);
    EXPECT_EQ(decide_adoption(expected, RunningCopy{expected.image, L""}), Adoption::UnknownAccount);
    EXPECT_EQ(decide_adoption(RunningCopy{}, RunningCopy{}), Adoption::UnknownImage);
}
}
