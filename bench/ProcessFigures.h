#pragma once

// Figures of another process as the system's process list gives them. Under Wine this list is
// the wineserver's: the handle count is the server's count of the process's handles, and the
// memory figures come from the Linux process behind it. GetProcessHandleCount and
// GetProcessMemoryInfo about another process answer zeros there.

#include <windows.h>

#include <string>
#include <vector>

namespace figures
{
struct Process
{
    DWORD processId = 0;
    DWORD handles = 0;
    DWORD threads = 0;
    SIZE_T privateBytes = 0;     // PrivatePageCount (Wine: the pagefile figure, or 0)
    SIZE_T workingSet = 0;       // WorkingSetSize (Wine: resident size)
    SIZE_T peakWorkingSet = 0;
    ULONGLONG cpu100ns = 0;      // user + kernel time
};

// Every process whose image name is the given one (any case).
std::vector<Process> Named(const wchar_t* image);
// The one process with the id; false when it is not in the list.
bool Of(DWORD processId, Process* figures);
}
