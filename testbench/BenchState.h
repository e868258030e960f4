#pragma once

// State of the test bench shared by every process of a Wine prefix (the service, the control
// tool, the tests): one named section, created by whichever process first needs it.

#include <windows.h>

struct BenchState
{
    LONG winstaRevertCalls;   // WinStationRevertFromServicesSession through the system directory
    LONG decoyRevertCalls;    // the same call through a winsta.dll placed beside a program
};

// Maps the shared state; null when the section cannot be created. The view lives as long as
// the process.
BenchState* OpenBenchState();
