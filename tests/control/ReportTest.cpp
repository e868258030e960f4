// The session 0 report: the tool's output for each state of session 0 that the simulated
// Terminal Services can show, and the lookup of the session's user in hives under HKEY_USERS.

#include <gtest/gtest.h>

#include <system_error>

#include "BenchClient.h"
#include "ControlTool.h"
#include "TermSrv.h"
#include "control/Session0Report.h"

using namespace control;
namespace ts = bench::termsrv;

namespace
{
// A user's key under HKEY_USERS, made for one test and deleted with everything below it.
class TestHive
{
public:
    explicit TestHive(std::wstring sid) : sid_(std::move(sid))
    {
        RegDeleteTreeW(HKEY_USERS, sid_.c_str());
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExW(HKEY_USERS, sid_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
        RegCloseKey(key);
    }
    ~TestHive()
    {
        RegDeleteTreeW(HKEY_USERS, sid_.c_str());
        RegDeleteKeyW(HKEY_USERS, sid_.c_str());
    }
    TestHive(const TestHive&) = delete;
    TestHive& operator=(const TestHive&) = delete;

    // subkey is relative to the user's key; an empty name makes only the key.
    void Set(const std::wstring& subkey, const wchar_t* name, const std::wstring& value, DWORD type = REG_SZ,
             bool terminated = true)
    {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_USERS, (sid_ + L"\\" + subkey).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &key, nullptr),
                  0);
        if (name != nullptr)
        {
            const DWORD bytes = static_cast<DWORD>((value.size() + (terminated ? 1 : 0)) * sizeof(wchar_t));
            EXPECT_EQ(RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(value.c_str()), bytes), 0);
        }
        RegCloseKey(key);
    }

    // A user logged on to a session: the volatile environment with its per-session key.
    void LogOn(const std::wstring& sessionId, const std::wstring& sessionName, const std::wstring& domain,
               const std::wstring& user, const std::wstring& client = L"CLIENT")
    {
        Set(L"Volatile Environment\\" + sessionId, L"SESSIONNAME", sessionName);
        Set(L"Volatile Environment\\" + sessionId, L"CLIENTNAME", client);
        Set(L"Volatile Environment", L"USERDOMAIN", domain);
        Set(L"Volatile Environment", L"USERNAME", user);
    }

    const std::wstring& sid() const { return sid_; }

private:
    std::wstring sid_;
};

std::wstring Lines(std::initializer_list<const wchar_t*> lines)
{
    std::wstring text;
    for (const wchar_t* line : lines)
        text += std::wstring(line) + L"\r\n";
    return text;
}

std::wstring StationOfSession0()
{
    ts::SessionInfo info;
    return ts::FindSession(0, &info) ? info.winStation : std::wstring();
}

class ReportTest : public ::testing::Test
{
protected:
    void SetUp() override { ts::Reset(); }
    void TearDown() override { ts::Reset(); }

    static ToolRun Report()
    {
        ToolRun run = RunTool(L"-k --query");
        EXPECT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, 0u);
        return run;
    }
};

TEST_F(ReportTest, Session0NotConnectedIsThreeLines)
{
    // A hive that would make the lookup fail: it is never looked at, so no error block either.
    TestHive broken(L"S-1-5-21-7-7-7-1501");
    broken.Set(L"Volatile Environment\\4", nullptr, L"");

    const ToolRun run = Report();
    EXPECT_EQ(run.out, Lines({L"Session 0 Details", L"-----------------", L"  session state : disconnected"}));
    EXPECT_EQ(run.err, L"");
}

TEST_F(ReportTest, FailingQueriesReadAsAnActiveSession0)
{
    ts::ConnectRemote(0);
    ts::InjectFault(ts::Call::QuerySessionInformation, ERROR_ACCESS_DENIED, false);
    const ToolRun run = Report();
    EXPECT_EQ(run.out, Lines({L"Session 0 Details", L"-----------------", L"  session state : active"}));
    EXPECT_EQ(run.err, L"");
}

