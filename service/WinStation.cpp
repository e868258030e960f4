#include "WinStation.h"

#include <windows.h>

#include "session/SystemLibraries.h"

namespace
{
using RevertFunction = BOOLEAN(WINAPI*)();

RevertFunction ResolveRevert()
{
    // A winsta.dll beside the program or in the current directory must never be picked up by a
    // service running as LocalSystem.
    const HMODULE module = LoadSystemLibrary(L"winsta.dll");
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
