#pragma once

// The simulated Terminal Services machine of the test bench, shared by every process of a Wine
// prefix. The stand-in wtsapi32.dll and winsta.dll answer from it; tests (and BenchTermSrv.exe
// for a person at a shell) drive it with the functions below. Every change that Windows
// announces is posted as WM_WTSSESSION_CHANGE to the windows registered for it.
//
// Sessions of processes: every process is in session 0, except a child that a program which
// loaded the stand-in started through its own import of CreateProcessAsUserW with a token that
// WTSQueryUserToken handed out for session N (the very token, not a duplicate of it). Such a
// child is recorded (process id and creation time) before it runs; ProcessIdToSessionId in
// those programs and WTSEnumerateProcessesW everywhere answer from that record.
//
// Not simulated: other servers than the local one; the ANSI and Ex calls; information classes
// beyond the ones in StandInWtsapi.cpp; lock, unlock, remote-control and create/terminate
// notifications; listener sessions; the display layout of remote clients (the screen stays
// Xvfb's); per-user hives and "Volatile Environment" keys (Wine has one user, whose token every
// handed-out token copies); privilege checks; inheritance of a session by grandchildren.

#include <windows.h>

#include <string>
#include <vector>

namespace bench::termsrv
{
constexpr DWORD NoSession = 0xFFFFFFFF;

// The stand-in's calls that can be told to fail.
enum class Call
{
    QuerySessionInformation,
    EnumerateSessions,
    EnumerateProcesses,
    QueryUserToken,
    RegisterSessionNotification,
    UnRegisterSessionNotification,
    RevertFromServicesSession,
    ProcessIdToSessionId,
    Count,
    // The loading program's own import, left out of loops over the calls above: the service
    // must not survive it failing.
    RevertToSelf = Count
};
const wchar_t* CallName(Call call);
bool CallFromName(const std::wstring& name, Call* call);

struct SessionInfo
{
    DWORD id = 0;
    DWORD state = 0;   // WTS_CONNECTSTATE_CLASS
    bool remote = false;
    bool hasUser = false;
    std::wstring winStation, userName, domain;
    std::wstring clientName, clientDomain, clientUser;
    DWORD clientAddressFamily = 0;   // AF_INET (2) for a remote client
    BYTE clientAddress[20]{};        // as WTS_CLIENT_ADDRESS: for AF_INET bytes 2..5 hold the address
    LARGE_INTEGER connectTime{}, disconnectTime{}, logonTime{};
};

struct RemoteClient
{
    std::wstring name = L"CLIENT";
    std::wstring domain;
    std::wstring user;
    BYTE ipv4[4] = {192, 168, 0, 2};
};

// --- Driving the machine -------------------------------------------------------------------

// Back to the default machine: session 0 alone, disconnected, no console, Terminal Services not
// ready, no faults. Windows registered for notifications stay registered; process sessions and
// the revert count are kept.
void Reset();

// Logs a user on in the session, creating the session when needed (WTS_SESSION_LOGON).
bool LogOn(DWORD session, const std::wstring& user, const std::wstring& domain = L"QUILLON");
// The user logs off (WTS_SESSION_LOGOFF); a connected session is disconnected and goes away.
bool LogOff(DWORD session);

// The console moves to the session: the disconnect of the session that held it (or of the
// remote client of this session), then the connect of this one. A session that already holds
// the console is connected again. Creates the session when needed.
bool ConnectConsole(DWORD session);
// The console shows nothing (the disconnect of the session that held it).
bool DisconnectConsole();
// A remote client attaches to the session, taking it from the console when it had it.
bool ConnectRemote(DWORD session, const RemoteClient& client = RemoteClient());
bool DisconnectRemote(DWORD session);

// Terminal Services becomes ready: "Global\TermSrvReadyEvent" is created, set, and held open
// by a small host process until ClearReady or the end of the prefix.
bool MakeReady();
void ClearReady();
bool IsReady();

// The next call (once) or every call (until cleared) fails with the error; with CrashInCall the
// call raises an access violation inside the stand-in instead.
constexpr DWORD CrashInCall = EXCEPTION_ACCESS_VIOLATION;
void InjectFault(Call call, DWORD error, bool once);
void ClearFault(Call call);
void ClearFaults();

// --- Observing it --------------------------------------------------------------------------

LONG RevertCount();
LONG SwitchCount();
DWORD ConsoleSession();
std::vector<SessionInfo> Sessions();
bool FindSession(DWORD session, SessionInfo* info);
// Windows registered for session notifications (live ones only).
std::vector<HWND> RegisteredWindows();
bool IsRegistered(HWND window);
// MoveWindow as called by the programs that loaded the stand-in wtsapi32.dll (Wine makes a
// move to the same rectangle invisible: no repaint, no position change).
struct WindowMoves
{
    LONG count = 0;
    HWND lastWindow = nullptr;
    RECT lastRect{};
};
WindowMoves MovesSeen();
// CreateProcessAsUserW as called by the programs that loaded the stand-in wtsapi32.dll: how
// many calls, and how many of them came from a thread with a token of its own (impersonating),
// where drive letters would resolve through the impersonated user's device map.
struct LaunchesSeen
{
    LONG count = 0;
    LONG impersonating = 0;
};
LaunchesSeen LaunchCalls();

// The simulated session of a process: 0 unless it was started with a user token of a session.
DWORD SessionOfProcess(DWORD processId);
// The processes that really run, in the system's order; false when the system cannot list them.
struct ProcessEntry
{
    DWORD id;
    std::wstring image;
};
bool RunningProcesses(std::vector<ProcessEntry>* processes);

// --- Used by the stand-in DLLs -------------------------------------------------------------

// 0 when the call goes on, otherwise the error it must fail with (a "once" fault is used up).
DWORD TakeFault(Call call);
// Counts the call; switches the console back from session 0 to the session it came from.
BOOL RevertFromServicesSession();
// Counts the call; the console goes to session 0 (from the user session that held it).
BOOL SwitchToServicesSession();
bool RegisterWindow(HWND window, DWORD flags);
void UnregisterWindow(HWND window);
HANDLE HandOutUserToken(DWORD session, DWORD* error);
// The session a token handed out by HandOutUserToken belongs to; NoSession for other tokens.
DWORD SessionOfToken(HANDLE token);
void RecordProcessSession(DWORD processId, DWORD session);
void RecordMove(HWND window, int x, int y, int width, int height);
void RecordLaunch(bool impersonating);

// The host that keeps the machine and the ready event for the life of the prefix (a service
// of the prefix, started on first use); runs until the stop event is set.
int RunHost(HANDLE stop);
}
