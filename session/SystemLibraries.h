#pragma once

#include <windows.h>

// Loads a DLL from the system folder and from nowhere else: a DLL of that name beside the
// program or in the current directory is never the one loaded. Null, with the error set, when
// the system folder has none.
HMODULE LoadSystemLibrary(const wchar_t* name);

// Takes the program's folder and the current directory out of the search for every DLL loaded
// from here on, by this program or by the system's own DLLs on its behalf. Called first thing
// at each program's entry.
void KeepDllSearchInSystemFolder();
