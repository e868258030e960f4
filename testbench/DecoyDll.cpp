// A DLL named like one of the system's (wtsapi32, userenv, dbghelp, comctl32), placed beside a
// program: it must never be the one loaded. Loaded anyway, it leaves its name and the program's
// in the bench's shared state. It exports nothing, so a program that took it for the real one
// fails to start as well.

#include <windows.h>

#include <cwchar>

#include "BenchState.h"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    if (BenchState* state = OpenBenchState())
    {
        wchar_t dll[MAX_PATH] = {};
        wchar_t program[MAX_PATH] = {};
        GetModuleFileNameW(instance, dll, MAX_PATH);
        GetModuleFileNameW(nullptr, program, MAX_PATH);
        const wchar_t* dllName = wcsrchr(dll, L'\\');
        const wchar_t* programName = wcsrchr(program, L'\\');
        swprintf(state->lastDecoyLoad, 128, L"%ls in %ls", dllName != nullptr ? dllName + 1 : dll,
                 programName != nullptr ? programName + 1 : program);
        InterlockedIncrement(&state->decoyDllLoads);
    }
    return TRUE;
}
