#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "ScopedResource.h"

// Both launchers make sure that one copy of image_name (a bare file name) runs in the target
// session: a running copy is handed back (SYNCHRONIZE access) instead of starting a second one.
// A new copy is always started from the directory of the running program, by its full quoted
// path, never found along PATH. The result is null when nothing runs. They throw only what
// process_pid throws.

// As the user logged on in the session (as the caller itself for session 0, or when nobody is
// logged on there), on "WinSta0\Default".
ScopedHandle launch_in_session(const std::wstring& image_name, DWORD session_id);

// In the caller's own session, as the caller's account at the high integrity level. The listed
// handles, which must already be inheritable, are inherited and named in the child's variable
// __inherited_handles. last_error is 0, or the error of the step that failed.
ScopedHandle launch_with_own_token(const std::wstring& image_name, const std::vector<DWORD>& inherited_handles,
                                   DWORD& last_error);
