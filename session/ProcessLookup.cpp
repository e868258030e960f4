#include "ProcessLookup.h"

#include <sddl.h>
#include <wtsapi32.h>

#include "Paths.h"
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

namespace
{
// A path given with short (8.3) names, as a service's image path may be, names the same file as
// its long form; a path that cannot be resolved stays as it is.
std::wstring LongForm(const std::wstring& path)
{
    if (path.empty())
        return path;
    std::wstring longPath(1024, L'\0');
    const DWORD size = GetLongPathNameW(path.c_str(), longPath.data(), static_cast<DWORD>(longPath.size()));
    if (size == 0 || size >= longPath.size())
        return path;
    longPath.resize(size);
    return longPath;
}
}

std::wstring token_account(HANDLE token)
{
    BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD bytes = 0;
    if (!GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &bytes))
        return {};
    ScopedLocal<LPWSTR> text = MakeScopedLocal<LPWSTR>(nullptr);
    if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, text.put()))
        return {};
    return text.get();
}

RunningCopy read_running_copy(HANDLE process)
{
    RunningCopy copy;
    copy.image = LongForm(process_image_path(process));
    ScopedHandle token = MakeScopedHandle(nullptr);
    if (OpenProcessToken(process, TOKEN_QUERY, token.put()))
        copy.account = token_account(token.get());
    return copy;
}

RunningCopy launched_copy(const std::wstring& image_name, std::wstring account)
{
    RunningCopy copy;
    std::wstring path;
    if (PathBesideProgram(image_name, path))
        copy.image = LongForm(path);
    copy.account = std::move(account);
    return copy;
}

Adoption decide_adoption(const RunningCopy& found, const RunningCopy& expected)
{
    if (found.image.empty() || expected.image.empty())
        return Adoption::UnknownImage;
    if (CompareStringOrdinal(found.image.c_str(), static_cast<int>(found.image.size()), expected.image.c_str(),
                             static_cast<int>(expected.image.size()), TRUE) != CSTR_EQUAL)
        return Adoption::OtherProgram;
    if (found.account.empty() || expected.account.empty())
        return Adoption::UnknownAccount;
    // SID strings are canonical: equal SIDs give equal text.
    if (found.account != expected.account)
        return Adoption::OtherAccount;
    return Adoption::Adopt;
}

DWORD process_pid(const std::wstring& image_name, DWORD session_id, const std::function<bool(DWORD)>& accept)
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
        if (process.SessionId == session_id && process.pProcessName != nullptr && image_name == process.pProcessName &&
            (!accept || accept(process.ProcessId)))
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
