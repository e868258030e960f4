// Faults: every call of the simulated Terminal Services failing while the service starts and
// while it runs, and broken registry values under the report's user lookup.

#include <gtest/gtest.h>

#include <algorithm>

#include <random>
#include <string>
#include <vector>

#include "../control/ControlTool.h"
#include "BenchClient.h"
#include "ServiceFixture.h"
#include "Soak.h"
#include "TermSrv.h"

namespace ts = bench::termsrv;
using namespace soak;

namespace
{
// The errors that the calls are known to fail with, and a refusal.
const DWORD Errors[] = {ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND, ERROR_NO_TOKEN, ERROR_NO_MORE_ITEMS,
                        ERROR_OUTOFMEMORY};

// CI tries each call with a refusal and one other error in turn; the long run with every error.
std::vector<DWORD> ErrorsFor(int call)
{
    if (Full())
        return std::vector<DWORD>(std::begin(Errors), std::end(Errors));
    return {ERROR_ACCESS_DENIED, Errors[1 + call % 4]};
}

class TerminalServicesFaults : public bench::ServiceFixture
{
protected:
    void TearDown() override
    {
        ts::ClearFaults();
        ServiceFixture::TearDown();
    }
    void Clean() override
    {
        ServiceFixture::Clean();
        DeleteFileW(CrashDumpPath().c_str());
    }

    // A user on the console, a second one disconnected, Terminal Services ready: every call of
    // the shell has work to do.
    static void Populate()
    {
        ASSERT_TRUE(ts::LogOn(1, L"alice"));
        ASSERT_TRUE(ts::ConnectConsole(1));
        ASSERT_TRUE(ts::LogOn(2, L"bob"));
        ASSERT_TRUE(ts::MakeReady());
    }

    // Things that make the shell call Terminal Services while it runs.
    static void Stir(HWND shell)
    {
        ts::LogOn(3, L"carol");
        ts::ConnectConsole(0);
        PostMessageW(shell, RegisterWindowMessageW(L"SHELLHOOK"), 1, 0);
        ts::ConnectRemote(2);
        ts::ConnectConsole(1);
    }

    // The service runs: a crash is a failure whether or not the manager saw the process end
    // (Wine's does not see a dead service stop), and a dump it left is named.
    void ExpectRunning(const std::wstring& what)
    {
        DWORD state = 0;
        bench::WaitUntil(
            [&] {
                state = service.State();
                return state == SERVICE_RUNNING || state == SERVICE_STOPPED;
            },
            10000);
        const SERVICE_STATUS_PROCESS status = service.Status();
        const bool alive = bench::ProcessWatch(status.dwProcessId).Running();
        ExpectNoDump(what);
        EXPECT_TRUE(state == SERVICE_RUNNING && alive)
            << bench::Narrow(what) << ": the service " << (state == SERVICE_RUNNING ? "process is gone" : state == SERVICE_STOPPED ? "ended" : "hangs")
            << " (state " << state << ", exit code " << status.dwWin32ExitCode << ")";
    }

    static void ExpectNoDump(const std::wstring& what)
    {
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(CrashDumpPath().c_str()))
            << bench::Narrow(what) << ": the service crashed, its dump is " << bench::Narrow(CrashDumpPath());
    }

    // The control tool ends within its bounds with 0 or 1.
    static void ExpectToolEnds(const wchar_t* arguments, const std::wstring& what)
    {
        const control::ToolRun run = control::RunTool(arguments, control::ToolPath(), 30000);
        EXPECT_TRUE(run.finished) << bench::Narrow(what) << ": the control tool did not end";
        EXPECT_LE(run.exitCode, 1u) << bench::Narrow(what) << ": the control tool's exit code";
    }

    void ExpectStops(const std::wstring& what)
    {
        if (service.State() == SERVICE_STOPPED)
            return;
        if (service.StopAndWait(10000))
            return;
        const SERVICE_STATUS_PROCESS status = service.Status();
        ADD_FAILURE() << bench::Narrow(what) << ": the stop was not answered within 10 s (state "
                      << status.dwCurrentState << ", pid " << status.dwProcessId << ", stopped "
                      << (service.WaitForState(SERVICE_STOPPED, 60000) ? "later" : "never") << ")";
    }
};