TEST_F(ReportTest, Session0ConnectedAtTheConsoleIsLocal)
{
    ASSERT_TRUE(ts::ConnectConsole(0));
    const ToolRun run = Report();
    EXPECT_EQ(run.out, Lines({L"Session 0 Details", L"-----------------", L"  session state : connected",
                              L"  session name  : \"Console\"", L"  remote control: false",
                              L"  user          : locally connected"}));
    EXPECT_EQ(run.err, L"");
}

TEST_F(ReportTest, ARemoteClientIsReportedWithTheUserWhoseHiveNamesTheSession)
{
    ts::RemoteClient client;
    client.name = L"LAPTOP-7";
    client.domain = L"CORP";
    client.user = L"bob";
    ASSERT_TRUE(ts::ConnectRemote(0, client));
    const std::wstring station = StationOfSession0();
    ASSERT_EQ(station.rfind(L"RDP-Tcp#", 0), 0u);

    // Hives without a volatile environment, or with one but no per-session key, are skipped.
    TestHive system(L"S-1-5-21-7-7-7-1502");
    TestHive empty(L"S-1-5-21-7-7-7-1503");
    empty.Set(L"Volatile Environment", L"USERNAME", L"nobody");
    TestHive other(L"S-1-5-21-7-7-7-1504");
    other.LogOn(L"1", L"Console", L"QUILLON", L"carol");
    TestHive alice(L"S-1-5-21-7-7-7-1505");
    std::wstring lower = station;
    for (wchar_t& c : lower)
        c = static_cast<wchar_t>(towlower(c));
    alice.LogOn(L"2", lower, L"QUILLON", L"alice");

    const ToolRun run = Report();
    EXPECT_EQ(run.out, Lines({L"Session 0 Details", L"-----------------", L"  session state : connected",
                              (L"  session name  : \"" + station + L"\"").c_str(), L"  remote control: true",
                              L"  client name   : \"LAPTOP-7\"", L"  RDP user      : \"CORP\\bob\"",
                              L"  real user     : \"QUILLON\\alice\""}));
    EXPECT_EQ(run.err, L"");
}

TEST_F(ReportTest, MissingNamesShowAsADotOrNothing)
{
    struct Case
    {
        const wchar_t* domain;
        const wchar_t* user;
        const wchar_t* rdpUser;
    };
    for (const Case& names : {Case{L"", L"", L"\"\""}, Case{L"", L"bob", L"\".\\bob\""}})
    {
        ts::RemoteClient client;
        client.domain = names.domain;
        client.user = names.user;
        ASSERT_TRUE(ts::ConnectRemote(0, client));
        const std::wstring station = StationOfSession0();

        // No hive names the session.
        const ToolRun run = Report();
        EXPECT_EQ(run.out, Lines({L"Session 0 Details", L"-----------------", L"  session state : connected",
                                  (L"  session name  : \"" + station + L"\"").c_str(), L"  remote control: true",
                                  L"  client name   : \"CLIENT\"", (std::wstring(L"  RDP user      : ") + names.rdpUser).c_str(),
                                  L"  real user     : \".\\\""}));
        EXPECT_EQ(run.err, L"");
    }
}

TEST_F(ReportTest, ARegistryFailureOfTheLookupIsPrintedInTheReport)
{
    ASSERT_TRUE(ts::ConnectRemote(0));
    const std::wstring station = StationOfSession0();
    TestHive broken(L"S-1-5-21-7-7-7-1506");
    broken.Set(L"Volatile Environment\\3", L"CLIENTNAME", L"CLIENT");

    const ToolRun run = Report();
    EXPECT_EQ(run.out, Lines({L"Session 0 Details", L"-----------------", L"  session state : connected",
                              (L"  session name  : \"" + station + L"\"").c_str(), L"  remote control: true",
                              L"  client name   : \"CLIENT\"", L"  RDP user      : \"\""}));
    EXPECT_EQ(run.err, L"Error finding corresponding user name from HKU registry hive:\r\n" +
                           FailureLine(ERROR_FILE_NOT_FOUND,
                                       "Can't query SESSIONNAME of user SID S-1-5-21-7-7-7-1506") +
                           L"\r\n");
}

