// Puts the bench prefix back as testbench/lib.sh made it, before each test: whatever the test
// before did or left half done when it was killed at its time-out. Every wait is bounded.
//   BenchReset            prints one line: the time taken and what had to be put back
// Exit code 0 when the prefix is as the bench made it, 1 when something could not be restored
// (the test then does not run on a prefix that would fail it for the wrong reason).

#include <windows.h>

#include <tlhelp32.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "BenchClient.h"
#include "TermSrv.h"
#include "session/Paths.h"
#include "services/BenchServiceNames.h"

using bench::ImageOf;

namespace
{
// As testbench/lib.sh registers the entry and sets the prefix up.
constexpr const wchar_t* EntryDisplayName = L"Interactive Services Detection";
constexpr DWORD EntryType = SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;
constexpr const wchar_t* PrefixWindowsVersion = L"win10";
constexpr const wchar_t* TermSrvHostService = L"QuillonBenchTermSrv";
constexpr const wchar_t* ServicesKey = L"SYSTEM\\CurrentControlSet\\Services\\UI0Detect";
constexpr const wchar_t* WindowsKey = L"SYSTEM\\CurrentControlSet\\Control\\Windows";
constexpr const wchar_t* ShellFoldersKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
constexpr const wchar_t* LocalLowValue = L"{A520A1A4-1780-4FF6-BD18-167343C5AF16}";
constexpr const wchar_t* LocalLowFolder = L"%USERPROFILE%\\AppData\\LocalLow";
// Left in bin/ by tests: decoys beside the programs, images moved aside, stand-in folders.
const wchar_t* const StrayFiles[] = {L"winsta.dll", L"wtsapi32.dll", L"userenv.dll", L"dbghelp.dll", L"comctl32.dll"};
const wchar_t* const StrayFolders[] = {L"standin-explorer", L"stopcheck"};

std::vector<std::wstring> done;
std::vector<std::wstring> failed;


bool StartsWith(const std::wstring& text, const std::wstring& prefix)
{
    return text.size() >= prefix.size() &&
           CompareStringOrdinal(text.c_str(), static_cast<int>(prefix.size()), prefix.c_str(),
                                static_cast<int>(prefix.size()), TRUE) == CSTR_EQUAL;
}

bool SameText(const std::wstring& a, const std::wstring& b)
{
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

DWORD ServiceProcess(const wchar_t* name)
{
    try
    {
        const SERVICE_STATUS_PROCESS status = bench::Service(name, SERVICE_QUERY_STATUS).Status();
        return status.dwCurrentState != SERVICE_STOPPED ? status.dwProcessId : 0;
    }
    catch (const std::exception&)
    {
        return 0;
    }
}

// Ends the processes and waits for all of them together, at most timeoutMs.
void EndProcesses(const std::vector<DWORD>& pids, DWORD timeoutMs)
{
    std::vector<HANDLE> handles;
    for (DWORD pid : pids)
        if (const HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid))
        {
            TerminateProcess(process, 1);
            handles.push_back(process);
        }
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    for (HANDLE process : handles)
    {
        const ULONGLONG now = GetTickCount64();
        WaitForSingleObject(process, now < end ? static_cast<DWORD>(end - now) : 0);
        CloseHandle(process);
    }
}

bool EntryMissing()
{
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    const SC_HANDLE entry =
        manager != nullptr ? OpenServiceW(manager, bench::ServiceName, SERVICE_QUERY_STATUS) : nullptr;
    const bool missing = entry == nullptr && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
    if (entry != nullptr)
        CloseServiceHandle(entry);
    if (manager != nullptr)
        CloseServiceHandle(manager);
    return missing;
}

// A service that cannot stop by itself (a bench service told never to, a hung one) is ended.
// Wine's manager keeps the last state of a service whose process ended without reporting
// SERVICE_STOPPED (a crash, a kill): such an entry is deleted, and ResetEntry registers it again.
void StopService()
{
    if (EntryMissing())
        return;
    if (const HANDLE release = OpenEventW(EVENT_MODIFY_STATE, FALSE, BenchServiceReleaseEvent))
    {
        SetEvent(release);
        CloseHandle(release);
    }
    {
        bench::Service service;
        const SERVICE_STATUS_PROCESS status = service.Status();
        if (status.dwCurrentState == SERVICE_STOPPED)
            return;
        const std::wstring image = FileNameOf(ImageOf(status.dwProcessId));
        const HANDLE process = status.dwProcessId != 0
                                   ? OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, status.dwProcessId)
                                   : nullptr;
        const bool alive = process != nullptr && WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
        bool stopped = false;
        if (alive && service.StopAndWait(5000))
        {
            done.push_back(L"service stopped");
            stopped = true;
        }
        else if (alive)
        {
            TerminateProcess(process, 1);
            WaitForSingleObject(process, 3000);
            stopped = service.WaitForState(SERVICE_STOPPED, 500);
            if (stopped)
                done.push_back(L"service ended (" + image + L" did not stop)");
        }
        if (process != nullptr)
            CloseHandle(process);
        if (stopped)
            return;
        if (!DeleteService(service.handle()) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE)
        {
            failed.push_back(L"the service stays in state " + std::to_wstring(service.State()) +
                             L" and its entry cannot be deleted, error " + std::to_wstring(GetLastError()));
            return;
        }
    }
    const bool gone = bench::WaitUntil(EntryMissing, 5000, 50);
    if (gone)
        done.push_back(L"entry of an ended service deleted");
    else
        failed.push_back(L"the entry of an ended service stays after its deletion");
}

