// The stop procedure against services that stay in pending states: the UI0Detect entry is
// pointed at the bench's BenchService.exe for each test and put back afterwards.

#include <gtest/gtest.h>

#include "BenchClient.h"
#include "BenchServiceNames.h"
#include "ControlTool.h"

using namespace control;

namespace
{
class RefusedStopTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        release_ = CreateEventW(nullptr, TRUE, FALSE, BenchServiceReleaseEvent);
        ASSERT_NE(release_, nullptr);
        ResetEvent(release_);
        ASSERT_TRUE(bench::Service().StopAndWait(20000));
    }

    void TearDown() override
    {
        SetEvent(release_);
        bench::Service().WaitForState(SERVICE_STOPPED, 20000);
        CloseHandle(release_);
    }

    // Runs the bench service as UI0Detect until it reports the state.
    void StartBenchService(const wchar_t* mode, DWORD state)
    {
        const std::wstring image =
            L"\"" + bench::ProgramDirectory() + L"\\..\\testbench\\BenchService.exe\" " + mode;
        SetImage(image, SERVICE_DEMAND_START, SERVICE_NO_CHANGE);
        bench::Service service;
        ASSERT_EQ(service.Start(), 0u);
        ASSERT_TRUE(service.WaitForState(state, 15000)) << "state " << service.State();
    }

    // The code of a failure line "[system:CODE] ...".
    static DWORD CodeOf(const std::wstring& line)
    {
        const size_t colon = line.find(L':');
        return colon == std::wstring::npos ? 0 : static_cast<DWORD>(std::stoul(line.substr(colon + 1)));
    }

    EntryGuard guard_;
    HANDLE release_ = nullptr;
};

TEST_F(RefusedStopTest, AStopRefusedWhileStartingFailsWithTheStateAndStartsNothing)
{
    StartBenchService(L"start-pending", SERVICE_START_PENDING);
    const DWORD pid = ServicePid();

    for (const wchar_t* option : {L"-t", L"-s", L"-r", L"-u"})
    {
        SCOPED_TRACE(bench::Narrow(option));
        const ToolRun run = RunTool(option);
        EXPECT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, 1u);
        EXPECT_EQ(run.out, L"");
        const DWORD code = CodeOf(run.err);
        EXPECT_TRUE(code == ERROR_INVALID_SERVICE_CONTROL || code == ERROR_SERVICE_CANNOT_ACCEPT_CTRL) << code;
        EXPECT_EQ(run.err, FailureLine(code, "Couldn't stop UI0Detect service at this point while it has been in state 2"));
        EXPECT_EQ(bench::Service().State(), static_cast<DWORD>(SERVICE_START_PENDING));
        EXPECT_EQ(ServicePid(), pid);
    }
    // The uninstall failed at its first step: the image was not restored.
    EXPECT_NE(QueryConfig().image.find(L"BenchService.exe"), std::wstring::npos);
}

TEST_F(RefusedStopTest, AServiceAlreadyStoppingIsWaitedFor)
{
    StartBenchService(L"never-stops", SERVICE_RUNNING);
    ASSERT_EQ(bench::Service().Control(SERVICE_CONTROL_STOP), 0u);
    ASSERT_TRUE(bench::Service().WaitForState(SERVICE_STOP_PENDING, 10000));

    // A control refused while the service stops anyway is no failure.
    const ToolRun revert = RunTool(L"-k");
    EXPECT_EQ(revert.exitCode, 0u);
    EXPECT_EQ(revert.err, L"");

    const HANDLE tool = StartTool(L"-t");
    ASSERT_NE(tool, nullptr);
    EXPECT_EQ(WaitForSingleObject(tool, 1500), static_cast<DWORD>(WAIT_TIMEOUT)) << "the tool did not wait";
    SetEvent(release_);
    ASSERT_EQ(WaitForSingleObject(tool, 20000), WAIT_OBJECT_0);
    EXPECT_EQ(bench::Service().State(), static_cast<DWORD>(SERVICE_STOPPED));
    DWORD exitCode = 0;
    GetExitCodeProcess(tool, &exitCode);
    EXPECT_EQ(exitCode, 0u);
    CloseHandle(tool);
}

TEST_F(RefusedStopTest, AServiceThatNeverStopsEndsTheWaitWithATimeOut)
{
    StartBenchService(L"never-stops", SERVICE_RUNNING);
    const ToolRun run = RunTool(L"-s", ToolPath(), 90000);
    EXPECT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_EQ(run.out, L"");
    EXPECT_EQ(run.err, FailureLine(ERROR_SERVICE_REQUEST_TIMEOUT, "Couldn't stop UI0Detect service"));
    EXPECT_EQ(bench::Service().State(), static_cast<DWORD>(SERVICE_STOP_PENDING));
}
}
