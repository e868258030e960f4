#pragma once

#include <windows.h>

#include <functional>
#include <string>

// Id of the first process (in the system's order) whose bare image name equals image_name,
// code unit by code unit, in the session, and that accept, when given, takes; 0 when there is
// none. 0xFFFFFFFF stands for the caller's own session. Throws std::system_error ("system error
// in process_pid") and whatever accept throws.
DWORD process_pid(const std::wstring& image_name, DWORD session_id,
                  const std::function<bool(DWORD)>& accept = nullptr);

// The full path of a process's program (opened with PROCESS_QUERY_LIMITED_INFORMATION at least);
// empty when the system gives none.
std::wstring process_image_path(HANDLE process);

// The user of a token (TOKEN_QUERY) as a SID string ("S-1-5-18"); empty when unreadable.
std::wstring token_account(HANDLE token);

// What decides whether a running process is a launcher's own copy of a program: its program's
// full path in its long form, and its account (as token_account); empty when unreadable.
struct RunningCopy
{
    std::wstring image;
    std::wstring account;
};

// The facts of a process opened with PROCESS_QUERY_LIMITED_INFORMATION at least.
RunningCopy read_running_copy(HANDLE process);

// What a launcher starts: image_name (a bare name) beside the running program, under account.
RunningCopy launched_copy(const std::wstring& image_name, std::wstring account);

enum class Adoption
{
    Adopt,
    UnknownImage,     // the running program's path, or the expected one, cannot be read
    OtherProgram,     // another file under the same name
    UnknownAccount,   // the running copy's account, or the expected one, cannot be read
    OtherAccount,
};

// A running copy stands for the one a launcher would start only when it is that very program
// (full path, without case, as the file system compares names) under the account the launcher
// would start it with. Anything that cannot be read is refused: the launcher starts its own.
Adoption decide_adoption(const RunningCopy& found, const RunningCopy& expected);

// Reports every active or disconnected session other than 0, in the system's order.
// Throws std::system_error ("system error in enumerate_active_sessions_wo0") and whatever the
// callback throws.
void enumerate_active_sessions_wo0(const std::function<void(DWORD)>& callback);
