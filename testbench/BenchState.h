#pragma once

// State of the test bench shared by every process of a Wine prefix (the service, the control
// tool, the tests): one named section, created by whichever process first needs it. The
// simulated Terminal Services machine lives here too (testbench/terminal-services); its fields
// are changed only under the machine's lock, through the functions of TermSrv.h.

#include <windows.h>

namespace benchstate
{
constexpr int MaxSessions = 16;
constexpr int MaxRegistrations = 32;
constexpr int MaxProcesses = 128;
constexpr int MaxTokens = 64;
constexpr int MaxCalls = 16;

struct Session
{
    BOOL inUse;
    DWORD id;
    DWORD state;            // WTS_CONNECTSTATE_CLASS
    BOOL remote;            // a remote client is attached
    BOOL hasUser;
    WCHAR winStation[32];
    WCHAR userName[21];
    WCHAR domain[18];
    WCHAR clientName[21];
    WCHAR clientDomain[18];
    WCHAR clientUser[21];
    DWORD clientAddressFamily;
    BYTE clientAddress[20];
    LARGE_INTEGER connectTime;
    LARGE_INTEGER disconnectTime;
    LARGE_INTEGER logonTime;
};

struct Registration
{
    DWORD window;   // window handles are the same in every process of the prefix
    DWORD processId;
    DWORD flags;    // NOTIFY_FOR_THIS_SESSION or NOTIFY_FOR_ALL_SESSIONS
};

struct Process
{
    DWORD processId;
    FILETIME created;   // tells a reused process id from the one recorded
    DWORD session;
};

struct Token
{
    LUID tokenId;
    DWORD session;
};

struct Fault
{
    DWORD error;
    LONG remaining;   // 0: none; -1: until cleared; otherwise the calls still to fail
};

// What the bench taskbar (BenchTaskbar.exe) took from Shell_NotifyIconW, per session of the
// program that sent it.
constexpr int MaxNotices = 32;
constexpr int MaxIcons = 16;

struct Notice
{
    DWORD session;
    DWORD window;          // the icon's window
    WCHAR title[64];
    WCHAR text[256];
};

struct TrayIcon
{
    BOOL inUse;
    DWORD session;
    DWORD window;
    UINT id;
    UINT callbackMessage;
    DWORD iconHash;        // of the icon's bitmaps as sent
    LONG iconChanges;      // NIF_ICON with other bitmaps than before
    WCHAR tip[128];
};

struct Taskbar
{
    DWORD window;          // the bench taskbar's window while it runs
    LONG notices;          // notifications so far; the last MaxNotices are kept
    Notice notice[MaxNotices];
    TrayIcon icons[MaxIcons];
};

struct Machine
{
    LONG initialized;
    DWORD consoleSession;      // 0xFFFFFFFF when no session holds the console
    DWORD returnSession;       // the user session the console left for session 0
    DWORD nextRemoteNumber;
    DWORD hostProcessId;       // keeps this state and "Global\TermSrvReadyEvent" alive
    LONG wantReady;            // asked of the host
    LONG readyHeld;            // the host holds the ready event
    LONG registerCalls;
    LONG moveCalls;            // MoveWindow calls of the programs that loaded the stand-in
    DWORD lastMoveWindow;
    RECT lastMoveRect;
    Session sessions[MaxSessions];
    Registration registrations[MaxRegistrations];
    Process processes[MaxProcesses];
    Token tokens[MaxTokens];
    Fault faults[MaxCalls];
    LONG launchCalls;          // CreateProcessAsUserW calls of the programs that loaded the stand-in
    LONG impersonatedLaunches; // those made by a thread that had taken on another identity
};
}

struct BenchState
{
    LONG winstaRevertCalls;   // WinStationRevertFromServicesSession through the system directory
    LONG decoyRevertCalls;    // the same call through a winsta.dll placed beside a program
    LONG decoyDllLoads;       // system DLLs' decoys placed beside a program that were loaded
    WCHAR lastDecoyLoad[128]; // "<dll> in <program>" of the last such load
    benchstate::Machine machine;
    LONG winstaSwitchCalls;   // WinStationSwitchToServicesSession through the system directory
    benchstate::Taskbar taskbar;
};

// Maps the shared state; null when the section cannot be created. The view lives as long as
// the process.
BenchState* OpenBenchState();
