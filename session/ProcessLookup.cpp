#include "ProcessLookup.h"

#include <wtsapi32.h>

#include "ScopedResource.h"
#include "SystemError.h"

std::wstring process_image_path(HANDLE process)
{
    // Paths of the \\?\ form may pass MAX_PATH.
    std::wstring path(1024, L'\0');
    DWORD size = static_cast<DWORD>(path.size());
    if (!QueryFullProcessImageNameW(process, 0, path.data(), &size))
        return {};
    path.resize(size);
    return path;
}

DWORD process_pid(const std::wstring& image_name, DWORD session_id)
{
    if (session_id == WTS_CURRENT_SESSION && !ProcessIdToSessionId(GetCurrentProcessId(), &session_id))
        throw_last_error("system error in process_pid");

    WTS_PROCESS_INFOW* processes = nullptr;
    DWORD count = 0;
    if (!WTSEnumerateProcessesW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &processes, &count))
        throw_last_error("system error in process_pid");
    const ScopedWtsMemory owner = MakeScopedWtsMemory(processes);

    for (DWORD i = 0; i < count; ++i)
    {
        const WTS_PROCESS_INFOW& process = processes[i];
        if (process.SessionId == session_id && process.pProcessName != nullptr && image_name == process.pProcessName)
            return process.ProcessId;
    }
    return 0;
}

void enumerate_active_sessions_wo0(const std::function<void(DWORD)>& callback)
{
    WTS_SESSION_INFOW* sessions = nullptr;
    DWORD count = 0;
    if (!WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &count))
        throw_last_error("system error in enumerate_active_sessions_wo0");
    const ScopedWtsMemory owner = MakeScopedWtsMemory(sessions);

    for (DWORD i = 0; i < count; ++i)
    {
        const WTS_SESSION_INFOW& session = sessions[i];
        if (session.SessionId == 0)
            continue;
        if (session.State == WTSActive || session.State == WTSDisconnected)
            callback(session.SessionId);
    }
}
