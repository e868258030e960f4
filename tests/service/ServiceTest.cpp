// The real Quillon.exe as the UI0Detect service under Wine's service control manager.

#include <gtest/gtest.h>

#include <algorithm>

#include "BenchClient.h"
#include "BenchState.h"

namespace
{
constexpr DWORD ShellStyle = WS_POPUP | WS_CLIPSIBLINGS | WS_CLIPCHILDREN;
constexpr uint32_t Yellow = 0xFFFF00;
constexpr uint32_t Black = 0x000000;

bool SameRect(const RECT& a, const RECT& b)
{
    return EqualRect(&a, &b) != FALSE;
}

std::wstring DecoyPath() { return bench::ProgramDirectory() + L"\\winsta.dll"; }

class ServiceTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        // A winsta.dll beside the program and in its current directory must never be the one used.
        const std::wstring source = bench::ProgramDirectory() + L"\\" + TEXT(QUILLON_DECOY_WINSTA);
        CopyFileW(source.c_str(), DecoyPath().c_str(), FALSE);
    }
    static void TearDownTestSuite() { DeleteFileW(DecoyPath().c_str()); }

    void SetUp() override
    {
        state = OpenBenchState();
        ASSERT_NE(state, nullptr);
        ASSERT_TRUE(service.StartAndWaitForShell()) << "the service did not come up with its window";
        shell = bench::FindShellWindow();
        ASSERT_NE(shell, nullptr);
    }

    bench::Service service;
    BenchState* state = nullptr;
    HWND shell = nullptr;
};

TEST_F(ServiceTest, RunsWithItsShellOverTheVirtualScreenAtTheBottom)
{
    EXPECT_EQ(service.State(), static_cast<DWORD>(SERVICE_RUNNING));
    wchar_t className[64] = {};
    GetClassNameW(shell, className, 64);
    EXPECT_STREQ(className, L"$$$UI0Background");
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(shell, GWL_STYLE)), ShellStyle | WS_VISIBLE);
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(shell, GWL_EXSTYLE)), static_cast<DWORD>(WS_EX_TOOLWINDOW));
    RECT rect{};
    GetWindowRect(shell, &rect);
    EXPECT_TRUE(SameRect(rect, bench::VirtualScreen()));
    EXPECT_TRUE(IsWindowVisible(shell));
    EXPECT_NE(GetForegroundWindow(), shell) << "shown without taking the activation";
    EXPECT_EQ(GetWindow(shell, GW_HWNDNEXT), nullptr) << "not at the bottom of the z-order";
}

TEST_F(ServiceTest, CloseRequestsAndOtherCommandsLeaveTheShellOpen)
{
    DWORD_PTR result = 99;
    ASSERT_NE(SendMessageTimeoutW(shell, WM_CLOSE, 0, 0, SMTO_BLOCK, 5000, &result), 0);
    EXPECT_EQ(result, 0u);
    PostMessageW(shell, WM_CLOSE, 0, 0);
    PostMessageW(shell, WM_SYSCOMMAND, SC_CLOSE, 0); // Alt+F4
    PostMessageW(shell, WM_COMMAND, 1, 0);
    PostMessageW(shell, WM_COMMAND, MAKEWPARAM(0, 1), 0);
    ASSERT_TRUE(bench::FlushWindow(shell));
    EXPECT_TRUE(IsWindow(shell));
    EXPECT_EQ(bench::FindShellWindow(), shell);
    EXPECT_EQ(service.State(), static_cast<DWORD>(SERVICE_RUNNING));
}

