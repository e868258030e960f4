#include "WinStation.h"

#include <windows.h>

#include <string>

namespace
{
using RevertFunction = BOOLEAN(WINAPI*)();

// From the system directory only: a winsta.dll beside the program or in the current
// directory must never be picked up by a service running as LocalSystem.
HMODULE LoadSystemWinsta()
{
    HMODULE module = LoadLibraryExW(L"winsta.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr && GetLastError() == ERROR_INVALID_PARAMETER)
    {
        // Systems without the search flags (Vista, 7 without KB2533623): name the full path.
        wchar_t directory[MAX_PATH];
        const UINT length = GetSystemDirectoryW(directory, MAX_PATH);
        if (length == 0 || length >= MAX_PATH)
            return nullptr;
        const std::wstring path = std::wstring(directory, length) + L"\\winsta.dll";
        module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    }
    return module;
}

RevertFunction ResolveRevert()
{
    const HMODULE module = LoadSystemWinsta();
    if (module == nullptr)
        return nullptr;
    return reinterpret_cast<RevertFunction>(
        reinterpret_cast<void*>(GetProcAddress(module, "WinStationRevertFromServicesSession")));
}
}

void RevertFromServicesSession()
{
    static const RevertFunction revert = ResolveRevert();
    if (revert != nullptr)
        revert();
}
