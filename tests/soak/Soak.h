#pragma once

// Shared pieces of the soak and fault tests: counts, the helpers' processes, the service's figures.

#include <windows.h>

#include <string>
#include <vector>

#include "BenchClient.h"

namespace soak
{
constexpr const wchar_t* Explorer = L"QuillonExplorer.exe";
constexpr const wchar_t* Tray = L"QuillonTray.exe";

// QUILLON_SOAK=full asks for the long counts; CI runs the short ones.
bool Full();
int Count(int ci, int full);

using bench::ProcessesNamed;
// The copies of the image in the simulated session.
std::vector<DWORD> CopiesIn(const wchar_t* image, DWORD session);
// Waits for exactly one copy in the session other than notThis; its pid, or 0.
DWORD WaitForOneCopy(const wchar_t* image, DWORD session, DWORD notThis = 0, DWORD timeoutMs = 10000);
bool Kill(DWORD pid);
void KillAll(const wchar_t* image);

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