// The bench's non-interactive service ends at its stop control. Ended by the sweep of leftovers
// instead, it would stay running in the eyes of Wine's manager (its next start deletes such an
// entry and registers it anew).
void StopHungService()
{
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    const SC_HANDLE service =
        manager != nullptr ? OpenServiceW(manager, HungServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS) : nullptr;
    SERVICE_STATUS status{};
    const auto stopped = [&] { return QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_STOPPED; };
    if (service != nullptr && !stopped() && ControlService(service, SERVICE_CONTROL_STOP, &status) &&
        bench::WaitUntil(stopped, 5000))
        done.push_back(std::wstring(HungServiceName) + L" stopped");
    if (service != nullptr)
        CloseServiceHandle(service);
    if (manager != nullptr)
        CloseServiceHandle(manager);
}

// Test programs, bench programs and copies of them, and the helpers of any Quillon.exe, wherever
// they run from; not the bench's own long-lived processes.
void EndLeftovers(const std::wstring& buildFolder)
{
    const DWORD keep[] = {GetCurrentProcessId(), ServiceProcess(TermSrvHostService)};
    std::vector<DWORD> pids;
    std::wstring names;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
    {
        failed.push_back(L"no process snapshot, error " + std::to_wstring(GetLastError()));
        return;
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
    {
        if (entry.th32ProcessID == keep[0] || entry.th32ProcessID == keep[1] ||
            SameText(entry.szExeFile, L"BenchDesktop.exe"))
            continue;
        const std::wstring image = ImageOf(entry.th32ProcessID);
        if (StartsWith(entry.szExeFile, L"Quillon") || StartsWith(image, buildFolder + L"\\"))
        {
            pids.push_back(entry.th32ProcessID);
            names += (names.empty() ? L"" : L", ") + std::wstring(entry.szExeFile);
        }
    }
    CloseHandle(snapshot);
    if (pids.empty())
        return;
    EndProcesses(pids, 3000);
    done.push_back(L"ended " + names);
}

// The entry as lib.sh's "sc create" registers it; a deleted one is registered again.
void ResetEntry(const std::wstring& image)
{
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
    if (manager == nullptr)
    {
        failed.push_back(L"no service manager, error " + std::to_wstring(GetLastError()));
        return;
    }
    SC_HANDLE service = OpenServiceW(manager, bench::ServiceName, SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG);
    if (service == nullptr && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST)
    {
        service = CreateServiceW(manager, bench::ServiceName, EntryDisplayName, SERVICE_QUERY_CONFIG, EntryType,
                                 SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, image.c_str(), nullptr, nullptr,
                                 nullptr, nullptr, nullptr);
        if (service != nullptr)
            done.push_back(L"UI0Detect registered again");
    }
    if (service == nullptr)
    {
        failed.push_back(L"cannot open or register UI0Detect, error " + std::to_wstring(GetLastError()));
        CloseServiceHandle(manager);
        return;
    }
    bench::ServiceConfig config;
    if (!bench::ReadServiceConfig(service, config))
        failed.push_back(L"cannot read UI0Detect's configuration, error " + std::to_wstring(GetLastError()));
    else if (config.type != EntryType || config.start != SERVICE_DEMAND_START ||
             config.errorControl != SERVICE_ERROR_NORMAL || !SameText(config.image, image) ||
             !SameText(config.account, L"LocalSystem") || config.displayName != EntryDisplayName)
    {
        BOOL changed = FALSE;
        // Right after a change Wine's manager may answer "locked" for a moment.
        for (int attempt = 0; attempt < 20 && !changed; ++attempt)
        {
            changed = ChangeServiceConfigW(service, EntryType, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                           image.c_str(), nullptr, nullptr, nullptr, L"LocalSystem", L"",
                                           EntryDisplayName);
            if (!changed && GetLastError() != ERROR_SERVICE_DATABASE_LOCKED)
                break;
            if (!changed)
                Sleep(50);
        }
        if (changed)
            done.push_back(L"UI0Detect's configuration put back (was " + config.image + L")");
        else
            failed.push_back(L"cannot put UI0Detect's configuration back, error " + std::to_wstring(GetLastError()));
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);

    if (RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, ServicesKey, L"QuillonCreated") == ERROR_SUCCESS)
        done.push_back(L"mark of a created entry removed");
    if (RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, WindowsKey, L"NoInteractiveServices") == ERROR_SUCCESS)
        done.push_back(L"NoInteractiveServices removed");
}

bool SameBytes(const std::wstring& a, const std::wstring& b)
{
    const std::string left = bench::ReadFileBytes(a);
    return !left.empty() && left == bench::ReadFileBytes(b);
}

