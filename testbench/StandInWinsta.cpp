// Stand-in for the system's winsta.dll under Wine, which lacks the export below. It counts each
// call in the bench's shared state so that a test in another process can see it.

#include <windows.h>

#include "BenchState.h"

extern "C" __declspec(dllexport) BOOLEAN WINAPI WinStationRevertFromServicesSession()
{
    if (BenchState* state = OpenBenchState())
    {
#ifdef BENCH_DECOY
        InterlockedIncrement(&state->decoyRevertCalls);
#else
        InterlockedIncrement(&state->winstaRevertCalls);
#endif
    }
    return TRUE;
}
