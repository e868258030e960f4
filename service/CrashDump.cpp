#include "CrashDump.h"

#include <dbghelp.h>
#include <knownfolders.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <atomic>
#include <cstdlib>
#include <exception>

namespace
{
std::atomic<DWORD> dumpingThread{0};
std::atomic<bool> dumpWritten{false};

// False when there is no folder, or when the folder and the file name do not fit MAX_PATH:
// the path-building calls then leave a different path behind, which must not be written.
bool DumpPath(wchar_t (&path)[MAX_PATH])
{
    PWSTR folder = nullptr;
    if (FAILED(SHGetKnownFolderPath(FOLDERID_LocalAppDataLow, 0, nullptr, &folder)))
        return false;
    const bool fits = PathAppendW(path, folder) && PathAppendW(path, L"Quillon") && PathAddExtensionW(path, L".dmp");
    CoTaskMemFree(folder);
    return fits;
}

void WriteDump(EXCEPTION_POINTERS* exceptionPointers)
{
    wchar_t path[MAX_PATH] = {};
    if (!DumpPath(path))
        return;
    const HANDLE file =
        CreateFileW(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;

    MINIDUMP_EXCEPTION_INFORMATION information{};
    information.ThreadId = GetCurrentThreadId();
    information.ExceptionPointers = exceptionPointers;
    information.ClientPointers = TRUE;
    MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file, MiniDumpNormal, &information, nullptr,
                      nullptr);
    CloseHandle(file);
}

// Raised on the failing thread itself, so that the dump shows that thread's stack, still
// whole: the unwinder gave up before unwinding anything.
[[noreturn]] void OnTerminate()
{
    RaiseException(UncaughtCppExceptionCode, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    std::abort();
}
}

LONG WINAPI CrashDumpFilter(EXCEPTION_POINTERS* exceptionPointers)
{
    const DWORD self = GetCurrentThreadId();
    DWORD owner = 0;
    if (!dumpingThread.compare_exchange_strong(owner, self))
    {
        // A second failing thread lets the first finish its dump; the process then ends
        // through whichever returns first. A fault inside the dump writer itself returns at once.
        if (owner != self)
            while (!dumpWritten.load())
                Sleep(10);
        return EXCEPTION_EXECUTE_HANDLER;
    }
    WriteDump(exceptionPointers);
    dumpWritten.store(true);
    return EXCEPTION_EXECUTE_HANDLER;
}

void EndProcessWithDump(DWORD exceptionCode) noexcept
{
    CONTEXT context{};
    RtlCaptureContext(&context);
    EXCEPTION_RECORD record{};
    record.ExceptionCode = exceptionCode;
    record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
#if defined(_M_IX86) || defined(__i386__)
    record.ExceptionAddress = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(context.Eip));
#else
    record.ExceptionAddress = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(context.Rip));
#endif
    EXCEPTION_POINTERS pointers{&record, &context};
    CrashDumpFilter(&pointers);
    TerminateProcess(GetCurrentProcess(), exceptionCode);
    ExitProcess(exceptionCode);
}

void InstallCrashDumpHandling()
{
    SetUnhandledExceptionFilter(&CrashDumpFilter);
    std::set_terminate(&OnTerminate);
}