// The shipped programs as the build made them (copied to pristine/ at build time).
void RestorePrograms(const std::wstring& binFolder, const std::wstring& pristineFolder)
{
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileW((pristineFolder + L"\\*.exe").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
    {
        failed.push_back(L"no pristine programs in " + pristineFolder);
        return;
    }
    do
    {
        const std::wstring name = found.cFileName;
        const std::wstring target = binFolder + L"\\" + name;
        if (!SameBytes(pristineFolder + L"\\" + name, target))
        {
            if (CopyFileW((pristineFolder + L"\\" + name).c_str(), target.c_str(), FALSE))
                done.push_back(name + L" restored");
            else
                failed.push_back(L"cannot restore " + target + L", error " + std::to_wstring(GetLastError()));
        }
        if (DeleteFileW((target + L".away").c_str()))
            done.push_back(name + L".away removed");
    } while (FindNextFileW(search, &found));
    FindClose(search);

    for (const wchar_t* stray : StrayFiles)
        if (DeleteFileW((binFolder + L"\\" + stray).c_str()))
            done.push_back(std::wstring(stray) + L" removed from bin");
    for (const wchar_t* folder : StrayFolders)
    {
        const std::wstring path = binFolder + L"\\" + folder;
        const HANDLE files = FindFirstFileW((path + L"\\*").c_str(), &found);
        if (files == INVALID_HANDLE_VALUE)
            continue;
        do
            DeleteFileW((path + L"\\" + found.cFileName).c_str());
        while (FindNextFileW(files, &found));
        FindClose(files);
        if (RemoveDirectoryW(path.c_str()))
            done.push_back(std::wstring(folder) + L" removed from bin");
    }
}

std::wstring StringValue(HKEY root, const wchar_t* key, const wchar_t* name)
{
    wchar_t value[512];
    DWORD bytes = sizeof value;
    if (RegGetValueW(root, key, name, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, value, &bytes) !=
        ERROR_SUCCESS)
        return L"";
    return value;
}

// The Windows version Wine reports (the prefix's, and none of a program's own), and the
// account's LocalLow folder where the shell puts it.
void ResetProfile()
{
    if (StringValue(HKEY_CURRENT_USER, L"Software\\Wine", L"Version") != PrefixWindowsVersion)
    {
        RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Wine", L"Version", REG_SZ, PrefixWindowsVersion,
                        static_cast<DWORD>((wcslen(PrefixWindowsVersion) + 1) * sizeof(wchar_t)));
        done.push_back(L"prefix's Windows version put back");
    }
    HKEY defaults = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Wine\\AppDefaults", 0, KEY_READ | KEY_SET_VALUE, &defaults) ==
        ERROR_SUCCESS)
    {
        wchar_t name[256];
        for (DWORD i = 0, size = 256; RegEnumKeyExW(defaults, i, name, &size, nullptr, nullptr, nullptr, nullptr) ==
                                      ERROR_SUCCESS;
             ++i, size = 256)
            if (StartsWith(name, L"Quillon") && RegDeleteKeyValueW(defaults, name, L"Version") == ERROR_SUCCESS)
                done.push_back(std::wstring(L"Windows version of ") + name + L" removed");
        RegCloseKey(defaults);
    }
    // Wine's shell writes the folder's default there on first use.
    if (StringValue(HKEY_CURRENT_USER, ShellFoldersKey, LocalLowValue) != LocalLowFolder)
    {
        RegSetKeyValueW(HKEY_CURRENT_USER, ShellFoldersKey, LocalLowValue, REG_EXPAND_SZ, LocalLowFolder,
                        static_cast<DWORD>((wcslen(LocalLowFolder) + 1) * sizeof(wchar_t)));
        done.push_back(L"LocalLow folder put back");
    }
}
}

int wmain()
{
    const ULONGLONG start = GetTickCount64();
    const std::wstring benchFolder = bench::ProgramDirectory();
    const std::wstring buildFolder = FolderOf(benchFolder);
    const std::wstring binFolder = buildFolder + L"\\bin";
    try
    {
        StopService();
        StopHungService();
        EndLeftovers(buildFolder);
        // A leftover may have started the service again.
        StopService();
        ResetEntry(binFolder + L"\\Quillon.exe");
        RestorePrograms(binFolder, benchFolder + L"\\pristine");
        ResetProfile();
        bench::termsrv::Reset();
    }
    catch (const std::exception& error)
    {
        const std::string what = error.what();
        failed.push_back(std::wstring(what.begin(), what.end()));
    }

    std::wstring line;
    for (const std::wstring& item : done)
        line += L"; " + item;
    std::wstring problems;
    for (const std::wstring& item : failed)
        problems += L"; " + item;
    wprintf(L"bench reset: %llu ms%ls\n", GetTickCount64() - start, line.c_str());
    if (!failed.empty())
        wprintf(L"bench reset FAILED%ls\n", problems.c_str());
    fflush(stdout);
    return failed.empty() ? 0 : 1;
}
