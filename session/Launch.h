#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "ScopedResource.h"

// Both launchers make sure that one copy of image_name (a bare file name) runs in the target
// session: a running copy is handed back (SYNCHRONIZE and PROCESS_QUERY_LIMITED_INFORMATION
// access) instead of starting a second one. Only the launcher's own kind of copy counts: the
// program beside the running one, under the account a new copy would get; a process that merely
// bears the name is passed over. A new copy is always started from the directory of the running
// program, by its full quoted path, never found along PATH. The result is null when nothing
// runs. They throw only what process_pid throws. process_id, when given, receives the id of the
// copy handed back (0 with a null result).

// As the user logged on in the session, or as the caller itself for session 0, on
// "WinSta0\Default". A session other than 0 where nobody is logged on gets nothing: a copy
// started there without a token would run in the caller's session instead. The calling thread
// never takes on the user's identity.
ScopedHandle launch_in_session(const std::wstring& image_name, DWORD session_id, DWORD* process_id = nullptr);

// In the caller's own session, as the caller's account at the high integrity level. The listed
// handles, which must already be inheritable, are inherited and named in the child's variable
// __inherited_handles. last_error is 0, or the error of the step that failed.
ScopedHandle launch_with_own_token(const std::wstring& image_name, const std::vector<DWORD>& inherited_handles,
                                   DWORD& last_error, DWORD* process_id = nullptr);