TEST_F(TerminalServicesFaults, EveryCallFailingAtStartOrWhileRunningNeitherHangsNorCrashesTheServiceOrTheTool)
{
    for (int call = 0; call < static_cast<int>(ts::Call::Count); ++call)
    {
        for (const DWORD error : ErrorsFor(call))
        {
            const std::wstring name = std::wstring(ts::CallName(static_cast<ts::Call>(call))) + L" failing with " +
                                      std::to_wstring(error);
            // While the service starts (and from then on).
            Clean();
            Populate();
            ts::InjectFault(static_cast<ts::Call>(call), error, false);
            ASSERT_EQ(0u, service.Start()) << bench::Narrow(name);
            ExpectRunning(name + L" at start");
            if (const HWND shell = bench::FindShellWindow())
            {
                Stir(shell);
                EXPECT_TRUE(bench::FlushWindow(shell, 10000)) << bench::Narrow(name) << ": the shell hangs";
            }
            ExpectToolEnds(L"-k --query", name + L" at start");
            ExpectToolEnds(L"-k", name + L" at start");
            ExpectStops(name + L" at start");
            ExpectNoDump(name + L" at start, by the end of the stop");
            ts::ClearFaults();

            // Only once the service runs.
            Clean();
            Populate();
            ASSERT_TRUE(service.StartAndWaitForShell()) << bench::Narrow(name);
            const HWND shell = bench::FindShellWindow();
            ASSERT_TRUE(bench::WaitUntil([&] { return ts::IsRegistered(shell); }, 10000));
            ts::InjectFault(static_cast<ts::Call>(call), error, false);
            Stir(shell);
            EXPECT_TRUE(bench::FlushWindow(shell, 10000)) << bench::Narrow(name) << ": the shell hangs";
            ExpectRunning(name + L" while running");
            ExpectToolEnds(L"-k --query", name + L" while running");
            ExpectToolEnds(L"-k", name + L" while running");
            ExpectStops(name + L" while running");
            ExpectNoDump(name + L" while running, by the end of the stop");
            ts::ClearFaults();
            if (HasFailure())
                return;
        }
    }
}

// --- The report's user lookup over broken values -------------------------------------------

// A user's key under HKEY_USERS, deleted with everything below it.
class Hive
{
public:
    explicit Hive(std::wstring sid) : sid_(std::move(sid)) { RegDeleteTreeW(HKEY_USERS, sid_.c_str()); }
    ~Hive()
    {
        RegDeleteTreeW(HKEY_USERS, sid_.c_str());
        RegDeleteKeyW(HKEY_USERS, sid_.c_str());
    }
    Hive(const Hive&) = delete;
    Hive& operator=(const Hive&) = delete;

    void SetRaw(const std::wstring& subkey, const wchar_t* name, DWORD type, const void* data, DWORD bytes)
    {
        HKEY key = nullptr;
        ASSERT_EQ(0, RegCreateKeyExW(HKEY_USERS, (sid_ + L"\\" + subkey).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                     nullptr, &key, nullptr));
        if (name != nullptr)
            EXPECT_EQ(0, RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), bytes));
        RegCloseKey(key);
    }

private:
    std::wstring sid_;
};

enum class Shape
{
    Missing,
    Good,
    Empty,
    WrongType,      // a number where a string belongs
    Unterminated,   // a string without its terminator
    OverLong,       // far longer than any name
    OddLength,      // a string of an odd number of bytes
    Count
};

// Writes the value in the shape; `good` is what a sound value holds.
void Write(Hive& hive, const std::wstring& subkey, const wchar_t* name, Shape shape, const std::wstring& good)
{
    const std::wstring overLong(5000, L'x');
    const DWORD number = 42;
    switch (shape)
    {
    case Shape::Missing:
        hive.SetRaw(subkey, nullptr, 0, nullptr, 0);
        break;
    case Shape::Good:
        hive.SetRaw(subkey, name, REG_SZ, good.c_str(), static_cast<DWORD>((good.size() + 1) * sizeof(wchar_t)));
        break;
    case Shape::Empty:
        hive.SetRaw(subkey, name, REG_SZ, L"", sizeof(wchar_t));
        break;
    case Shape::WrongType:
        hive.SetRaw(subkey, name, REG_DWORD, &number, sizeof number);
        break;
    case Shape::Unterminated:
        hive.SetRaw(subkey, name, REG_SZ, good.c_str(), static_cast<DWORD>(good.size() * sizeof(wchar_t)));
        break;
    case Shape::OverLong:
        hive.SetRaw(subkey, name, REG_EXPAND_SZ, overLong.c_str(),
                    static_cast<DWORD>((overLong.size() + 1) * sizeof(wchar_t)));
        break;
    case Shape::OddLength:
        hive.SetRaw(subkey, name, REG_SZ, good.c_str(), static_cast<DWORD>(good.size() * sizeof(wchar_t) - 1));
        break;
    default:
        break;
    }
}

