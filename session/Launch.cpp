#include "Launch.h"

#include <shlwapi.h>
#include <userenv.h>
#include <wtsapi32.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "Paths.h"
#include "ProcessLookup.h"

namespace
{
ScopedHandle NoProcess() { return MakeScopedHandle(nullptr); }

// The account of the caller's own process; empty when unreadable.
std::wstring OwnAccount()
{
    ScopedHandle token = MakeScopedHandle(nullptr);
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()))
        return {};
    return token_account(token.get());
}

// The running copy handed back instead of a new one: the first of the name in the session that
// is the program beside ours under the account a new copy would get (asked of `account` only once
// a process of that name turns up). Any program may take a helper's name, in session 0 too:
// adopting it would leave the helper's place to it. The handle, opened once, is both the one
// checked and the one handed back, so a reused process id cannot slip in between; its id is
// kept because the caller cannot ask it.
template <typename AccountOf>
ScopedHandle FindOwnCopy(const std::wstring& image_name, DWORD session_id, AccountOf account, DWORD* process_id)
{
    RunningCopy expected;
    bool expectedKnown = false;
    ScopedHandle found = MakeScopedHandle(nullptr);
    const DWORD running = process_pid(image_name, session_id, [&](DWORD pid) {
        if (!expectedKnown)
        {
            expectedKnown = true;
            expected = launched_copy(image_name, account());
        }
        ScopedHandle process =
            MakeScopedHandle(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
        if (!process || decide_adoption(read_running_copy(process.get()), expected) != Adoption::Adopt)
            return false;
        found = std::move(process);
        return true;
    });
    if (running != 0 && process_id != nullptr)
        *process_id = running;
    return found;
}

// The image beside the running program, by full path and in quotes, so that neither PATH nor
// a space in the path can make the platform start some other file. False, with the error set,
// when the program's own path is unknown or the command line would not fit its MAX_PATH buffer:
// a cut or relative path is never started.
bool BuildCommandLine(const std::wstring& image_name, wchar_t (&commandLine)[MAX_PATH])
{
    std::wstring path;
    if (!PathBesideProgram(image_name, path))
        return false;
    if (path.size() + 3 > MAX_PATH)
    {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    commandLine[0] = L'"';
    std::memcpy(commandLine + 1, path.data(), path.size() * sizeof(wchar_t));
    commandLine[path.size() + 1] = L'"';
    commandLine[path.size() + 2] = L'\0';
    return true;
}
}

ScopedHandle launch_in_session(const std::wstring& image_name, DWORD session_id, DWORD* process_id)
{
    if (process_id != nullptr)
        *process_id = 0;
    // A copy in session 0 (or in the caller's own session) runs as the caller; in a user's
    // session, as the user logged on there.
    const auto account = [session_id]() -> std::wstring {
        if (session_id == 0 || session_id == WTS_CURRENT_SESSION)
            return OwnAccount();
        ScopedHandle user = MakeScopedHandle(nullptr);
        return WTSQueryUserToken(session_id, user.put()) ? token_account(user.get()) : std::wstring();
    };
    ScopedHandle running = FindOwnCopy(image_name, session_id, account, process_id);
    if (running)
        return running;

    ScopedHandle token = MakeScopedHandle(nullptr);
    if (session_id != 0)
    {
        // Without a user (ERROR_NO_TOKEN) the copy would run in session 0, where the lookup above
        // never looks: every later call would start one more.
        if (!WTSQueryUserToken(session_id, token.put()))
            return NoProcess();
    }

    ScopedEnvironment environment(&DestroyEnvironmentBlock, nullptr);
    if (!CreateEnvironmentBlock(environment.put(), token.get(), FALSE))
        return NoProcess();

    wchar_t commandLine[MAX_PATH] = {};
    if (!BuildCommandLine(image_name, commandLine))
        return NoProcess();

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    wchar_t desktop[] = L"WinSta0\\Default";
    startup.lpDesktop = desktop;
    PROCESS_INFORMATION process{};
    // The user's token goes to the child only: this thread stays the service, so that the drive
    // letters of the path resolve as the service sees them, not through the user's device map.
    if (!CreateProcessAsUserW(token.get(), nullptr, commandLine, nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                              environment.get(), nullptr, &startup, &process))
        return NoProcess();
    const ScopedHandle thread = MakeScopedHandle(process.hThread);
    if (process_id != nullptr)
        *process_id = process.dwProcessId;
    return MakeScopedHandle(process.hProcess);
}

ScopedHandle launch_with_own_token(const std::wstring& image_name, const std::vector<DWORD>& inherited_handles,
                                   DWORD& last_error, DWORD* process_id)
{
    last_error = 0;
    if (process_id != nullptr)
        *process_id = 0;
    ScopedHandle running = FindOwnCopy(image_name, WTS_CURRENT_SESSION, &OwnAccount, process_id);
    if (running)
        return running;

    const auto failed = [&last_error] {
        last_error = GetLastError();
        return NoProcess();
    };

    ScopedHandle processToken = MakeScopedHandle(nullptr);
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ASSIGN_PRIMARY | TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ADJUST_DEFAULT,
                          processToken.put()))
        return failed();

    ScopedHandle duplicate = MakeScopedHandle(nullptr);
    if (!DuplicateTokenEx(processToken.get(), 0, nullptr, SecurityImpersonation, TokenPrimary, duplicate.put()))
        return failed();

    SID_IDENTIFIER_AUTHORITY labelAuthority = SECURITY_MANDATORY_LABEL_AUTHORITY;
    ScopedSid highIntegrity = MakeScopedSid(nullptr);
    if (!AllocateAndInitializeSid(&labelAuthority, 1, SECURITY_MANDATORY_HIGH_RID, 0, 0, 0, 0, 0, 0, 0,
                                  highIntegrity.put()))
        return failed();

    TOKEN_MANDATORY_LABEL label{};
    label.Label.Sid = highIntegrity.get();
    label.Label.Attributes = SE_GROUP_INTEGRITY;
    if (!SetTokenInformation(duplicate.get(), TokenIntegrityLevel, &label,
                             sizeof label + GetLengthSid(highIntegrity.get())))
        return failed();

    wchar_t commandLine[MAX_PATH] = {};
    if (!BuildCommandLine(image_name, commandLine))
        return failed();

    // The account's own variables (not the service's current ones), then the handle list last.
    std::vector<wchar_t> childEnvironment(1, L'\0');
    ScopedEnvironment environment(&DestroyEnvironmentBlock, nullptr);
    if (CreateEnvironmentBlock(environment.put(), processToken.get(), FALSE))
    {
        for (const wchar_t* entry = static_cast<const wchar_t*>(environment.get()); *entry != L'\0';
             entry += wcslen(entry) + 1)
            childEnvironment.insert(childEnvironment.end() - 1, entry, entry + wcslen(entry) + 1);
    }
    if (!inherited_handles.empty())
    {
        static const wchar_t name[] = L"__inherited_handles=";
        childEnvironment.insert(childEnvironment.end() - 1, name, name + sizeof name / sizeof name[0]);
        bool first = true;
        for (const DWORD handle : inherited_handles)
        {
            // The runtime's own conversion: printf-style formatting would link MinGW's printf.
            wchar_t text[12] = {L','};
            wchar_t* const digits = first ? text : text + 1;
            if (_ultow_s(handle, digits, 10, 16) != 0)
                *digits = L'\0';
            childEnvironment.insert(childEnvironment.end() - 2, text, text + wcslen(text));
            first = false;
        }
    }
    // A block without entries still needs its two closing zeros.
    if (childEnvironment.size() == 1)
        childEnvironment.push_back(L'\0');

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessAsUserW(duplicate.get(), nullptr, commandLine, nullptr, nullptr,
                              inherited_handles.empty() ? FALSE : TRUE, CREATE_UNICODE_ENVIRONMENT,
                              childEnvironment.data(), nullptr, &startup, &process))
        return failed();
    const ScopedHandle thread = MakeScopedHandle(process.hThread);
    if (process_id != nullptr)
        *process_id = process.dwProcessId;
    return MakeScopedHandle(process.hProcess);
}
