#pragma once

#include <windows.h>

#include <functional>
#include <string>

// Id of the first process (in the system's order) whose bare image name equals image_name,
// code unit by code unit, in the session; 0 when there is none. 0xFFFFFFFF stands for the
// caller's own session. Throws std::system_error ("system error in process_pid").
DWORD process_pid(const std::wstring& image_name, DWORD session_id);

// The full path of a process's program (opened with PROCESS_QUERY_LIMITED_INFORMATION at least);
// empty when the system gives none.
std::wstring process_image_path(HANDLE process);

// Reports every active or disconnected session other than 0, in the system's order.
// Throws std::system_error ("system error in enumerate_active_sessions_wo0") and whatever the
// callback throws.
void enumerate_active_sessions_wo0(const std::function<void(DWORD)>& callback);
