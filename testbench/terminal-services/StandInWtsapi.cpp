// Stand-in for the system's wtsapi32.dll under Wine, which has no sessions. It answers from the
// simulated machine of TermSrv.h. Loaded into a program, it also redirects the program's own
// imports of ProcessIdToSessionId, GetNamedPipeServerSessionId, WTSGetActiveConsoleSessionId and
// CreateProcessAsUserW, so that a child started with a user token it handed out counts as a
// process of that session (and each such call is counted, with whether the calling thread was
// impersonating), of MoveWindow, which it counts: Wine shows no trace of a move to the same
// rectangle, and of RevertToSelf, so that a test can make it fail.

#include <windows.h>
#include <wtsapi32.h>

#include <cstring>
#include <string>
#include <vector>

#include "TermSrv.h"

namespace ts = bench::termsrv;

namespace
{
using CreateProcessAsUserFunction = BOOL(WINAPI*)(HANDLE, LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES,
                                                   LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID, LPCWSTR,
                                                   LPSTARTUPINFOW, LPPROCESS_INFORMATION);
CreateProcessAsUserFunction RealCreateProcessAsUser = nullptr;

bool Fails(ts::Call call)
{
    if (const DWORD error = ts::TakeFault(call))
    {
        if (error == ts::CrashInCall)
        {
            // A fault of the system DLL itself: a write through a null pointer. The write itself
            // must be volatile: GCC drops a plain store through a null pointer it can prove.
            volatile int* volatile nowhere = nullptr;
            *nowhere = 0;
        }
        SetLastError(error);
        return true;
    }
    return false;
}

DWORD OwnSession()
{
    return ts::SessionOfProcess(GetCurrentProcessId());
}

// Buffers handed out are freed by WTSFreeMemory.
template <typename T>
T* Allocate(size_t bytes)
{
    return static_cast<T*>(LocalAlloc(LPTR, bytes));
}

BOOL ReturnBytes(const void* data, size_t bytes, LPWSTR* buffer, DWORD* returned)
{
    void* copy = Allocate<void>(bytes);
    if (copy == nullptr)
    {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    memcpy(copy, data, bytes);
    *buffer = static_cast<LPWSTR>(copy);
    if (returned != nullptr)
        *returned = static_cast<DWORD>(bytes);
    return TRUE;
}

BOOL ReturnText(const std::wstring& text, LPWSTR* buffer, DWORD* returned)
{
    return ReturnBytes(text.c_str(), (text.size() + 1) * sizeof(wchar_t), buffer, returned);
}

template <size_t N>
void Put(WCHAR (&target)[N], const std::wstring& text)
{
    wcsncpy_s(target, text.c_str(), _TRUNCATE);
}

// --- Redirected imports of the loading program ----------------------------------------------

// The session of a pipe's server is its process's session on the simulated machine, as it is
// on Windows.
BOOL WINAPI BenchGetNamedPipeServerSessionId(HANDLE pipe, ULONG* session)
{
    ULONG processId = 0;
    if (session == nullptr || !GetNamedPipeServerProcessId(pipe, &processId))
        return FALSE;
    *session = ts::SessionOfProcess(processId);
    return TRUE;
}

BOOL WINAPI BenchProcessIdToSessionId(DWORD processId, DWORD* session)
{
    if (Fails(ts::Call::ProcessIdToSessionId))
        return FALSE;
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (process == nullptr || session == nullptr)
    {
        if (process != nullptr)
            CloseHandle(process);
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    CloseHandle(process);
    *session = ts::SessionOfProcess(processId);
    return TRUE;
}

DWORD WINAPI BenchWTSGetActiveConsoleSessionId()
{
    return ts::ConsoleSession();
}

BOOL WINAPI BenchCreateProcessAsUserW(HANDLE token, LPCWSTR application, LPWSTR commandLine,
                                      LPSECURITY_ATTRIBUTES processAttributes, LPSECURITY_ATTRIBUTES threadAttributes,
                                      BOOL inheritHandles, DWORD flags, LPVOID environment, LPCWSTR directory,
                                      LPSTARTUPINFOW startup, LPPROCESS_INFORMATION information)
{
    HANDLE threadToken = nullptr;
    const bool impersonating = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &threadToken) != FALSE;
    if (impersonating)
        CloseHandle(threadToken);
    ts::RecordLaunch(impersonating);
    const DWORD session = ts::SessionOfToken(token);
    if (session == ts::NoSession || session == 0)
        return RealCreateProcessAsUser(token, application, commandLine, processAttributes, threadAttributes,
                                       inheritHandles, flags, environment, directory, startup, information);
    // Suspended until it is recorded, so that the child already finds itself in its session.
    if (!RealCreateProcessAsUser(token, application, commandLine, processAttributes, threadAttributes, inheritHandles,
                                 flags | CREATE_SUSPENDED, environment, directory, startup, information))
        return FALSE;
    ts::RecordProcessSession(information->dwProcessId, session);
    if ((flags & CREATE_SUSPENDED) == 0)
        ResumeThread(information->hThread);
    return TRUE;
}

using MoveWindowFunction = BOOL(WINAPI*)(HWND, int, int, int, int, BOOL);
void* OriginalMoveWindow = nullptr;

BOOL WINAPI BenchMoveWindow(HWND window, int x, int y, int width, int height, BOOL repaint)
{
    ts::RecordMove(window, x, y, width, height);
    const MoveWindowFunction real =
        OriginalMoveWindow != nullptr ? reinterpret_cast<MoveWindowFunction>(OriginalMoveWindow) : &MoveWindow;
    return real(window, x, y, width, height, repaint);
}

using RevertToSelfFunction = BOOL(WINAPI*)();
void* OriginalRevertToSelf = nullptr;

BOOL WINAPI BenchRevertToSelf()
{
    if (Fails(ts::Call::RevertToSelf))
        return FALSE;
    const RevertToSelfFunction real =
        OriginalRevertToSelf != nullptr ? reinterpret_cast<RevertToSelfFunction>(OriginalRevertToSelf) : &RevertToSelf;
    return real();
}

struct Redirect
{
    const char* module;
    const char* function;
    void* replacement;
    void** original;
};

void* OriginalCreateProcessAsUser = nullptr;

void RedirectImports(HMODULE program, const Redirect* redirects, size_t count)
{
    auto* base = reinterpret_cast<BYTE*>(program);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0)
        return;
    for (auto* import = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
         import->Name != 0; ++import)
    {
        const char* moduleName = reinterpret_cast<const char*>(base + import->Name);
        if (import->OriginalFirstThunk == 0)
            continue;
        auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + import->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + import->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots)
        {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            for (size_t i = 0; i < count; ++i)
            {
                if (_stricmp(moduleName, redirects[i].module) != 0 ||
                    strcmp(reinterpret_cast<const char*>(byName->Name), redirects[i].function) != 0)
                    continue;
                DWORD old = 0;
                if (!VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &old))
                    continue;
                if (redirects[i].original != nullptr)
                    *redirects[i].original = reinterpret_cast<void*>(slots->u1.Function);
                slots->u1.Function = reinterpret_cast<ULONG_PTR>(redirects[i].replacement);
                VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old, &old);
            }
        }
    }
}
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
    {
        const Redirect redirects[] = {
            {"kernel32.dll", "ProcessIdToSessionId", reinterpret_cast<void*>(&BenchProcessIdToSessionId), nullptr},
            {"kernel32.dll", "GetNamedPipeServerSessionId", reinterpret_cast<void*>(&BenchGetNamedPipeServerSessionId),
             nullptr},
            {"kernel32.dll", "WTSGetActiveConsoleSessionId",
             reinterpret_cast<void*>(&BenchWTSGetActiveConsoleSessionId), nullptr},
            {"advapi32.dll", "CreateProcessAsUserW", reinterpret_cast<void*>(&BenchCreateProcessAsUserW),
             &OriginalCreateProcessAsUser},
            {"user32.dll", "MoveWindow", reinterpret_cast<void*>(&BenchMoveWindow), &OriginalMoveWindow},
            {"advapi32.dll", "RevertToSelf", reinterpret_cast<void*>(&BenchRevertToSelf), &OriginalRevertToSelf},
        };
        RedirectImports(GetModuleHandleW(nullptr), redirects, sizeof redirects / sizeof redirects[0]);
        RealCreateProcessAsUser = OriginalCreateProcessAsUser != nullptr
                                      ? reinterpret_cast<CreateProcessAsUserFunction>(OriginalCreateProcessAsUser)
                                      : &CreateProcessAsUserW;
    }
    return TRUE;
}

