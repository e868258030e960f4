// The simulated Terminal Services as the programs under test see it through wtsapi32.dll:
// records in the Windows layouts, user tokens, the sessions of processes, the notifications
// of a console switch and faults on demand.

#include <gtest/gtest.h>

#include <windows.h>
#include <wtsapi32.h>

#include <string>
#include <vector>

#include "BenchClient.h"
#include "TermSrv.h"

namespace ts = bench::termsrv;

namespace
{
class StandIn : public ::testing::Test
{
protected:
    void SetUp() override { ts::Reset(); }
    void TearDown() override { ts::Reset(); }
};

template <typename Record>
bool Query(DWORD session, WTS_INFO_CLASS infoClass, Record* record, DWORD* bytes = nullptr)
{
    LPWSTR buffer = nullptr;
    DWORD returned = 0;
    if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, session, infoClass, &buffer, &returned))
        return false;
    memcpy(record, buffer, sizeof(Record));
    WTSFreeMemory(buffer);
    if (bytes != nullptr)
        *bytes = returned;
    return true;
}

DWORD SessionOfInList(DWORD processId)
{
    PWTS_PROCESS_INFOW processes = nullptr;
    DWORD count = 0;
    if (!WTSEnumerateProcessesW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &processes, &count))
        return ts::NoSession - 1;
    DWORD session = ts::NoSession;
    for (DWORD i = 0; i < count; ++i)
        if (processes[i].ProcessId == processId)
            session = processes[i].SessionId;
    WTSFreeMemory(processes);
    return session;
}

TEST_F(StandIn, SessionRecordsHaveTheWindowsLayouts)
{
    ASSERT_TRUE(ts::LogOn(1, L"alice", L"QUILLON"));
    ASSERT_TRUE(ts::ConnectConsole(1));
    ts::RemoteClient client;
    client.name = L"LAPTOP";
    client.user = L"bob";
    client.domain = L"FAR";
    ASSERT_TRUE(ts::ConnectRemote(0, client));

    DWORD own = ts::NoSession;
    ASSERT_TRUE(Query(WTS_CURRENT_SESSION, WTSSessionId, &own));
    EXPECT_EQ(0u, own);

    WTSINFOW info{};
    DWORD bytes = 0;
    ASSERT_TRUE(Query(0, WTSSessionInfo, &info, &bytes));
    EXPECT_EQ(sizeof(WTSINFOW), bytes);
    EXPECT_EQ(WTSConnected, info.State);
    EXPECT_EQ(0, wcsncmp(info.WinStationName, L"RDP-Tcp#", 8));

    WTSCLIENTW remote{};
    ASSERT_TRUE(Query(0, WTSClientInfo, &remote, &bytes));
    EXPECT_EQ(sizeof(WTSCLIENTW), bytes);
    EXPECT_STREQ(L"LAPTOP", remote.ClientName);
    EXPECT_STREQ(L"FAR", remote.Domain);
    EXPECT_STREQ(L"bob", remote.UserName);
    EXPECT_EQ(192, remote.ClientAddress[0]);
    EXPECT_EQ(2, remote.ClientAddress[3]);

    ASSERT_TRUE(Query(1, WTSSessionInfo, &info));
    EXPECT_EQ(WTSActive, info.State);
    EXPECT_STREQ(L"Console", info.WinStationName);
    EXPECT_STREQ(L"alice", info.UserName);
    WTSCLIENTW local{};
    ASSERT_TRUE(Query(1, WTSClientInfo, &local));
    for (USHORT part : local.ClientAddress)
        EXPECT_EQ(0, part);

    LPWSTR buffer = nullptr;
    DWORD returned = 0;
    EXPECT_FALSE(WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, 7, WTSSessionInfo, &buffer, &returned));

    PWTS_SESSION_INFOW sessions = nullptr;
    DWORD count = 0;
    ASSERT_TRUE(WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &count));
    ASSERT_EQ(2u, count);
    EXPECT_EQ(0u, sessions[0].SessionId);
    EXPECT_EQ(1u, sessions[1].SessionId);
    EXPECT_EQ(WTSActive, sessions[1].State);
    EXPECT_STREQ(L"Console", sessions[1].pWinStationName);
    WTSFreeMemory(sessions);
}

