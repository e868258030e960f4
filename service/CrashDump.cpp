#include "CrashDump.h"

#include <dbghelp.h>
#include <knownfolders.h>
#include <shlobj.h>
#include <shlwapi.h>

LONG WINAPI CrashDumpFilter(EXCEPTION_POINTERS* exceptionPointers)
{
    wchar_t path[MAX_PATH] = {};
    PWSTR folder = nullptr;
    if (FAILED(SHGetKnownFolderPath(FOLDERID_LocalAppDataLow, 0, nullptr, &folder)))
        return EXCEPTION_EXECUTE_HANDLER;
    PathAppendW(path, folder);
    PathAppendW(path, L"Quillon");
    PathAddExtensionW(path, L".dmp");
    CoTaskMemFree(folder);

    const HANDLE file =
        CreateFileW(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return EXCEPTION_EXECUTE_HANDLER;

    MINIDUMP_EXCEPTION_INFORMATION information{};
    information.ThreadId = GetCurrentThreadId();
    information.ExceptionPointers = exceptionPointers;
    information.ClientPointers = TRUE;
    MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file, MiniDumpNormal, &information, nullptr,
                      nullptr);
    CloseHandle(file);
    return EXCEPTION_EXECUTE_HANDLER;
}
