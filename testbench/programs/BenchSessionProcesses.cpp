// Lists the processes of some images per session, as the simulated Terminal Services reports
// them through WTSEnumerateProcessesW:
//     BenchSessionProcesses [--wait IMAGE SESSION TIMEOUT_MS] [IMAGE...]
// With --wait it first waits until IMAGE runs in SESSION (exit code 1 on time-out). The images
// listed default to the service and its helpers.

#include <windows.h>
#include <wtsapi32.h>

#include <cstdio>
#include <cwchar>
#include <map>
#include <string>
#include <vector>

namespace
{
struct Process
{
    DWORD session;
    DWORD pid;
    std::wstring image;
};

std::vector<Process> Processes()
{
    std::vector<Process> list;
    WTS_PROCESS_INFOW* records = nullptr;
    DWORD count = 0;
    if (!WTSEnumerateProcessesW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &records, &count))
        return list;
    for (DWORD i = 0; i < count; ++i)
        list.push_back({records[i].SessionId, records[i].ProcessId,
                        records[i].pProcessName != nullptr ? records[i].pProcessName : L""});
    WTSFreeMemory(records);
    return list;
}

bool Runs(const std::wstring& image, DWORD session)
{
    for (const Process& p : Processes())
        if (p.session == session && _wcsicmp(p.image.c_str(), image.c_str()) == 0)
            return true;
    return false;
}
}

int wmain(int argc, wchar_t** argv)
{
    int next = 1;
    if (argc >= 5 && std::wstring(argv[1]) == L"--wait")
    {
        const std::wstring image = argv[2];
        const DWORD session = wcstoul(argv[3], nullptr, 0);
        const ULONGLONG end = GetTickCount64() + wcstoul(argv[4], nullptr, 0);
        while (!Runs(image, session))
        {
            if (GetTickCount64() >= end)
            {
                fwprintf(stderr, L"%ls did not start in session %lu\n", image.c_str(),
                         static_cast<unsigned long>(session));
                return 1;
            }
            Sleep(50);
        }
        next = 5;
    }
    std::vector<std::wstring> images(argv + next, argv + argc);
    if (images.empty())
        images = {L"Quillon.exe", L"QuillonExplorer.exe", L"QuillonTray.exe"};

    std::map<DWORD, std::wstring> perSession;
    for (const Process& p : Processes())
        for (const std::wstring& image : images)
            if (_wcsicmp(p.image.c_str(), image.c_str()) == 0)
                perSession[p.session] += L" " + p.image + L" (pid " + std::to_wstring(p.pid) + L")";
    for (const auto& [session, line] : perSession)
        wprintf(L"session %lu:%ls\n", static_cast<unsigned long>(session), line.c_str());
    if (perSession.empty())
        wprintf(L"none of the programs runs\n");
    return 0;
}
