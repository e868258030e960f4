// The command line of the control tool: which arguments select what, what it writes where, and
// its exit codes, also for arbitrary argument lists.

#include <gtest/gtest.h>

#include <random>

#include "BenchClient.h"
#include "ControlTool.h"
#include "TermSrv.h"

using namespace control;

namespace
{
const std::wstring Unknown = L"Unknown argument specified\r\n";

// What a run may change: the entry, the registry value and the run state.
struct Snapshot
{
    ServiceConfig config;
    long long noInteractive;
    DWORD state;

    static Snapshot Take() { return Snapshot{QueryConfig(), NoInteractiveServices(), bench::Service().State()}; }
    bool operator==(const Snapshot& other) const
    {
        return config.image == other.config.image && config.start == other.config.start &&
               config.errorControl == other.config.errorControl && noInteractive == other.noInteractive &&
               state == other.state;
    }
};

class OutputTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(bench::Service().StopAndWait(20000));
        SetNoInteractiveServices(1);
        SetImage(guard_.original().image, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL);
    }

    EntryGuard guard_;
};

TEST_F(OutputTest, NoArgumentsIsNothingToDo)
{
    const Snapshot before = Snapshot::Take();
    const ToolRun run = RunTool(L"");
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.out, L"");
    EXPECT_EQ(run.err, L"No arguments specified, nothing to do\r\n");
    EXPECT_TRUE(Snapshot::Take() == before);
}

TEST_F(OutputTest, OptionsMatchOnlyWholeAndInTheirCase)
{
    const Snapshot before = Snapshot::Take();
    for (const wchar_t* line : {L"--Replace-ui0detect", L"--REPLACE-UI0DETECT", L"--replace-ui0detect=1",
                                L"--replace", L"-I", L"/i", L"-i=", L"-ii", L"-K", L"--query", L"-", L"\"\"",
                                L"\" -i\"", L"-x -i"})
    {
        SCOPED_TRACE(bench::Narrow(line));
        const ToolRun run = RunTool(line);
        EXPECT_EQ(run.exitCode, 1u);
        EXPECT_EQ(run.out, L"");
        EXPECT_EQ(run.err, Unknown);
    }
    EXPECT_TRUE(Snapshot::Take() == before);
}

TEST_F(OutputTest, ArgumentsAfterTheOptionAreIgnored)
{
    ToolRun run = RunTool(L"--replace-ui0detect --restore-ui0detect -u");
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.err, L"");
    EXPECT_EQ(QueryConfig().image, BuiltServicePath());
    EXPECT_EQ(QueryConfig().start, static_cast<DWORD>(SERVICE_AUTO_START));

    run = RunTool(L"-t -s");
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(bench::Service().State(), static_cast<DWORD>(SERVICE_STOPPED));

    // A quoted option is the same argument once the command line is split.
    run = RunTool(L"\"-t\" unknown");
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.err, L"");
}

TEST_F(OutputTest, OnlyDashKWithExactlyQueryPrintsTheReport)
{
    const ToolRun report = RunTool(L"-k --query");
    EXPECT_EQ(report.exitCode, 0u);
    EXPECT_EQ(report.out.rfind(L"Session 0 Details\r\n-----------------\r\n  session state : ", 0), 0u)
        << bench::Narrow(report.out);

    // The service is stopped: the revert control these send is no failure and prints nothing.
    for (const wchar_t* line : {L"-k", L"-k --QUERY", L"-k --query x", L"-k -query", L"-k \"--query \""})
    {
        SCOPED_TRACE(bench::Narrow(line));
        const ToolRun run = RunTool(line);
        EXPECT_EQ(run.exitCode, 0u);
        EXPECT_EQ(run.out, L"");
        EXPECT_EQ(run.err, L"");
    }
}

// A user's volatile environment naming a session, under HKEY_USERS, for the life of the object.
class SessionHive
{
public:
    SessionHive(const std::wstring& sid, const std::wstring& sessionName) : sid_(sid)
    {
        Set(L"\\Volatile Environment\\2", L"SESSIONNAME", sessionName);
        Set(L"\\Volatile Environment\\2", L"CLIENTNAME", L"CLIENT");
        Set(L"\\Volatile Environment", L"USERDOMAIN", L"QUILLON");
        Set(L"\\Volatile Environment", L"USERNAME", L"erin");
    }
    ~SessionHive()
    {
        RegDeleteTreeW(HKEY_USERS, sid_.c_str());
        RegDeleteKeyW(HKEY_USERS, sid_.c_str());
    }
    SessionHive(const SessionHive&) = delete;
    SessionHive& operator=(const SessionHive&) = delete;

private:
    void Set(const std::wstring& subkey, const wchar_t* name, const std::wstring& value)
    {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_USERS, (sid_ + subkey).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr),
                  0);
        RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
    }
    std::wstring sid_;
};

