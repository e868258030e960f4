#include <gtest/gtest.h>

#include <cstdlib>

#include <windows.h>

#include <string>
#include <vector>

#include <BenchClient.h>
#include <TermSrv.h>

#include "session/Launch.h"
#include "session/Names.h"

namespace
{
constexpr DWORD EndTimeoutMs = 10000;

// A shipped helper started by the test.
class Helper : public bench::StartedProgram
{
public:
    explicit Helper(const wchar_t* image) : StartedProgram(bench::BinPath(image)) {}
};

int CountWindows(const wchar_t* className)
{
    int count = 0;
    for (HWND window = FindWindowExW(nullptr, nullptr, className, nullptr); window != nullptr;
         window = FindWindowExW(nullptr, window, className, nullptr))
        ++count;
    return count;
}

TEST(helpers_explorer, KeepsATaskbarWindowUntilItIsAskedToClose)
{
    Helper explorer(L"QuillonExplorer.exe");
    ASSERT_TRUE(explorer.valid());
    const HWND window = explorer.Window(L"Shell_TrayWnd");
    ASSERT_NE(window, nullptr);
    const int taskbars = CountWindows(L"Shell_TrayWnd");

    Helper second(L"QuillonExplorer.exe");
    ASSERT_TRUE(second.Ended(EndTimeoutMs)) << "one copy per session";
    EXPECT_EQ(second.ExitCode(), 0u);
    EXPECT_EQ(CountWindows(L"Shell_TrayWnd"), taskbars);

    EXPECT_TRUE(explorer.Running());
    PostMessageW(window, WM_CLOSE, 0, 0);
    ASSERT_TRUE(explorer.Ended(EndTimeoutMs));
    EXPECT_EQ(explorer.ExitCode(), 0u);
}

TEST(helpers_tray, RunsOncePerSessionAndEndsOnClose)
{
    Helper tray(L"QuillonTray.exe");
    ASSERT_TRUE(tray.valid());
    const HWND window = tray.Window(L"QuillonTray");
    ASSERT_NE(window, nullptr);

    Helper second(L"QuillonTray.exe");
    ASSERT_TRUE(second.Ended(EndTimeoutMs)) << "one copy per session";
    EXPECT_EQ(second.ExitCode(), 0u);
    EXPECT_EQ(CountWindows(L"QuillonTray"), 1);

    PostMessageW(window, WM_CLOSE, 0, 0);
    ASSERT_TRUE(tray.Ended(EndTimeoutMs));
    EXPECT_EQ(tray.ExitCode(), 0u);
}

TEST(helpers_tray, EndsWhenTheQuitAllEventIsSetAndTheNextCopyStays)
{
    {
        Helper tray(L"QuillonTray.exe");
        ASSERT_NE(tray.Window(L"QuillonTray"), nullptr);
        // As the control tool does it: open for setting only, never create.
        const HANDLE quitAll = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"Global\\QuillonTray_QuitAll");
        ASSERT_NE(quitAll, nullptr) << "the tray created the event";
        SetEvent(quitAll);
        CloseHandle(quitAll);
        ASSERT_TRUE(tray.Ended(EndTimeoutMs));
        EXPECT_EQ(tray.ExitCode(), 0u);
    }
    // A request that is still set must not end a copy started after it (the service starts
    // its copy again at once), or the two would take turns without end.
    const HANDLE keep = OpenEventW(SYNCHRONIZE, FALSE, L"Global\\QuillonTray_QuitAll");
    Helper next(L"QuillonTray.exe");
    const HWND window = next.Window(L"QuillonTray");
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(bench::FlushWindow(window));
    EXPECT_TRUE(IsWindow(window));
    EXPECT_TRUE(next.Running());
    if (keep != nullptr)
        CloseHandle(keep);
    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_TRUE(next.Ended(EndTimeoutMs));
}

// Any program on the desktop can post to the tray: no message it posts hands the tray memory to
// free, or makes the window's object let go of a window that lives on.
TEST(helpers_tray, MessagesThatOthersPostFreeNothingAndTheTrayStillEndsOnClose)
{
    constexpr UINT FeedChanged = WM_APP + 3;
    Helper tray(TrayImage);
    const HWND window = tray.Window(TrayWindowClass);
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(PostMessageW(window, FeedChanged, 0, 0x5A5A5A50));
    ASSERT_TRUE(PostMessageW(window, FeedChanged, 0, 0));
    ASSERT_TRUE(PostMessageW(window, WM_NCDESTROY, 0, 0));
    // Handled after the ones above: a tray that freed the pointer has crashed by then, and one
    // whose object let go of its window no longer ends on a close.
    ASSERT_TRUE(PostMessageW(window, WM_CLOSE, 0, 0));
    ASSERT_TRUE(tray.Ended(30000)) << "the tray did not end on the close";
    EXPECT_EQ(tray.ExitCode(), 0u);
}

