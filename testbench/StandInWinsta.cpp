// Stand-in for the system's winsta.dll under Wine, which lacks the export below. The one in the
// system directory counts each call in the bench's shared state and, like Windows, gives the
// console back from session 0 to the user session it came from, and switches it to session 0 on
// request (terminal-services/TermSrv.h).
// The decoy, placed beside a program, only counts: it must never be the one loaded.

#include <windows.h>

#include "BenchState.h"

#ifndef BENCH_DECOY
#include "terminal-services/TermSrv.h"
#endif

extern "C" __declspec(dllexport) BOOLEAN WINAPI WinStationRevertFromServicesSession()
{
#ifdef BENCH_DECOY
    if (BenchState* state = OpenBenchState())
        InterlockedIncrement(&state->decoyRevertCalls);
    return TRUE;
#else
    return bench::termsrv::RevertFromServicesSession() ? TRUE : FALSE;
#endif
}

#ifndef BENCH_DECOY
extern "C" __declspec(dllexport) BOOLEAN WINAPI WinStationSwitchToServicesSession()
{
    return bench::termsrv::SwitchToServicesSession() ? TRUE : FALSE;
}
#endif