TEST(SessionUserLookup, FindsTheFirstUserWhoseSessionNameMatchesInAnyCase)
{
    TestHive alice(L"S-1-5-21-7-7-7-1601");
    alice.LogOn(L"5", L"RDP-Tcp#41", L"QUILLON", L"alice", L"LAPTOP-7");

    const SessionUser user = find_session_user(L"rdp-TCP#41");
    EXPECT_EQ(user.session_name, L"RDP-Tcp#41");
    EXPECT_EQ(user.client_name, L"LAPTOP-7");
    EXPECT_EQ(user.user_domain, L"QUILLON");
    EXPECT_EQ(user.user_name, L"alice");
    EXPECT_EQ(user.user_sid, L"S-1-5-21-7-7-7-1601");

    // The prefix's own user has a volatile environment without per-session keys.
    const SessionUser none = find_session_user(L"RDP-Tcp#42");
    EXPECT_TRUE(none.session_name.empty() && none.client_name.empty() && none.user_domain.empty() &&
                none.user_name.empty() && none.user_sid.empty());
}

TEST(SessionUserLookup, ReadsStringsWithoutTerminatorOrLongerThanItsBuffers)
{
    TestHive user(L"S-1-5-21-7-7-7-1602");
    user.Set(L"Volatile Environment\\6", L"SESSIONNAME", L"RDP-Tcp#43", REG_BINARY, false);
    user.Set(L"Volatile Environment\\6", L"CLIENTNAME", L"");
    user.Set(L"Volatile Environment", L"USERDOMAIN", std::wstring(1000, L'd'));
    user.Set(L"Volatile Environment", L"USERNAME", std::wstring(300, L'u'), REG_SZ, false);

    const SessionUser found = find_session_user(L"RDP-Tcp#43");
    EXPECT_EQ(found.session_name, L"RDP-Tcp#43");
    EXPECT_EQ(found.client_name, L"");
    EXPECT_EQ(found.user_domain, std::wstring(256, L'd'));
    EXPECT_EQ(found.user_name, std::wstring(256, L'u'));
}

TEST(SessionUserLookup, RaisesRegistryFailuresWithTheUsersSid)
{
    TestHive user(L"S-1-5-21-7-7-7-1603");
    user.Set(L"Volatile Environment\\7", L"SESSIONNAME", L"RDP-Tcp#44");
    user.Set(L"Volatile Environment\\7", L"CLIENTNAME", L"CLIENT");
    user.Set(L"Volatile Environment", L"USERNAME", L"dave");
    try
    {
        find_session_user(L"RDP-Tcp#44");
        FAIL() << "no error raised";
    }
    catch (const std::system_error& error)
    {
        EXPECT_EQ(error.code().value(), ERROR_FILE_NOT_FOUND);
        EXPECT_STREQ(error.code().category().name(), "system");
        EXPECT_EQ(Widen(error.what()),
                  L"Can't query USERDOMAIN of user SID S-1-5-21-7-7-7-1603: " + SystemText(ERROR_FILE_NOT_FOUND));
    }
}

TEST(SessionStateNames, NameTheTenStatesAndNumberAnyOther)
{
    const wchar_t* const names[] = {L"active", L"connected", L"connecting", L"shadowed", L"disconnected",
                                    L"idle",   L"listening", L"resetting",  L"down",     L"initializing"};
    for (unsigned long state = 0; state < 10; ++state)
        EXPECT_EQ(session_state_name(state), names[state]);
    EXPECT_EQ(session_state_name(10), L"10");
    EXPECT_EQ(session_state_name(0xFFFFFFFF), L"4294967295");
}
}