// Another program made the helpers' names first (here without an owner, as Wine makes objects
// without a descriptor; in session 0 Local\\ is the global namespace, which any session reaches):
// the helpers run all the same, and the tray takes a set event of that program for no request.
TEST(helpers_names, NamesTakenFirstByAnotherProgramChangeNothing)
{
    DWORD ownSession = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &ownSession);
    std::vector<HANDLE> squatted;
    for (const std::wstring& name : {std::wstring(L"Local\\QuillonExplorer"), std::wstring(L"Local\\QuillonTray-0"),
                                     L"Local\\QuillonTray-" + std::to_wstring(ownSession)})
        squatted.push_back(CreateMutexW(nullptr, TRUE, name.c_str()));
    const HANDLE quitAll = CreateEventW(nullptr, TRUE, FALSE, L"Global\\QuillonTray_QuitAll");
    ASSERT_NE(quitAll, nullptr);
    ASSERT_NE(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS)) << "a tray of another test still runs";

    Helper explorer(L"QuillonExplorer.exe");
    EXPECT_NE(explorer.Window(L"Shell_TrayWnd"), nullptr) << "the explorer helper runs";
    Helper tray(L"QuillonTray.exe");
    const HWND window = tray.Window(L"QuillonTray");
    EXPECT_NE(window, nullptr) << "the tray runs";
    SetEvent(quitAll);
    EXPECT_FALSE(tray.Ended(3000)) << "the other program's event ended the tray";

    CloseHandle(quitAll);
    for (const HANDLE mutex : squatted)
        CloseHandle(mutex);
    for (Helper* helper : {&explorer, &tray})
    {
        PostMessageW(helper == &tray ? window : explorer.Window(L"Shell_TrayWnd"), WM_CLOSE, 0, 0);
        EXPECT_TRUE(helper->Ended(EndTimeoutMs));
    }
}

// The session 0 copy reads other programs' windows for the agent: a fault in any of its threads
// must end it with a dump of its own, not the service's.
TEST(helpers_tray, AFaultEndsTheTrayWithItsOwnDump)
{
    const std::wstring dump = bench::LocalLowFolder() + L"\\QuillonTray.dmp";
    const std::wstring serviceDump = bench::LocalLowFolder() + L"\\Quillon.dmp";
    DeleteFileW(dump.c_str());
    DeleteFileW(serviceDump.c_str());
    Helper tray(TrayImage);
    ASSERT_NE(tray.Window(TrayWindowClass), nullptr);

    const bench::FaultEnd fault = bench::FaultAndReadDump(tray, dump);
    ASSERT_TRUE(fault.faulted && fault.ended) << "faulted " << fault.faulted;
    EXPECT_EQ(fault.exitCode, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
    EXPECT_TRUE(fault.dump.valid) << bench::Narrow(dump) << ": " << fault.dump.problem;
    EXPECT_EQ(fault.dump.exceptionCode, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
    EXPECT_EQ(GetFileAttributesW(serviceDump.c_str()), INVALID_FILE_ATTRIBUTES) << "the service's dump";
    DeleteFileW(dump.c_str());
}

bool HasMenuOpen(DWORD pid)
{
    for (HWND menu = FindWindowExW(nullptr, nullptr, L"#32768", nullptr); menu != nullptr;
         menu = FindWindowExW(nullptr, menu, L"#32768", nullptr))
    {
        DWORD owner = 0;
        GetWindowThreadProcessId(menu, &owner);
        if (owner == pid && IsWindowVisible(menu))
            return true;
    }
    return false;
}

// A copy with its menu open when the request comes, and a copy starting in a user's session at
// that moment: the first must still end at once, and the newcomer, which takes the request for
// an old one, must neither quit nor cancel it, yet hear the next one.
TEST(helpers_tray, QuitAllEndsACopyInItsMenuAndSparesOneStartingWithIt)
{
    namespace ts = bench::termsrv;
    ts::Reset();
    ASSERT_TRUE(ts::LogOn(2, L"alice"));
    Helper first(L"QuillonTray.exe");
    const HWND window = first.Window(L"QuillonTray");
    ASSERT_NE(window, nullptr);
    PostMessageW(window, WM_APP + 1, 0, WM_RBUTTONUP);
    ASSERT_TRUE(bench::WaitUntil([&] { return HasMenuOpen(first.pid()); }, 5000)) << "the icon's menu opened";

    const HANDLE quitAll =
        OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, L"Global\\QuillonTray_QuitAll");
    ASSERT_NE(quitAll, nullptr);
    SetEvent(quitAll);
    ScopedHandle second = launch_in_session(L"QuillonTray.exe", 2);
    ASSERT_TRUE(second);
    EXPECT_TRUE(first.Ended(2000)) << "the copy in its menu ended within 2 s";

    EXPECT_TRUE(bench::WaitUntil([&] { return WaitForSingleObject(quitAll, 0) == WAIT_TIMEOUT; }, 8000))
        << "the newcomer retired the old request";
    EXPECT_EQ(WaitForSingleObject(second.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "the newcomer runs";
    SetEvent(quitAll);
    EXPECT_EQ(WaitForSingleObject(second.get(), 2000), static_cast<DWORD>(WAIT_OBJECT_0))
        << "the newcomer ends on the next request";

    if (WaitForSingleObject(second.get(), 0) == WAIT_TIMEOUT)
        TerminateProcess(second.get(), 1);
    CloseHandle(quitAll);
    ts::Reset();
}
}
