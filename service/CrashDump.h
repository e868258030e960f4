#pragma once

#include <windows.h>

// Writes "Quillon.dmp" to the LocalLow folder of the service's account and lets the process end.
LONG WINAPI CrashDumpFilter(EXCEPTION_POINTERS* exceptionPointers);
