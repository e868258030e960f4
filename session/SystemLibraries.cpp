#include "SystemLibraries.h"

#include <delayimp.h>

#include <cwchar>

namespace
{
using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);

SetDefaultDllDirectoriesFunction SetDefaultDllDirectoriesExport()
{
    // Windows 8 and later, and Vista and 7 with KB2533623; the search flags exist only there.
    return reinterpret_cast<SetDefaultDllDirectoriesFunction>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
}

// The DLLs that are not among the system's known DLLs are linked to load on first use (the
// build lists them), so that this hook, not the loader's search order, decides where they
// come from.
FARPROC WINAPI LoadDelayedFromSystemFolder(unsigned notification, PDelayLoadInfo info)
{
    if (notification != dliNotePreLoadLibrary || info == nullptr || info->szDll == nullptr)
        return nullptr;
    // DLL names are ASCII; a name that does not fit is no system DLL.
    wchar_t name[MAX_PATH] = {};
    size_t length = 0;
    for (const char* c = info->szDll; *c != '\0' && length + 1 < MAX_PATH; ++c)
        name[length++] = static_cast<wchar_t>(static_cast<unsigned char>(*c));
    const HMODULE module = info->szDll[length] == '\0' ? LoadSystemLibrary(name) : nullptr;
    if (module == nullptr)
    {
        // Returning null would let the delay-load helper search for the DLL itself, program
        // folder first. A system missing one of its own DLLs gets the helper's own failure.
        DWORD error = GetLastError();
        if (error == 0)
            error = ERROR_MOD_NOT_FOUND;
        ULONG_PTR argument = reinterpret_cast<ULONG_PTR>(info);
        RaiseException(VcppException(ERROR_SEVERITY_ERROR, error), EXCEPTION_NONCONTINUABLE, 1, &argument);
    }
    return reinterpret_cast<FARPROC>(module);
}
}

// Visual C++ declares the hook const, MinGW does not.
extern "C"
{
#if defined(_MSC_VER)
const PfnDliHook __pfnDliNotifyHook2 = &LoadDelayedFromSystemFolder;
#else
PfnDliHook __pfnDliNotifyHook2 = &LoadDelayedFromSystemFolder;
#endif
}

HMODULE LoadSystemLibrary(const wchar_t* name)
{
    if (SetDefaultDllDirectoriesExport() != nullptr)
        return LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    // Without the search flags: the full path, which the loader takes as it stands.
    wchar_t path[MAX_PATH];
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length + 1 + wcslen(name) >= MAX_PATH)
    {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return nullptr;
    }
    path[length] = L'\\';
    wmemcpy(path + length + 1, name, wcslen(name) + 1);
    return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

void KeepDllSearchInSystemFolder()
{
    SetDllDirectoryW(L"");
    if (const SetDefaultDllDirectoriesFunction restrict = SetDefaultDllDirectoriesExport())
        restrict(LOAD_LIBRARY_SEARCH_SYSTEM32);
}
