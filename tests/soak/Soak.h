#pragma once

// Shared pieces of the soak and fault tests: counts, the helpers' processes, the service's figures.

#include <windows.h>

#include <string>
#include <vector>

#include "BenchClient.h"

namespace soak
{
constexpr const wchar_t* Explorer = bench::ExplorerHelper;
constexpr const wchar_t* Tray = bench::TrayHelper;

// QUILLON_SOAK=full asks for the long counts; CI runs the short ones.
bool Full();
int Count(int ci, int full);

using bench::CopiesIn;
using bench::EndAll;
using bench::EndProcess;
// Waits for exactly one copy in the session other than notThis; its pid, or 0. Polled often: the
// soaks count restarts that follow each other closely.
inline DWORD WaitForOneCopy(const wchar_t* image, DWORD session, DWORD notThis = 0, DWORD timeoutMs = 10000)
{
    return bench::WaitForOneCopy(image, session, notThis, timeoutMs, 5);
}

// The service's figures as the process list has them (see bench/ProcessFigures.h).
struct ServiceFigures
{
    bool valid = false;
    DWORD handles = 0;
    DWORD threads = 0;
    SIZE_T privateBytes = 0;
    SIZE_T workingSet = 0;
};
ServiceFigures FiguresOf(DWORD pid);

// The anonymous resident memory (RssAnon, KiB) of the Linux process of this prefix whose
// command line holds the text: what Wine leaves of "private bytes". -1 when not found.
long long LinuxAnonKb(const std::string& commandLinePart);

// The crash dump the service writes, in the account's LocalLow folder.
std::wstring CrashDumpPath();
}