// --- Exports ---------------------------------------------------------------------------------

extern "C" {

__declspec(dllexport) VOID WINAPI WTSFreeMemory(PVOID memory)
{
    if (memory != nullptr)
        LocalFree(memory);
}

__declspec(dllexport) WINBOOL WINAPI WTSQuerySessionInformationW(HANDLE, DWORD sessionId, WTS_INFO_CLASS infoClass,
                                                                 LPWSTR* buffer, DWORD* bytesReturned)
{
    if (buffer == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *buffer = nullptr;
    if (Fails(ts::Call::QuerySessionInformation))
        return FALSE;
    const DWORD id = sessionId == WTS_CURRENT_SESSION ? OwnSession() : sessionId;
    ts::SessionInfo s;
    if (!ts::FindSession(id, &s))
    {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    switch (infoClass)
    {
    case WTSSessionId:
        return ReturnBytes(&s.id, sizeof s.id, buffer, bytesReturned);
    case WTSConnectState:
    {
        const INT state = static_cast<INT>(s.state);
        return ReturnBytes(&state, sizeof state, buffer, bytesReturned);
    }
    case WTSWinStationName:
        return ReturnText(s.winStation, buffer, bytesReturned);
    case WTSUserName:
        return ReturnText(s.userName, buffer, bytesReturned);
    case WTSDomainName:
        return ReturnText(s.domain, buffer, bytesReturned);
    case WTSClientName:
        return ReturnText(s.clientName, buffer, bytesReturned);
    case WTSClientProtocolType:
    {
        const USHORT protocol = s.remote ? 2 : 0;
        return ReturnBytes(&protocol, sizeof protocol, buffer, bytesReturned);
    }
    case WTSClientAddress:
    {
        WTS_CLIENT_ADDRESS address{};
        address.AddressFamily = s.clientAddressFamily;
        memcpy(address.Address, s.clientAddress, sizeof address.Address);
        return ReturnBytes(&address, sizeof address, buffer, bytesReturned);
    }
    case WTSSessionInfo:
    {
        WTSINFOW info{};
        info.State = static_cast<WTS_CONNECTSTATE_CLASS>(s.state);
        info.SessionId = s.id;
        Put(info.WinStationName, s.winStation);
        Put(info.Domain, s.domain);
        Put(info.UserName, s.userName);
        info.ConnectTime = s.connectTime;
        info.DisconnectTime = s.disconnectTime;
        info.LogonTime = s.logonTime;
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        info.CurrentTime.LowPart = now.dwLowDateTime;
        info.CurrentTime.HighPart = static_cast<LONG>(now.dwHighDateTime);
        return ReturnBytes(&info, sizeof info, buffer, bytesReturned);
    }
    case WTSClientInfo:
    {
        WTSCLIENTW client{};
        Put(client.ClientName, s.clientName);
        Put(client.Domain, s.clientDomain);
        Put(client.UserName, s.clientUser);
        if (s.remote)
        {
            client.ClientAddressFamily = s.clientAddressFamily;
            // One address byte per element, as Windows fills this record.
            for (int i = 0; i < 4; ++i)
                client.ClientAddress[i] = s.clientAddress[2 + i];
            client.HRes = static_cast<USHORT>(GetSystemMetrics(SM_CXVIRTUALSCREEN));
            client.VRes = static_cast<USHORT>(GetSystemMetrics(SM_CYVIRTUALSCREEN));
            client.ColorDepth = 32;
        }
        return ReturnBytes(&client, sizeof client, buffer, bytesReturned);
    }
    default:
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
}

__declspec(dllexport) WINBOOL WINAPI WTSEnumerateSessionsW(HANDLE, DWORD reserved, DWORD version,
                                                           PWTS_SESSION_INFOW* sessionInfo, DWORD* count)
{
    if (sessionInfo == nullptr || count == nullptr || reserved != 0 || version != 1)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *sessionInfo = nullptr;
    *count = 0;
    if (Fails(ts::Call::EnumerateSessions))
        return FALSE;
    const std::vector<ts::SessionInfo> sessions = ts::Sessions();
    size_t bytes = sessions.size() * sizeof(WTS_SESSION_INFOW);
    for (const ts::SessionInfo& s : sessions)
        bytes += (s.winStation.size() + 1) * sizeof(wchar_t);
    auto* records = Allocate<WTS_SESSION_INFOW>(bytes + sizeof(wchar_t));
    if (records == nullptr)
    {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    auto* text = reinterpret_cast<wchar_t*>(records + sessions.size());
    for (size_t i = 0; i < sessions.size(); ++i)
    {
        records[i].SessionId = sessions[i].id;
        records[i].State = static_cast<WTS_CONNECTSTATE_CLASS>(sessions[i].state);
        records[i].pWinStationName = text;
        memcpy(text, sessions[i].winStation.c_str(), (sessions[i].winStation.size() + 1) * sizeof(wchar_t));
        text += sessions[i].winStation.size() + 1;
    }
    *sessionInfo = records;
    *count = static_cast<DWORD>(sessions.size());
    return TRUE;
}

__declspec(dllexport) WINBOOL WINAPI WTSEnumerateProcessesW(HANDLE, DWORD reserved, DWORD version,
                                                            PWTS_PROCESS_INFOW* processInfo, DWORD* count)
{
    if (processInfo == nullptr || count == nullptr || reserved != 0 || version != 1)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *processInfo = nullptr;
    *count = 0;
    if (Fails(ts::Call::EnumerateProcesses))
        return FALSE;
    std::vector<ts::ProcessEntry> entries;
    if (!ts::RunningProcesses(&entries))
        return FALSE;

    size_t bytes = entries.size() * sizeof(WTS_PROCESS_INFOW);
    for (const ts::ProcessEntry& e : entries)
        bytes += (e.image.size() + 1) * sizeof(wchar_t);
    auto* records = Allocate<WTS_PROCESS_INFOW>(bytes + sizeof(wchar_t));
    if (records == nullptr)
    {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    auto* text = reinterpret_cast<wchar_t*>(records + entries.size());
    for (size_t i = 0; i < entries.size(); ++i)
    {
        records[i].SessionId = ts::SessionOfProcess(entries[i].id);
        records[i].ProcessId = entries[i].id;
        records[i].pProcessName = text;
        records[i].pUserSid = nullptr;
        memcpy(text, entries[i].image.c_str(), (entries[i].image.size() + 1) * sizeof(wchar_t));
        text += entries[i].image.size() + 1;
    }
    *processInfo = records;
    *count = static_cast<DWORD>(entries.size());
    return TRUE;
}

__declspec(dllexport) WINBOOL WINAPI WTSQueryUserToken(ULONG sessionId, PHANDLE token)
{
    if (token == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *token = nullptr;
    if (Fails(ts::Call::QueryUserToken))
        return FALSE;
    DWORD error = 0;
    *token = ts::HandOutUserToken(sessionId, &error);
    if (*token == nullptr)
    {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

__declspec(dllexport) WINBOOL WINAPI WTSRegisterSessionNotification(HWND window, DWORD flags)
{
    if (Fails(ts::Call::RegisterSessionNotification))
        return FALSE;
    if (!IsWindow(window) || (flags != NOTIFY_FOR_THIS_SESSION && flags != NOTIFY_FOR_ALL_SESSIONS))
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!ts::RegisterWindow(window, flags))
    {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    return TRUE;
}

__declspec(dllexport) WINBOOL WINAPI WTSUnRegisterSessionNotification(HWND window)
{
    if (Fails(ts::Call::UnRegisterSessionNotification))
        return FALSE;
    ts::UnregisterWindow(window);
    return TRUE;
}

}
