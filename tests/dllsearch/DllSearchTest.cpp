// A DLL dropped beside a program must not run inside it: the service runs as LocalSystem, the
// control tool and the viewer elevated. Every DLL comes from the system folder.

#include <gtest/gtest.h>

#include "../control/ControlTool.h"
#include "BenchClient.h"
#include "BenchState.h"

namespace
{
const wchar_t* const Programs[] = {L"Quillon.exe", L"QuillonControl.exe", L"QuillonExplorer.exe", L"QuillonTray.exe",
                                   L"QuillonViewer.exe"};
const wchar_t* const Decoys[] = {L"wtsapi32.dll", L"userenv.dll", L"dbghelp.dll", L"comctl32.dll", L"winsta.dll"};

bool Running(const wchar_t* image) { return !bench::ProcessesNamed(image).empty(); }

TEST(DllSearch, ProgramsBesideDecoysOfSystemDllsLoadNoneAndStillDoTheirJob)
{
    BenchState* const state = OpenBenchState();
    ASSERT_NE(state, nullptr);
    const control::EntryGuard entry;
    const control::ScratchFolder folder(L"planted-dlls");
    for (const wchar_t* program : Programs)
        folder.Copy(bench::ProgramDirectory() + L"\\" + program, program);
    for (const wchar_t* decoy : Decoys)
        folder.Copy(bench::ProgramDirectory() + L"\\..\\testbench\\decoy\\" + decoy, decoy);
    const std::wstring tool = folder.path() + L"\\QuillonControl.exe";
    const LONG loadsBefore = state->decoyDllLoads;
    const LONG revertsBefore = state->decoyRevertCalls;
    const LONG systemRevertsBefore = state->winstaRevertCalls;

    // Installed from that folder, the service starts its helpers from there as well.
    const control::ToolRun install = control::RunTool(L"-i", tool);
    EXPECT_EQ(install.exitCode, 0u) << bench::Narrow(install.err);
    EXPECT_TRUE(control::WaitForServiceStarted()) << "the service did not start with its shell window";
    EXPECT_TRUE(bench::WaitUntil([] { return Running(L"QuillonExplorer.exe") && Running(L"QuillonTray.exe"); },
                                 15000))
        << "the helpers did not start";

    const control::ToolRun report = control::RunTool(L"-k --query", tool);
    EXPECT_EQ(report.exitCode, 0u) << bench::Narrow(report.err);
    EXPECT_FALSE(report.out.empty());
    const control::ToolRun revert = control::RunTool(L"-k", tool);
    EXPECT_EQ(revert.exitCode, 0u) << bench::Narrow(revert.err);
    EXPECT_TRUE(bench::WaitUntil([&] { return state->winstaRevertCalls > systemRevertsBefore; }, 5000))
        << "the service's revert did not reach the system's winsta.dll";

    // The viewer beside the decoys lists a window through the agent that was started from there.
    const bench::StartedProgram window(bench::ProgramDirectory() + L"\\..\\testbench\\BenchDialogs.exe",
                                       L"--canvas still 60");
    const std::wstring viewer = folder.path() + L"\\QuillonViewer.exe";
    control::ToolRun list;
    EXPECT_TRUE(bench::WaitUntil(
        [&] {
            list = control::RunTool(L"--list", viewer);
            return list.exitCode == 0 && list.out.find(L"\tBench still\tWinSta0\\Default\r\n") != std::wstring::npos;
        },
        15000, 200))
        << "exit code " << list.exitCode << ": " << bench::Narrow(list.out) << bench::Narrow(list.err);

    const control::ToolRun stop = control::RunTool(L"-t", tool);
    EXPECT_EQ(stop.exitCode, 0u) << bench::Narrow(stop.err);
    EXPECT_EQ(control::ServicePid(), 0u);

    EXPECT_EQ(state->decoyDllLoads, loadsBefore) << "loaded: " << bench::Narrow(state->lastDecoyLoad);
    EXPECT_EQ(state->decoyRevertCalls, revertsBefore);
}
}