TEST_F(OutputTest, AReportRedirectedToAFileLandsInTheFile)
{
    // Session 0 with a remote client whose user's hive names it: the whole report, the line
    // that the hive lookup gives included, must reach the file.
    namespace ts = bench::termsrv;
    ts::Reset();
    ASSERT_TRUE(ts::ConnectRemote(0));
    ts::SessionInfo session0;
    ASSERT_TRUE(ts::FindSession(0, &session0));
    const SessionHive hive(L"S-1-5-21-7-7-7-1701", session0.winStation);

    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring file = std::wstring(temp) + L"quillon-report." + std::to_wstring(GetCurrentProcessId());
    const ToolRun piped = RunTool(L"-k --query");
    const ToolRun run = RunTool(L"-k --query", ToolPath(), 60000, file);
    ts::Reset();
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.out, L"");
    EXPECT_EQ(run.err, L"");

    const HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    std::wstring content(4096, L'\0');
    DWORD read = 0;
    ReadFile(handle, &content[0], static_cast<DWORD>(content.size() * sizeof(wchar_t)), &read, nullptr);
    CloseHandle(handle);
    DeleteFileW(file.c_str());
    content.resize(read / sizeof(wchar_t));
    EXPECT_EQ(content, piped.out);
    EXPECT_NE(content.find(L"  real user     : \"QUILLON\\erin\"\r\n"), std::wstring::npos) << bench::Narrow(content);
}

TEST_F(OutputTest, WithoutStandardHandlesTheToolStillWorksWithTheSameExitCodes)
{
    struct Case
    {
        const wchar_t* line;
        DWORD exitCode;
    };
    for (const Case& run : {Case{L"", 0}, Case{L"-x", 1}, Case{L"-k --query", 0}, Case{L"--replace-ui0detect", 0}})
    {
        SCOPED_TRACE(bench::Narrow(run.line));
        const HANDLE tool = StartTool(run.line);
        ASSERT_EQ(WaitForSingleObject(tool, 30000), WAIT_OBJECT_0);
        DWORD exitCode = 0;
        GetExitCodeProcess(tool, &exitCode);
        CloseHandle(tool);
        EXPECT_EQ(exitCode, run.exitCode);
    }
    EXPECT_EQ(QueryConfig().image, BuiltServicePath());
}

// Arbitrary argument lists: odd characters, very long arguments, many arguments. A first
// argument that is no option changes nothing and ends with the unknown-argument message; after
// "-k" the rest selects between the report and the revert, both harmless here.
TEST_F(OutputTest, ArbitraryArgumentListsEndCleanly)
{
    const std::wstring odd = L"\"\\ \t%^&|<>!*?'`$;,=/~Zz\x00e9\x4e2d\xd83d\xde00\x200b-";
    std::mt19937 random(20261208);
    auto pick = [&](size_t n) { return static_cast<size_t>(random() % n); };
    auto token = [&](size_t maxLength) {
        std::wstring text;
        const size_t length = 1 + pick(maxLength);
        for (size_t i = 0; i < length; ++i)
            text += pick(4) == 0 ? static_cast<wchar_t>(L'a' + pick(26)) : odd[pick(odd.size())];
        return text;
    };

    const Snapshot before = Snapshot::Take();
    for (int round = 0; round < 40; ++round)
    {
        const bool afterK = round % 8 == 7;
        // 'Z' and the non-ASCII letter survive any splitting, so the first argument is no option.
        std::wstring line = afterK ? L"-k" : L"Z" + token(round % 5 == 0 ? 8000 : 12) + L"\x00e9";
        const size_t count = round % 7 == 0 ? 300 : pick(6);
        for (size_t i = 0; i < count && line.size() < 30000; ++i)
            line += L" " + token(round % 3 == 0 ? 2000 : 10);
        if (line.size() > 30000)
            line.resize(30000);
        SCOPED_TRACE("round " + std::to_string(round) + ", " + std::to_string(line.size()) + " characters");

        const ToolRun run = RunTool(line, ToolPath(), 30000);
        ASSERT_TRUE(run.finished);
        if (afterK)
        {
            EXPECT_EQ(run.exitCode, 0u);
            EXPECT_EQ(run.err, L"");
        }
        else
        {
            EXPECT_EQ(run.exitCode, 1u);
            EXPECT_EQ(run.out, L"");
            EXPECT_EQ(run.err, Unknown);
        }
        ASSERT_TRUE(Snapshot::Take() == before);
    }
}
}
