#include "TermSrv.h"

#include <tlhelp32.h>
#include <wtsapi32.h>

#include <cwchar>
#include <cwctype>

#include "BenchState.h"

namespace bench::termsrv
{
namespace
{
using benchstate::Machine;
using benchstate::Session;

constexpr const wchar_t* ReadyEventName = L"Global\\TermSrvReadyEvent";

const wchar_t* const CallNames[] = {
    L"WTSQuerySessionInformationW",      L"WTSEnumerateSessionsW",
    L"WTSEnumerateProcessesW",           L"WTSQueryUserToken",
    L"WTSRegisterSessionNotification",   L"WTSUnRegisterSessionNotification",
    L"WinStationRevertFromServicesSession", L"ProcessIdToSessionId",
};
static_assert(sizeof CallNames / sizeof CallNames[0] == static_cast<size_t>(Call::Count), "one name per call");
static_assert(static_cast<int>(Call::RevertToSelf) < benchstate::MaxCalls, "room for every call");

bool EnsureHost();

// Every compound change of the machine happens under this lock, so that the notifications of
// one change reach the windows in order and before those of the next.
class MachineLock
{
public:
    MachineLock()
    {
        static const HANDLE mutex = CreateMutexW(nullptr, FALSE, L"Global\\QuillonBenchStateLock");
        mutex_ = mutex;
        if (mutex_ != nullptr)
            WaitForSingleObject(mutex_, INFINITE);   // an abandoned lock is taken over as well
        BenchState* state = OpenBenchState();
        machine_ = state != nullptr ? &state->machine : nullptr;
        if (machine_ != nullptr && !machine_->initialized)
            InitialMachine(*machine_);
    }
    ~MachineLock()
    {
        if (mutex_ != nullptr)
            ReleaseMutex(mutex_);
    }
    MachineLock(const MachineLock&) = delete;
    MachineLock& operator=(const MachineLock&) = delete;

    Machine* operator->() const { return machine_; }
    explicit operator bool() const { return machine_ != nullptr; }
    Machine& get() const { return *machine_; }

