// Drives the simulated Terminal Services of the bench prefix from a shell:
//     wine BenchTermSrv.exe COMMAND [ARGUMENTS]
// Run without arguments for the list of commands.

#include <windows.h>
#include <wtsapi32.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "TermSrv.h"

namespace ts = bench::termsrv;

namespace
{
const wchar_t* const StateNames[] = {L"active",       L"connected", L"connecting", L"shadowed",
                                     L"disconnected", L"idle",      L"listening",  L"resetting",
                                     L"down",         L"initializing"};

int Usage()
{
    fwprintf(stderr,
             L"usage: BenchTermSrv COMMAND [ARGUMENTS]\n"
             L"  status                          sessions, console, registered windows, reverts\n"
             L"  reset                           session 0 alone, nothing connected, not ready\n"
             L"  ready | unready                 create / remove Global\\TermSrvReadyEvent\n"
             L"  logon ID USER [DOMAIN]          a user logs on in session ID\n"
             L"  logoff ID                       the user of session ID logs off\n"
             L"  console ID                      the console moves to session ID\n"
             L"  console-off                     the console shows no session\n"
             L"  remote ID [CLIENT [USER [DOMAIN [A.B.C.D]]]]   a remote client connects to session ID\n"
             L"  remote-off ID                   the remote client of session ID disconnects\n"
             L"  fault CALL ERROR [once|always]  CALL fails with the Win32 ERROR\n"
             L"  clear-faults                    no call fails\n"
             L"  reverts                         the number of WinStationRevertFromServicesSession calls\n"
             L"  wait-reverts N [TIMEOUT_MS]     waits until the count reaches N (exit code 1 on time-out)\n"
             L"  control CODE                    sends a service control (129: return the console) to UI0Detect\n"
             L"calls: ");
    for (int i = 0; i < static_cast<int>(ts::Call::Count); ++i)
        fwprintf(stderr, L"%ls ", ts::CallName(static_cast<ts::Call>(i)));
    fwprintf(stderr, L"\n");
    return 2;
}

DWORD Number(const wchar_t* text)
{
    return static_cast<DWORD>(wcstoul(text, nullptr, 0));
}

int Status()
{
    const DWORD console = ts::ConsoleSession();
    wprintf(L"Terminal Services ready: %ls\n", ts::IsReady() ? L"yes" : L"no");
    if (console == ts::NoSession)
        wprintf(L"console: none\n");
    else
        wprintf(L"console: session %lu\n", static_cast<unsigned long>(console));
    for (const ts::SessionInfo& s : ts::Sessions())
    {
        wprintf(L"session %lu: %ls, station \"%ls\"", static_cast<unsigned long>(s.id),
                s.state < 10 ? StateNames[s.state] : L"?", s.winStation.c_str());
        if (s.hasUser)
            wprintf(L", user %ls\\%ls", s.domain.c_str(), s.userName.c_str());
        if (s.remote)
            wprintf(L", remote client %ls (%u.%u.%u.%u)", s.clientName.c_str(), s.clientAddress[2], s.clientAddress[3],
                    s.clientAddress[4], s.clientAddress[5]);
        wprintf(L"\n");
    }
    for (HWND window : ts::RegisteredWindows())
    {
        wchar_t name[64] = L"";
        GetClassNameW(window, name, 64);
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        wprintf(L"registered window %p (class %ls, process %lu in session %lu)\n", static_cast<void*>(window), name,
                static_cast<unsigned long>(process), static_cast<unsigned long>(ts::SessionOfProcess(process)));
    }
    wprintf(L"reverts: %ld\n", ts::RevertCount());
    return 0;
}

bool ParseAddress(const wchar_t* text, BYTE ipv4[4])
{
    unsigned a, b, c, d;
    if (swscanf(text, L"%u.%u.%u.%u", &a, &b, &c, &d) != 4 || a > 255 || b > 255 || c > 255 || d > 255)
        return false;
    ipv4[0] = static_cast<BYTE>(a);
    ipv4[1] = static_cast<BYTE>(b);
    ipv4[2] = static_cast<BYTE>(c);
    ipv4[3] = static_cast<BYTE>(d);
    return true;
}

SERVICE_STATUS_HANDLE HostStatusHandle = nullptr;
SERVICE_STATUS HostStatus = {SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
HANDLE HostStop = nullptr;

DWORD WINAPI HostControl(DWORD control, DWORD, void*, void*)
{
    if (control == SERVICE_CONTROL_STOP)
    {
        HostStatus.dwCurrentState = SERVICE_STOP_PENDING;
        SetServiceStatus(HostStatusHandle, &HostStatus);
        SetEvent(HostStop);
    }
    return NO_ERROR;
}

void WINAPI HostMain(DWORD, LPWSTR*)
{
    HostStop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HostStatusHandle = RegisterServiceCtrlHandlerExW(L"QuillonBenchTermSrv", &HostControl, nullptr);
    if (HostStatusHandle == nullptr)
        return;
    HostStatus.dwCurrentState = SERVICE_RUNNING;
    SetServiceStatus(HostStatusHandle, &HostStatus);
    HostStatus.dwWin32ExitCode = static_cast<DWORD>(ts::RunHost(HostStop));
    HostStatus.dwCurrentState = SERVICE_STOPPED;
    SetServiceStatus(HostStatusHandle, &HostStatus);
}

int Done(bool ok, const wchar_t* what)
{
    if (!ok)
        fwprintf(stderr, L"BenchTermSrv: %ls failed\n", what);
    return ok ? 0 : 1;
}
}

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
        return Usage();
    const std::wstring command = argv[1];
    if (command == L"service")
    {
        wchar_t name[] = L"QuillonBenchTermSrv";
        const SERVICE_TABLE_ENTRYW table[] = {{name, &HostMain}, {nullptr, nullptr}};
        return StartServiceCtrlDispatcherW(table) ? 0 : 1;
    }
    if (command == L"status")
        return Status();
    if (command == L"reset")
    {
        ts::Reset();
        return 0;
    }
    if (command == L"ready")
        return Done(ts::MakeReady(), L"ready");
    if (command == L"unready")
    {
        ts::ClearReady();
        return 0;
    }
    if (command == L"logon" && argc >= 4)
        return Done(ts::LogOn(Number(argv[2]), argv[3], argc >= 5 ? argv[4] : L"QUILLON"), L"logon");
    if (command == L"logoff" && argc >= 3)
        return Done(ts::LogOff(Number(argv[2])), L"logoff");
    if (command == L"console" && argc >= 3)
        return Done(ts::ConnectConsole(Number(argv[2])), L"console");
    if (command == L"console-off")
        return Done(ts::DisconnectConsole(), L"console-off");
    if (command == L"remote" && argc >= 3)
    {
        ts::RemoteClient client;
        if (argc >= 4)
            client.name = argv[3];
        if (argc >= 5)
            client.user = argv[4];
        if (argc >= 6)
            client.domain = argv[5];
        if (argc >= 7 && !ParseAddress(argv[6], client.ipv4))
            return Usage();
        return Done(ts::ConnectRemote(Number(argv[2]), client), L"remote");
    }
    if (command == L"remote-off" && argc >= 3)
        return Done(ts::DisconnectRemote(Number(argv[2])), L"remote-off");
    if (command == L"fault" && argc >= 4)
    {
        ts::Call call;
        if (!ts::CallFromName(argv[2], &call))
            return Usage();
        ts::InjectFault(call, Number(argv[3]), argc >= 5 && std::wstring(argv[4]) == L"once");
        return 0;
    }
    if (command == L"clear-faults")
    {
        ts::ClearFaults();
        return 0;
    }
    if (command == L"reverts")
    {
        wprintf(L"%ld\n", ts::RevertCount());
        return 0;
    }
    if (command == L"wait-reverts" && argc >= 3)
    {
        const LONG wanted = static_cast<LONG>(Number(argv[2]));
        const DWORD timeout = argc >= 4 ? Number(argv[3]) : 60000;
        const ULONGLONG end = GetTickCount64() + timeout;
        while (ts::RevertCount() < wanted)
        {
            if (GetTickCount64() >= end)
                return 1;
            Sleep(50);
        }
        wprintf(L"%ld\n", ts::RevertCount());
        return 0;
    }
    if (command == L"control" && argc >= 3)
    {
        const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        const SC_HANDLE service =
            manager != nullptr ? OpenServiceW(manager, L"UI0Detect", SERVICE_USER_DEFINED_CONTROL | SERVICE_STOP) : nullptr;
        SERVICE_STATUS status{};
        const bool sent = service != nullptr && ControlService(service, Number(argv[2]), &status);
        if (!sent)
            fwprintf(stderr, L"BenchTermSrv: control failed with error %lu\n", GetLastError());
        if (service != nullptr)
            CloseServiceHandle(service);
        if (manager != nullptr)
            CloseServiceHandle(manager);
        return sent ? 0 : 1;
    }
    return Usage();
}
