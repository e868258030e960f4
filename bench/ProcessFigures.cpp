#include "ProcessFigures.h"

#include <winternl.h>

namespace figures
{
namespace
{
using QueryFunction = NTSTATUS(WINAPI*)(SYSTEM_INFORMATION_CLASS, PVOID, ULONG, PULONG);

std::vector<BYTE> ProcessList()
{
    static const auto query = reinterpret_cast<QueryFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    std::vector<BYTE> buffer(256 * 1024);
    for (int attempt = 0; query != nullptr && attempt < 8; ++attempt)
    {
        ULONG needed = 0;
        const NTSTATUS status =
            query(SystemProcessInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status >= 0)
            return buffer;
        buffer.resize(buffer.size() * 2 > needed ? buffer.size() * 2 : needed + 4096);
    }
    return {};
}

template <typename Visit>
void ForEach(Visit visit)
{
    const std::vector<BYTE> list = ProcessList();
    if (list.empty())
        return;
    for (size_t offset = 0;;)
    {
        const auto* entry = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(list.data() + offset);
        Process process;
        process.processId = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(entry->UniqueProcessId));
        process.handles = entry->HandleCount;
        process.threads = entry->NumberOfThreads;
        process.privateBytes = entry->PrivatePageCount;
        process.workingSet = entry->VirtualMemoryCounters.WorkingSetSize;
        process.peakWorkingSet = entry->VirtualMemoryCounters.PeakWorkingSetSize;
        process.cpu100ns = static_cast<ULONGLONG>(entry->UserTime.QuadPart + entry->KernelTime.QuadPart);
        const std::wstring name(entry->ImageName.Buffer != nullptr ? entry->ImageName.Buffer : L"",
                                entry->ImageName.Length / sizeof(wchar_t));
        visit(name, process);
        if (entry->NextEntryOffset == 0)
            break;
        offset += entry->NextEntryOffset;
    }
}
}

std::vector<Process> Named(const wchar_t* image)
{
    std::vector<Process> found;
    ForEach([&](const std::wstring& name, const Process& process) {
        if (_wcsicmp(name.c_str(), image) == 0)
            found.push_back(process);
    });
    return found;
}

bool Of(DWORD processId, Process* figures)
{
    bool found = false;
    ForEach([&](const std::wstring&, const Process& process) {
        if (process.processId == processId)
        {
            *figures = process;
            found = true;
        }
    });
    return found;
}
}
