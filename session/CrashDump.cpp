#include "CrashDump.h"

#include <dbghelp.h>
#include <knownfolders.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <atomic>
#include <cstdlib>
#include <exception>

#include "ScopedResource.h"

namespace
{
// How long a second failing thread gives the first to finish its dump before the process ends
// without it: a dump writer that hangs must not keep a dead service alive, but a slow one (some
// seconds under load) must not be cut short.
constexpr DWORD SecondFailureWaitMs = 60000;

std::atomic<DWORD> dumpingThread{0};
std::atomic<bool> dumpWritten{false};

// Built once, at start-up: a crashed process may no longer manage to ask the shell for a
// folder, and the folder may not exist yet (a 32-bit LocalSystem service on 64-bit Windows has
// its own system profile, which often lacks it). Empty when there is no usable path.
wchar_t dumpPath[MAX_PATH] = {};

// False when there is no folder, or when the folder and the file name do not fit MAX_PATH:
// the path-building calls then leave a different path behind, which must not be written.
bool BuildDumpPath(const wchar_t* name, wchar_t (&path)[MAX_PATH])
{
    PWSTR folder = nullptr;
    if (FAILED(SHGetKnownFolderPath(FOLDERID_LocalAppDataLow, KF_FLAG_CREATE, nullptr, &folder)))
        return false;
    const bool fits = PathAppendW(path, folder) && PathAppendW(path, name) && PathAddExtensionW(path, L".dmp");
    CoTaskMemFree(folder);
    return fits;
}

void WriteDump(EXCEPTION_POINTERS* exceptionPointers)
{
    if (dumpPath[0] == L'\0')
        return;
    const ScopedFile file = MakeScopedFile(
        CreateFileW(dumpPath, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return;

    MINIDUMP_EXCEPTION_INFORMATION information{};
    information.ThreadId = GetCurrentThreadId();
    information.ExceptionPointers = exceptionPointers;
    information.ClientPointers = TRUE;
    MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file.get(), MiniDumpNormal, &information, nullptr,
                      nullptr);
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
        // A second failing thread lets the first finish its dump, for a while; the process then
        // ends through whichever returns first. A fault inside the dump writer itself returns at once.
        if (owner != self)
        {
            const ULONGLONG start = GetTickCount64();
            while (!dumpWritten.load() && GetTickCount64() - start < SecondFailureWaitMs)
                Sleep(10);
        }
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

void InstallCrashDumpHandling(const wchar_t* name)
{
    if (!BuildDumpPath(name, dumpPath))
        dumpPath[0] = L'\0';
    SetUnhandledExceptionFilter(&CrashDumpFilter);
    std::set_terminate(&OnTerminate);
}
