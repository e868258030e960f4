#pragma once

#include <cstdlib>

// The running program's full path as the runtime library recorded it at start-up.
inline const wchar_t* ProgramPath()
{
    wchar_t* path = nullptr;
#if defined(_MSC_VER)
    _get_wpgmptr(&path);
#else
    // msvcrt.dll, which MinGW links, predates _get_wpgmptr; the variable is what it wraps.
    path = _wpgmptr;
#endif
    return path != nullptr ? path : L"";
}