// Any program on the desktop can post to the shell and its thread: only the service's own stop
// request stops it.
TEST_F(ServiceTest, StopsQuitsAndDestroysThatOthersPostLeaveTheServiceRunning)
{
    const DWORD thread = GetWindowThreadProcessId(shell, nullptr);
    ASSERT_TRUE(PostMessageW(shell, WM_COMMAND, 0, 0));   // the stop command itself
    ASSERT_TRUE(PostMessageW(shell, WM_DESTROY, 0, 0));
    ASSERT_TRUE(PostMessageW(shell, WM_NCDESTROY, 0, 0));
    ASSERT_TRUE(PostMessageW(shell, WM_QUIT, 0, 0));
    ASSERT_TRUE(PostThreadMessageW(thread, WM_QUIT, 0, 0));
    // Posted messages are handled in order: once an activation posted last has sent the shell
    // back to the bottom, all of the above were taken from the queue.
    SetWindowPos(shell, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    ASSERT_NE(GetWindow(shell, GW_HWNDNEXT), nullptr) << "the bench could not raise the window";
    ASSERT_TRUE(PostMessageW(shell, WM_ACTIVATE, WA_CLICKACTIVE, 0));
    EXPECT_TRUE(bench::WaitUntil([&] { return GetWindow(shell, GW_HWNDNEXT) == nullptr; }, 5000))
        << "the shell no longer handles its messages";
    EXPECT_TRUE(IsWindow(shell));
    EXPECT_EQ(service.State(), static_cast<DWORD>(SERVICE_RUNNING));

    // The service's own stop still reaches the shell, and ends the service as ever.
    SERVICE_STATUS status{};
    ASSERT_EQ(service.Control(SERVICE_CONTROL_STOP, &status), 0u);
    EXPECT_TRUE(service.WaitForState(SERVICE_STOPPED, 10000)) << "the stop request no longer reaches the shell";
    EXPECT_EQ(service.Status().dwWin32ExitCode, 0u);
    EXPECT_FALSE(IsWindow(shell));
}

TEST_F(ServiceTest, ActivationSendsTheShellBackToTheBottom)
{
    SetWindowPos(shell, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    ASSERT_NE(GetWindow(shell, GW_HWNDNEXT), nullptr) << "the bench could not raise the window";
    DWORD_PTR result = 99;
    SendMessageTimeoutW(shell, WM_ACTIVATE, WA_CLICKACTIVE, 0, SMTO_BLOCK, 5000, &result);
    EXPECT_EQ(result, 0u);
    EXPECT_TRUE(bench::WaitUntil([&] { return GetWindow(shell, GW_HWNDNEXT) == nullptr; }, 5000));
}

TEST_F(ServiceTest, ControlsOtherThanStopKeepItRunning)
{
    EXPECT_EQ(service.Control(SERVICE_CONTROL_INTERROGATE), 0u);
    EXPECT_EQ(service.Control(200), 0u) << "an unknown user code is answered";
    EXPECT_EQ(service.State(), static_cast<DWORD>(SERVICE_RUNNING));

    const LONG before = state->winstaRevertCalls;
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(service.Control(129), 0u);
    EXPECT_TRUE(bench::WaitUntil([&] { return state->winstaRevertCalls == before + 3; }, 5000))
        << "reverts counted: " << state->winstaRevertCalls - before;
    EXPECT_EQ(state->decoyRevertCalls, 0) << "winsta.dll was loaded from the program's folder";
    EXPECT_EQ(service.State(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_TRUE(IsWindow(shell));
}

TEST_F(ServiceTest, StopEndsWithExitCodeZeroAndTheServiceStartsAgain)
{
    const bench::ProcessWatch process(service.Status().dwProcessId);
    ASSERT_TRUE(process.valid());

    SERVICE_STATUS status{};
    ASSERT_EQ(service.Control(SERVICE_CONTROL_STOP, &status), 0u);
    EXPECT_TRUE(status.dwCurrentState == SERVICE_STOP_PENDING || status.dwCurrentState == SERVICE_STOPPED);
    ASSERT_TRUE(service.WaitForState(SERVICE_STOPPED, 10000));
    EXPECT_EQ(service.Status().dwWin32ExitCode, 0u);
    EXPECT_TRUE(process.Ended(10000));
    EXPECT_EQ(process.ExitCode(), 0u);
    EXPECT_FALSE(IsWindow(shell));

    ASSERT_TRUE(service.StartAndWaitForShell());
    EXPECT_EQ(service.State(), static_cast<DWORD>(SERVICE_RUNNING));
}

// A stop that lands while the shell window is still being made must not be lost.
TEST_F(ServiceTest, AStopRightAfterTheStartStillStopsTheService)
{
    for (int round = 0; round < 5; ++round)
    {
        ASSERT_TRUE(service.StopAndWait());
        ASSERT_EQ(service.Start(), 0u);
        ASSERT_TRUE(bench::WaitUntil([&] { return service.Control(SERVICE_CONTROL_STOP) == 0; }, 10000, 1));
        EXPECT_TRUE(service.WaitForState(SERVICE_STOPPED, 10000)) << "round " << round;
        EXPECT_EQ(service.Status().dwWin32ExitCode, 0u);
        EXPECT_TRUE(bench::WaitUntil([] { return bench::FindShellWindow() == nullptr; }, 5000));
    }
}

TEST_F(ServiceTest, BannerFollowsTheWindowsVersionTheProgramSees)
{
    struct Case
    {
        const wchar_t* version;
        std::vector<std::wstring> lines;
    };
    const Case cases[] = {
        {L"win81", {L"SESSION 0"}},
        {L"win10",
         {L"SESSION 0", L" ", L"You are on Windows 10, mouse and keyboard input doesn't work.",
          L"You will be returned to your logged in interactive session after 30 seconds."}},
    };
    const LONG lineHeight = bench::MeasureTextLines({L"SESSION 0"}).bottom;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(bench::Narrow(c.version));
        bench::SetProgramWindowsVersion(L"Quillon.exe", c.version);
        ASSERT_TRUE(service.StopAndWait());
        ASSERT_TRUE(service.StartAndWaitForShell());
        const HWND window = bench::FindShellWindow();
        RECT screen{};
        GetWindowRect(window, &screen);
        RECT text = bench::MeasureTextLines(c.lines);
        OffsetRect(&text, screen.left, screen.top);

        bench::Pixels pixels;
        ASSERT_TRUE(bench::WaitUntil(
            [&] {
                pixels = bench::CaptureScreen(screen);
                return bench::CountOf(pixels, Yellow) > 0;
            },
            5000, 100))
            << "no yellow text on the screen";
        const RECT yellow = bench::BoundingBoxOf(pixels, Yellow);
        EXPECT_GE(yellow.left, text.left);
        EXPECT_GE(yellow.top, text.top);
        EXPECT_LE(yellow.right, text.right);
        EXPECT_LE(yellow.bottom, text.bottom);
        // Text of the last line reaches below the first lines: four lines, not one.
        EXPECT_EQ(yellow.bottom > text.top + lineHeight, c.lines.size() > 1);

        size_t strays = 0;
        for (LONG y = screen.top; y < screen.bottom; ++y)
            for (LONG x = screen.left; x < screen.right; ++x)
            {
                POINT point{x, y};
                if (!PtInRect(&text, point) && pixels.at(x, y) != Black)
                    ++strays;
            }
        EXPECT_EQ(strays, 0u) << "pixels other than black outside the text rectangle";
    }
    bench::SetProgramWindowsVersion(L"Quillon.exe", nullptr);
}

TEST_F(ServiceTest, StartedOutsideTheServiceManagerItExitsAtOnceWith1063)
{
    ASSERT_TRUE(service.StopAndWait());
    ASSERT_TRUE(bench::WaitUntil([] { return bench::FindShellWindow() == nullptr; }, 5000));

    bench::StartedProgram program(bench::BinPath(L"Quillon.exe"));
    ASSERT_TRUE(program.valid());
    EXPECT_TRUE(program.Ended(10000));
    EXPECT_EQ(program.ExitCode(), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
    EXPECT_EQ(bench::FindShellWindow(), nullptr);
}
}