    static void InitialMachine(Machine& m)
    {
        m.consoleSession = NoSession;
        m.returnSession = NoSession;
        m.nextRemoteNumber = 1;
        for (Session& s : m.sessions)
            s = Session{};
        Session& zero = m.sessions[0];
        zero.inUse = TRUE;
        zero.id = 0;
        zero.state = WTSDisconnected;
        wcscpy_s(zero.winStation, L"Services");
        for (benchstate::Fault& f : m.faults)
            f = benchstate::Fault{};
        m.initialized = TRUE;
    }

private:
    HANDLE mutex_ = nullptr;
    Machine* machine_ = nullptr;
};

LARGE_INTEGER Now()
{
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    LARGE_INTEGER value;
    value.LowPart = ft.dwLowDateTime;
    value.HighPart = static_cast<LONG>(ft.dwHighDateTime);
    return value;
}

template <size_t N>
void Copy(WCHAR (&target)[N], const std::wstring& text)
{
    wcsncpy_s(target, text.c_str(), _TRUNCATE);
}

Session* Find(Machine& m, DWORD id)
{
    for (Session& s : m.sessions)
        if (s.inUse && s.id == id)
            return &s;
    return nullptr;
}

Session* FindOrAdd(Machine& m, DWORD id)
{
    if (Session* s = Find(m, id))
        return s;
    for (Session& s : m.sessions)
        if (!s.inUse)
        {
            s = Session{};
            s.inUse = TRUE;
            s.id = id;
            s.state = WTSDisconnected;
            return &s;
        }
    return nullptr;
}

bool SameTime(const FILETIME& a, const FILETIME& b)
{
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

bool CreationTime(DWORD processId, FILETIME* created)
{
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (process == nullptr)
        return false;
    FILETIME exitTime, kernelTime, userTime;
    const BOOL ok = GetProcessTimes(process, created, &exitTime, &kernelTime, &userTime);
    CloseHandle(process);
    return ok != FALSE;
}

DWORD ProcessSessionLocked(Machine& m, DWORD processId)
{
    for (const benchstate::Process& p : m.processes)
        if (p.processId == processId && processId != 0)
        {
            FILETIME created;
            if (CreationTime(processId, &created) && SameTime(created, p.created))
                return p.session;
        }
    return 0;
}

void UpdateState(Session& s, bool connected)
{
    // A connected session shows a user's desktop (active) or no user's (connected, as session 0).
    s.state = connected ? (s.hasUser ? WTSActive : WTSConnected) : WTSDisconnected;
}

// Posted, as Windows does, to every live registered window that asked for this session.
void Notify(Machine& m, WPARAM code, DWORD session)
{
    for (benchstate::Registration& r : m.registrations)
    {
        if (r.window == 0)
            continue;
        const HWND window = reinterpret_cast<HWND>(static_cast<ULONG_PTR>(r.window));
        if (!IsWindow(window))
        {
            r = benchstate::Registration{};
            continue;
        }
        if (r.flags == NOTIFY_FOR_THIS_SESSION && ProcessSessionLocked(m, r.processId) != session)
            continue;
        PostMessageW(window, WM_WTSSESSION_CHANGE, code, static_cast<LPARAM>(session));
    }
}

void Disconnect(Machine& m, Session& s)
{
    const bool wasConsole = m.consoleSession == s.id;
    const bool wasRemote = s.remote != FALSE;
    if (!wasConsole && !wasRemote)
        return;
    if (wasConsole)
        m.consoleSession = NoSession;
    s.remote = FALSE;
    s.clientName[0] = s.clientDomain[0] = s.clientUser[0] = L'\0';
    s.clientAddressFamily = 0;
    ZeroMemory(s.clientAddress, sizeof s.clientAddress);
    wcscpy_s(s.winStation, s.id == 0 ? L"Services" : L"");
    UpdateState(s, false);
    s.disconnectTime = Now();
    Notify(m, wasConsole ? WTS_CONSOLE_DISCONNECT : WTS_REMOTE_DISCONNECT, s.id);
}

bool ConnectConsoleLocked(Machine& m, DWORD id)
{
    Session* target = FindOrAdd(m, id);
    if (target == nullptr)
        return false;
    if (m.consoleSession != id)
    {
        if (Session* old = Find(m, m.consoleSession))
        {
            if (id == 0 && old->id != 0)
                m.returnSession = old->id;
            Disconnect(m, *old);
        }
        if (target->remote)
            Disconnect(m, *target);
    }
    m.consoleSession = id;
    wcscpy_s(target->winStation, L"Console");
    UpdateState(*target, true);
    target->connectTime = Now();
    Notify(m, WTS_CONSOLE_CONNECT, id);
    return true;
}
}

const wchar_t* CallName(Call call)
{
    const int index = static_cast<int>(call);
    return index >= 0 && index < static_cast<int>(Call::Count) ? CallNames[index] : L"?";
}

bool CallFromName(const std::wstring& name, Call* call)
{
    for (int i = 0; i < static_cast<int>(Call::Count); ++i)
        if (_wcsicmp(name.c_str(), CallNames[i]) == 0)
        {
            *call = static_cast<Call>(i);
            return true;
        }
    return false;
}

void Reset()
{
    EnsureHost();
    ClearReady();
    MachineLock m;
    if (!m)
        return;
    MachineLock::InitialMachine(m.get());
}

bool LogOn(DWORD id, const std::wstring& user, const std::wstring& domain)
{
    EnsureHost();
    MachineLock m;
    if (!m || id == 0)
        return false;
    Session* s = FindOrAdd(m.get(), id);
    if (s == nullptr)
        return false;
    s->hasUser = TRUE;
    Copy(s->userName, user);
    Copy(s->domain, domain);
    s->logonTime = Now();
    UpdateState(*s, m->consoleSession == id || s->remote);
    Notify(m.get(), WTS_SESSION_LOGON, id);
    return true;
}

bool LogOff(DWORD id)
{
    EnsureHost();
    MachineLock m;
    if (!m || id == 0)
        return false;
    Session* s = Find(m.get(), id);
    if (s == nullptr || !s->hasUser)
        return false;
    s->hasUser = FALSE;
    s->userName[0] = s->domain[0] = L'\0';
    Notify(m.get(), WTS_SESSION_LOGOFF, id);
    Disconnect(m.get(), *s);
    if (m->returnSession == id)
        m->returnSession = NoSession;
    *s = Session{};
    return true;
}

bool ConnectConsole(DWORD id)
{
    EnsureHost();
    MachineLock m;
    return m && ConnectConsoleLocked(m.get(), id);
}

bool DisconnectConsole()
{
    EnsureHost();
    MachineLock m;
    if (!m)
        return false;
    Session* s = Find(m.get(), m->consoleSession);
    if (s == nullptr)
        return false;
    Disconnect(m.get(), *s);
    return true;
}

bool ConnectRemote(DWORD id, const RemoteClient& client)
{
    EnsureHost();
    MachineLock m;
    if (!m)
        return false;
    Session* s = FindOrAdd(m.get(), id);
    if (s == nullptr)
        return false;
    Disconnect(m.get(), *s);
    s->remote = TRUE;
    Copy(s->clientName, client.name);
    Copy(s->clientDomain, client.domain);
    Copy(s->clientUser, client.user);
    s->clientAddressFamily = 2;   // AF_INET
    ZeroMemory(s->clientAddress, sizeof s->clientAddress);
    for (int i = 0; i < 4; ++i)
        s->clientAddress[2 + i] = client.ipv4[i];
    swprintf(s->winStation, 32, L"RDP-Tcp#%lu", static_cast<unsigned long>(m->nextRemoteNumber++));
    UpdateState(*s, true);
    s->connectTime = Now();
    Notify(m.get(), WTS_REMOTE_CONNECT, id);
    return true;
}

bool DisconnectRemote(DWORD id)
{
    EnsureHost();
    MachineLock m;
    if (!m)
        return false;
    Session* s = Find(m.get(), id);
    if (s == nullptr || !s->remote)
        return false;
    Disconnect(m.get(), *s);
    return true;
}

namespace
{
constexpr const wchar_t* HostMarkerName = L"Global\\QuillonBenchTermSrvHost";
constexpr const wchar_t* HostCommandName = L"Global\\QuillonBenchTermSrvCommand";

std::wstring DriverProgram()
{
    wchar_t path[MAX_PATH * 2];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH * 2);
    std::wstring directory(path, length);
    directory = directory.substr(0, directory.rfind(L'\\'));
    for (const wchar_t* candidate : {L"\\BenchTermSrv.exe", L"\\..\\testbench\\BenchTermSrv.exe"})
    {
        const std::wstring full = directory + candidate;
        if (GetFileAttributesW(full.c_str()) != INVALID_FILE_ATTRIBUTES)
            return full;
    }
    return L"BenchTermSrv.exe";
}

bool EventExists(const wchar_t* name)
{
    const HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, name);
    if (event == nullptr)
        return false;
    CloseHandle(event);
    return true;
}

template <typename Predicate>
bool WaitFor(Predicate predicate, DWORD timeoutMs)
{
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    while (!predicate())
    {
        if (GetTickCount64() >= end)
            return false;
        Sleep(10);
    }
    return true;
}

// The named section lives only while some process holds it: a host keeps it, and the ready
// event, for the life of the prefix. The host runs as a service of the prefix: a process
// started from a test would inherit the test's output pipes on the Unix side (Wine keeps its
// standard error), and the test runner would wait for them to close.
constexpr const wchar_t* HostServiceName = L"QuillonBenchTermSrv";

bool EnsureHost()
{
    if (EventExists(HostMarkerName))
        return true;
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
    if (manager == nullptr)
        return false;
    SC_HANDLE service = OpenServiceW(manager, HostServiceName, SERVICE_START);
    if (service == nullptr)
    {
        const std::wstring command = L"\"" + DriverProgram() + L"\" service";
        service = CreateServiceW(manager, HostServiceName, L"Quillon bench: simulated Terminal Services", SERVICE_START,
                                 SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                                 command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
        if (service == nullptr && GetLastError() == ERROR_SERVICE_EXISTS)
            service = OpenServiceW(manager, HostServiceName, SERVICE_START);
    }
    bool started = false;
    if (service != nullptr)
    {
        // Right after a change Wine's manager may answer "locked" for a moment.
        for (int attempt = 0; attempt < 50 && !started; ++attempt)
        {
            started = StartServiceW(service, 0, nullptr) != FALSE || GetLastError() == ERROR_SERVICE_ALREADY_RUNNING;
            if (!started && GetLastError() != ERROR_SERVICE_DATABASE_LOCKED)
                break;
            if (!started)
                Sleep(100);
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return started && WaitFor([] { return EventExists(HostMarkerName); }, 10000);
}

bool AskHostForReady(bool ready)
{
    if (!EnsureHost())
        return false;
    {
        MachineLock m;
        if (!m)
            return false;
        m->wantReady = ready ? 1 : 0;
    }
    const HANDLE command = OpenEventW(EVENT_MODIFY_STATE, FALSE, HostCommandName);
    if (command == nullptr)
        return false;
    SetEvent(command);
    CloseHandle(command);
    return WaitFor(
        [&] {
            MachineLock m;
            return m && (m->readyHeld != 0) == ready;
        },
        5000);
}
}

bool MakeReady()
{
    return AskHostForReady(true);
}

void ClearReady()
{
    if (EventExists(HostMarkerName))
        AskHostForReady(false);
}

bool IsReady()
{
    return EventExists(ReadyEventName);
}

int RunHost(HANDLE stop)
{
    const HANDLE marker = CreateEventW(nullptr, TRUE, FALSE, HostMarkerName);
    if (marker == nullptr || GetLastError() == ERROR_ALREADY_EXISTS)
        return 0;   // another host runs
    const HANDLE command = CreateEventW(nullptr, FALSE, FALSE, HostCommandName);
    if (command == nullptr || OpenBenchState() == nullptr)
        return 1;
    {
        MachineLock m;
        m->hostProcessId = GetCurrentProcessId();
        m->readyHeld = 0;
    }
    HANDLE ready = nullptr;
    for (;;)
    {
        const HANDLE waits[] = {command, stop};
        if (WaitForMultipleObjects(stop != nullptr ? 2 : 1, waits, FALSE, INFINITE) != WAIT_OBJECT_0)
            break;
        MachineLock m;
        if (m->wantReady && ready == nullptr)
        {
            // Manual reset, as the system's: it stays set for every later waiter.
            ready = CreateEventW(nullptr, TRUE, TRUE, ReadyEventName);
            SetEvent(ready);
        }
        else if (!m->wantReady && ready != nullptr)
        {
            CloseHandle(ready);
            ready = nullptr;
        }
        m->readyHeld = ready != nullptr ? 1 : 0;
    }
    {
        MachineLock m;
        m->readyHeld = 0;
        m->hostProcessId = 0;
    }
    if (ready != nullptr)
        CloseHandle(ready);
    CloseHandle(command);
    CloseHandle(marker);
    return 0;
}

void InjectFault(Call call, DWORD error, bool once)
{
    EnsureHost();
    MachineLock m;
    if (m)
        m->faults[static_cast<int>(call)] = benchstate::Fault{error, once ? 1 : -1};
}

void ClearFault(Call call)
{
    MachineLock m;
    if (m)
        m->faults[static_cast<int>(call)] = benchstate::Fault{};
}

void ClearFaults()
{
    MachineLock m;
    if (m)
        for (benchstate::Fault& f : m->faults)
            f = benchstate::Fault{};
}

DWORD TakeFault(Call call)
{
    MachineLock m;
    if (!m)
        return 0;
    benchstate::Fault& f = m->faults[static_cast<int>(call)];
    if (f.remaining == 0)
        return 0;
    const DWORD error = f.error;
    if (f.remaining > 0 && --f.remaining == 0)
        f.error = 0;
    return error;
}

LONG RevertCount()
{
    BenchState* state = OpenBenchState();
    return state != nullptr ? InterlockedCompareExchange(&state->winstaRevertCalls, 0, 0) : 0;
}

DWORD ConsoleSession()
{
    MachineLock m;
    return m ? m->consoleSession : NoSession;
}

namespace
{
SessionInfo ToInfo(const Session& s)
{
    SessionInfo info;
    info.id = s.id;
    info.state = s.state;
    info.remote = s.remote != FALSE;
    info.hasUser = s.hasUser != FALSE;
    info.winStation = s.winStation;
    info.userName = s.userName;
    info.domain = s.domain;
    info.clientName = s.clientName;
    info.clientDomain = s.clientDomain;
    info.clientUser = s.clientUser;
    info.clientAddressFamily = s.clientAddressFamily;
    memcpy(info.clientAddress, s.clientAddress, sizeof info.clientAddress);
    info.connectTime = s.connectTime;
    info.disconnectTime = s.disconnectTime;
    info.logonTime = s.logonTime;
    return info;
}
}

std::vector<SessionInfo> Sessions()
{
    std::vector<SessionInfo> result;
    MachineLock m;
    if (!m)
        return result;
    // In the order of their ids, as Windows lists them.
    for (DWORD next = 0;;)
    {
        const Session* best = nullptr;
        for (const Session& s : m->sessions)
            if (s.inUse && s.id >= next && (best == nullptr || s.id < best->id))
                best = &s;
        if (best == nullptr)
            break;
        result.push_back(ToInfo(*best));
        if (best->id == NoSession)
            break;
        next = best->id + 1;
    }
    return result;
}

bool FindSession(DWORD id, SessionInfo* info)
{
    MachineLock m;
    if (!m)
        return false;
    const Session* s = Find(m.get(), id);
    if (s == nullptr)
        return false;
    *info = ToInfo(*s);
    return true;
}

std::vector<HWND> RegisteredWindows()
{
    std::vector<HWND> windows;
    MachineLock m;
    if (!m)
        return windows;
    for (const benchstate::Registration& r : m->registrations)
    {
        const HWND window = reinterpret_cast<HWND>(static_cast<ULONG_PTR>(r.window));
        if (r.window != 0 && IsWindow(window))
            windows.push_back(window);
    }
    return windows;
}

bool IsRegistered(HWND window)
{
    for (HWND registered : RegisteredWindows())
        if (registered == window)
            return true;
    return false;
}

DWORD SessionOfProcess(DWORD processId)
{
    MachineLock m;
    return m ? ProcessSessionLocked(m.get(), processId) : 0;
}

bool RunningProcesses(std::vector<ProcessEntry>* processes)
{
    processes->clear();
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return false;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        processes->push_back(ProcessEntry{entry.th32ProcessID, entry.szExeFile});
    CloseHandle(snapshot);
    return true;
}

BOOL SwitchToServicesSession()
{
    if (BenchState* state = OpenBenchState())
        InterlockedIncrement(&state->winstaSwitchCalls);
    MachineLock m;
    if (!m)
        return FALSE;
    return ConnectConsoleLocked(m.get(), 0) ? TRUE : FALSE;
}

LONG SwitchCount()
{
    BenchState* state = OpenBenchState();
    return state != nullptr ? InterlockedCompareExchange(&state->winstaSwitchCalls, 0, 0) : 0;
}

BOOL RevertFromServicesSession()
{
    if (BenchState* state = OpenBenchState())
        InterlockedIncrement(&state->winstaRevertCalls);
    if (const DWORD error = TakeFault(Call::RevertFromServicesSession))
    {
        SetLastError(error);
        return FALSE;
    }
    MachineLock m;
    if (!m)
        return FALSE;
    // Only a console that shows session 0 is switched back, to the user session it came from.
    if (m->consoleSession == 0 && Find(m.get(), m->returnSession) != nullptr)
        ConnectConsoleLocked(m.get(), m->returnSession);
    return TRUE;
}

bool RegisterWindow(HWND window, DWORD flags)
{
    MachineLock m;
    if (!m)
        return false;
    InterlockedIncrement(&m->registerCalls);
    const DWORD value = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(window));
    benchstate::Registration* free = nullptr;
    for (benchstate::Registration& r : m->registrations)
    {
        if (r.window == value)
        {
            r.flags = flags;
            return true;
        }
        if (free == nullptr && (r.window == 0 || !IsWindow(reinterpret_cast<HWND>(static_cast<ULONG_PTR>(r.window)))))
            free = &r;
    }
    if (free == nullptr)
        return false;
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    *free = benchstate::Registration{value, processId, flags};
    return true;
}

void UnregisterWindow(HWND window)
{
    MachineLock m;
    if (!m)
        return;
    const DWORD value = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(window));
    for (benchstate::Registration& r : m->registrations)
        if (r.window == value)
            r = benchstate::Registration{};
}

namespace
{
bool TokenId(HANDLE token, LUID* id)
{
    TOKEN_STATISTICS statistics{};
    DWORD length = 0;
    if (!GetTokenInformation(token, TokenStatistics, &statistics, sizeof statistics, &length))
        return false;
    *id = statistics.TokenId;
    return true;
}
}

HANDLE HandOutUserToken(DWORD id, DWORD* error)
{
    {
        MachineLock m;
        if (!m)
        {
            *error = ERROR_NOT_ENOUGH_MEMORY;
            return nullptr;
        }
        const Session* s = Find(m.get(), id);
        if (s == nullptr)
        {
            *error = ERROR_FILE_NOT_FOUND;
            return nullptr;
        }
        if (!s->hasUser)
        {
            *error = ERROR_NO_TOKEN;
            return nullptr;
        }
    }
    // Wine has one user: the session's user is this process's user, in a token of its own.
    HANDLE own = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &own))
    {
        *error = GetLastError();
        return nullptr;
    }
    HANDLE token = nullptr;
    const BOOL duplicated = DuplicateTokenEx(own, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary, &token);
    *error = duplicated ? 0 : GetLastError();
    CloseHandle(own);
    if (!duplicated)
        return nullptr;
    LUID tokenId{};
    if (TokenId(token, &tokenId))
    {
        MachineLock m;
        if (m)
        {
            benchstate::Token* slot = &m->tokens[0];
            for (benchstate::Token& t : m->tokens)
                if (t.tokenId.LowPart == 0 && t.tokenId.HighPart == 0)
                {
                    slot = &t;
                    break;
                }
            *slot = benchstate::Token{tokenId, id};
        }
    }
    return token;
}

