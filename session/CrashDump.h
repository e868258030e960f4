#pragma once

#include <windows.h>

// The exception code of the dump made for a C++ exception that nothing caught, where the
// compiler's runtime ends such an exception in std::terminate rather than raising it to the
// unhandled-exception filter (MinGW's DWARF unwinder does; MSVC builds raise their own code).
constexpr DWORD UncaughtCppExceptionCode = 0xE0435050;

// Writes the program's dump (NAME.dmp, see InstallCrashDumpHandling) to the LocalLow folder of
// the process's account and lets the process end. One dump at a time: a thread that fails while another writes waits for it, for at most
// a minute, and adds none.
LONG WINAPI CrashDumpFilter(EXCEPTION_POINTERS* exceptionPointers);

// For a fault that must not be carried on from (impersonation that cannot be undone, an
// exception where no caller may see it: window, timer and thread-pool callbacks): writes the
// dump for the calling thread, as the filter would for an exception with this code, and ends
// the process with the code. Does not rely on an exception reaching the filter, which a
// window procedure's caller may swallow.
[[noreturn]] void EndProcessWithDump(DWORD exceptionCode) noexcept;

// Creates the LocalLow folder when it is missing and fixes the dump's path, NAME.dmp there (each
// program its own name, so that one program's dump does not replace another's), then installs
// the filter for every thread and routes an escaping C++ exception to it as well.
void InstallCrashDumpHandling(const wchar_t* name);