TEST_F(StandIn, AChildStartedWithAUserTokenIsInThatSession)
{
    ASSERT_TRUE(ts::LogOn(1, L"alice"));
    HANDLE token = nullptr;
    EXPECT_FALSE(WTSQueryUserToken(2, &token));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    ASSERT_TRUE(ts::ConnectRemote(3));
    EXPECT_FALSE(WTSQueryUserToken(3, &token));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_TOKEN), GetLastError());
    ASSERT_TRUE(WTSQueryUserToken(1, &token));

    // A child that lives a few seconds: it waits for a window that never comes.
    std::wstring command = L"\"" + bench::ProgramDirectory() + L"\\..\\testbench\\BenchWaitWindow.exe\" NoSuchClass 5000";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    ASSERT_TRUE(CreateProcessAsUserW(token, nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                     &startup, &child))
        << GetLastError();
    CloseHandle(token);

    DWORD session = ts::NoSession;
    ASSERT_TRUE(ProcessIdToSessionId(child.dwProcessId, &session));
    EXPECT_EQ(1u, session);
    EXPECT_EQ(1u, SessionOfInList(child.dwProcessId));
    ASSERT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &session));
    EXPECT_EQ(0u, session);
    EXPECT_EQ(0u, SessionOfInList(GetCurrentProcessId()));

    // Started without a handed-out token, a child stays in session 0.
    PROCESS_INFORMATION plain{};
    ASSERT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &plain));
    EXPECT_EQ(0u, SessionOfInList(plain.dwProcessId));

    for (PROCESS_INFORMATION* p : {&child, &plain})
    {
        TerminateProcess(p->hProcess, 0);
        WaitForSingleObject(p->hProcess, 5000);
        CloseHandle(p->hProcess);
        CloseHandle(p->hThread);
    }
}

LRESULT CALLBACK Recorder(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
std::vector<std::pair<WPARAM, DWORD>> Seen;

LRESULT CALLBACK Recorder(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_WTSSESSION_CHANGE)
        Seen.emplace_back(wParam, static_cast<DWORD>(lParam));
    return DefWindowProcW(window, message, wParam, lParam);
}

void Pump(size_t wanted)
{
    bench::WaitUntil(
        [&] {
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
                DispatchMessageW(&msg);
            return Seen.size() >= wanted;
        },
        5000, 5);
}

TEST_F(StandIn, ARegisteredWindowSeesTheConsoleSwitchInWindowsOrder)
{
    WNDCLASSW wc{};
    wc.lpfnWndProc = Recorder;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"QuillonSessionsRecorder";
    RegisterClassW(&wc);
    const HWND window = CreateWindowExW(0, wc.lpszClassName, L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                        wc.hInstance, nullptr);
    ASSERT_NE(nullptr, window);
    ASSERT_TRUE(WTSRegisterSessionNotification(window, NOTIFY_FOR_ALL_SESSIONS));
    Seen.clear();

    ASSERT_TRUE(ts::LogOn(1, L"alice"));
    ASSERT_TRUE(ts::ConnectConsole(1));
    ASSERT_TRUE(ts::ConnectConsole(0));
    ASSERT_TRUE(ts::RevertFromServicesSession());   // what the system's winsta.dll does
    Pump(6);
    const std::vector<std::pair<WPARAM, DWORD>> expected = {
        {WTS_SESSION_LOGON, 1},      {WTS_CONSOLE_CONNECT, 1}, {WTS_CONSOLE_DISCONNECT, 1},
        {WTS_CONSOLE_CONNECT, 0},    {WTS_CONSOLE_DISCONNECT, 0}, {WTS_CONSOLE_CONNECT, 1}};
    EXPECT_EQ(expected, Seen);
    EXPECT_EQ(1u, ts::ConsoleSession());

    // Unregistered, it hears nothing more.
    ASSERT_TRUE(WTSUnRegisterSessionNotification(window));
    EXPECT_FALSE(ts::IsRegistered(window));
    DestroyWindow(window);
}

TEST_F(StandIn, FaultsFailTheCallOnceOrUntilCleared)
{
    PWTS_SESSION_INFOW sessions = nullptr;
    DWORD count = 0;
    ts::InjectFault(ts::Call::EnumerateSessions, ERROR_ACCESS_DENIED, true);
    EXPECT_FALSE(WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &count));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    ASSERT_TRUE(WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &count));
    WTSFreeMemory(sessions);

    ts::InjectFault(ts::Call::ProcessIdToSessionId, ERROR_NOT_ENOUGH_MEMORY, false);
    DWORD session = 0;
    for (int i = 0; i < 3; ++i)
    {
        EXPECT_FALSE(ProcessIdToSessionId(GetCurrentProcessId(), &session));
        EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), GetLastError());
    }
    ts::ClearFaults();
    EXPECT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &session));
}
}