DWORD SessionOfToken(HANDLE token)
{
    LUID tokenId{};
    if (token == nullptr || !TokenId(token, &tokenId))
        return NoSession;
    MachineLock m;
    if (!m)
        return NoSession;
    for (const benchstate::Token& t : m->tokens)
        if (t.tokenId.LowPart == tokenId.LowPart && t.tokenId.HighPart == tokenId.HighPart)
            return t.session;
    return NoSession;
}

void RecordProcessSession(DWORD processId, DWORD session)
{
    FILETIME created{};
    if (!CreationTime(processId, &created))
        return;
    MachineLock m;
    if (!m)
        return;
    benchstate::Process* slot = nullptr;
    for (benchstate::Process& p : m->processes)
    {
        FILETIME alive;
        if (p.processId == processId || p.processId == 0 || !CreationTime(p.processId, &alive) ||
            !SameTime(alive, p.created))
        {
            slot = &p;
            break;
        }
    }
    if (slot != nullptr)
        *slot = benchstate::Process{processId, created, session};
}

void RecordMove(HWND window, int x, int y, int width, int height)
{
    MachineLock m;
    if (!m)
        return;
    ++m->moveCalls;
    m->lastMoveWindow = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(window));
    m->lastMoveRect = RECT{x, y, x + width, y + height};
}

void RecordLaunch(bool impersonating)
{
    MachineLock m;
    if (!m)
        return;
    ++m->launchCalls;
    if (impersonating)
        ++m->impersonatedLaunches;
}

LaunchesSeen LaunchCalls()
{
    LaunchesSeen launches;
    MachineLock m;
    if (!m)
        return launches;
    launches.count = m->launchCalls;
    launches.impersonating = m->impersonatedLaunches;
    return launches;
}

WindowMoves MovesSeen()
{
    WindowMoves moves;
    MachineLock m;
    if (!m)
        return moves;
    moves.count = m->moveCalls;
    moves.lastWindow = reinterpret_cast<HWND>(static_cast<ULONG_PTR>(m->lastMoveWindow));
    moves.lastRect = m->lastMoveRect;
    return moves;
}
}