TEST(ReportRegistryFaults, EveryMixOfBrokenValuesPrintsTheReportOrItsErrorBlock)
{
    ts::Reset();
    ASSERT_TRUE(ts::ConnectRemote(0));
    ts::SessionInfo session0;
    ASSERT_TRUE(ts::FindSession(0, &session0));
    const std::wstring station = session0.winStation;

    const wchar_t* const Names[] = {L"SESSIONNAME", L"CLIENTNAME", L"USERDOMAIN", L"USERNAME"};
    std::mt19937 random(20261208);
    const int mixes = Count(24, 200);
    for (int mix = 0; mix < mixes; ++mix)
    {
        Shape shapes[4];
        for (Shape& shape : shapes)
            shape = static_cast<Shape>(random() % static_cast<unsigned>(Shape::Count));
        // Every value sound first, then each shape at least once: whatever the count.
        if (mix == 0)
            std::fill(std::begin(shapes), std::end(shapes), Shape::Good);
        else if (mix <= static_cast<int>(Shape::Count))
            shapes[mix % 4] = static_cast<Shape>(mix - 1);

        {
            Hive hive(L"S-1-5-21-9-9-9-" + std::to_wstring(4000 + mix));
            Write(hive, L"Volatile Environment\\0", Names[0], shapes[0], station);
            Write(hive, L"Volatile Environment\\0", Names[1], shapes[1], L"CLIENT");
            Write(hive, L"Volatile Environment", Names[2], shapes[2], L"QUILLON");
            Write(hive, L"Volatile Environment", Names[3], shapes[3], L"alice");

            const control::ToolRun run = control::RunTool(L"-k --query", control::ToolPath(), 30000);
            const std::string which = "mix " + std::to_string(mix) + " (" + std::to_string(int(shapes[0])) + "," +
                                      std::to_string(int(shapes[1])) + "," + std::to_string(int(shapes[2])) + "," +
                                      std::to_string(int(shapes[3])) + ")";
            ASSERT_TRUE(run.finished) << which;
            EXPECT_EQ(0u, run.exitCode) << which;
            // The whole report: its seven lines of the connected session 0, then either the
            // real user's line or, instead of it, the error block.
            const std::wstring head = L"Session 0 Details\r\n-----------------\r\n  session state : connected\r\n"
                                      L"  session name  : \"" + station + L"\"\r\n  remote control: true\r\n"
                                      L"  client name   : \"CLIENT\"\r\n  RDP user      : \"\"\r\n";
            EXPECT_EQ(0u, run.out.find(head)) << which << ": " << bench::Narrow(run.out);
            const std::wstring rest = run.out.substr(std::min(head.size(), run.out.size()));
            const bool allGood =
                std::all_of(std::begin(shapes), std::end(shapes), [](Shape shape) { return shape == Shape::Good; });
            if (allGood)
            {
                // Nothing to fail on: the report is due, not the error block.
                EXPECT_EQ(run.err, L"") << which << ": every value is sound";
                EXPECT_EQ(rest, L"  real user     : \"QUILLON\\alice\"\r\n") << which;
            }
            else if (run.err.empty())
            {
                EXPECT_EQ(0u, rest.find(L"  real user     : \"")) << which << ": " << bench::Narrow(rest);
                EXPECT_EQ(1, std::count(rest.begin(), rest.end(), L'\n')) << which << ": " << bench::Narrow(rest);
            }
            else
            {
                EXPECT_EQ(0u, run.err.find(L"Error finding corresponding user name from HKU registry hive:\r\n["))
                    << which << ": " << bench::Narrow(run.err);
                EXPECT_EQ(rest, L"") << which;
            }
        }
        if (::testing::Test::HasFailure())
            break;
    }
    ts::Reset();
}
}
