#include "Peers.h"

#include <aclapi.h>
#include <sddl.h>
#include <wtsapi32.h>

#include <vector>

#include "session/Names.h"
#include "session/Paths.h"
#include "session/ProcessLookup.h"
#include "session/ScopedResource.h"

namespace agent
{
namespace
{
// A session's interactive user: the token is of a session other than 0, holds INTERACTIVE, and
// its user is the one Terminal Services names for that session. A service account or a batch
// logon of the same user has no INTERACTIVE; a user of another session is not that session's.
bool IsInteractiveUser(HANDLE token)
{
    DWORD session = 0;
    DWORD bytes = 0;
    if (!GetTokenInformation(token, TokenSessionId, &session, sizeof session, &bytes) || session == 0)
        return false;

    BYTE interactive[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof interactive;
    BOOL member = FALSE;
    if (!CreateWellKnownSid(WinInteractiveSid, nullptr, interactive, &size) ||
        !CheckTokenMembership(token, interactive, &member) || !member)
        return false;

    ScopedHandle sessionToken = MakeScopedHandle(nullptr);
    if (!WTSQueryUserToken(session, sessionToken.put()))
        return false;
    BYTE client[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
    BYTE user[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
    return GetTokenInformation(token, TokenUser, client, sizeof client, &bytes) &&
           GetTokenInformation(sessionToken.get(), TokenUser, user, sizeof user, &bytes) &&
           EqualSid(reinterpret_cast<TOKEN_USER*>(client)->User.Sid, reinterpret_cast<TOKEN_USER*>(user)->User.Sid);
}

std::wstring FullPath(const std::wstring& path)
{
    wchar_t expanded[MAX_PATH * 2] = {};
    const DWORD expandedSize = ExpandEnvironmentStringsW(path.c_str(), expanded, ARRAYSIZE(expanded));
    const std::wstring source = expandedSize > 0 && expandedSize <= ARRAYSIZE(expanded) ? expanded : path;
    wchar_t full[MAX_PATH * 2] = {};
    const DWORD size = GetFullPathNameW(source.c_str(), ARRAYSIZE(full), full, nullptr);
    return size > 0 && size < ARRAYSIZE(full) ? std::wstring(full, size) : source;
}

struct TokenAccount
{
    BYTE buffer[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)] = {};
    PSID sid() { return reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid; }
};

bool ReadUser(HANDLE process, TokenAccount& user)
{
    ScopedHandle token = MakeScopedHandle(nullptr);
    if (!OpenProcessToken(process, TOKEN_QUERY, token.put()))
        return false;
    DWORD bytes = 0;
    return GetTokenInformation(token.get(), TokenUser, user.buffer, sizeof user.buffer, &bytes) != FALSE;
}
}

ClientToken ReadClientToken(HANDLE token)
{
    ClientToken facts;
    BYTE buffer[512];
    DWORD bytes = 0;
    if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &bytes))
        facts.system = IsWellKnownSid(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, WinLocalSystemSid) != FALSE;

    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof administrators;
    BOOL member = FALSE;
    if (CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size) &&
        CheckTokenMembership(token, administrators, &member))
        facts.administrator = member != FALSE;

    if (GetTokenInformation(token, TokenIntegrityLevel, buffer, sizeof buffer, &bytes))
    {
        const PSID label = reinterpret_cast<TOKEN_MANDATORY_LABEL*>(buffer)->Label.Sid;
        const UCHAR count = *GetSidSubAuthorityCount(label);
        if (count > 0)
            facts.integrity = *GetSidSubAuthority(label, count - 1);
    }
    // Asked only of those that the full rights do not cover already.
    if (!ClientAllowed(facts))
        facts.interactiveUser = IsInteractiveUser(token);
    return facts;
}

std::wstring AccountOf(HANDLE token)
{
    BYTE buffer[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
    DWORD bytes = 0;
    ScopedLocal<LPWSTR> text = MakeScopedLocal<LPWSTR>(nullptr);
    if (!GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &bytes) ||
        !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, text.put()))
        return {};
    return text.get();
}

bool ReadPipeClient(HANDLE pipe, ClientToken* facts, std::wstring* account)
{
    if (!ImpersonateNamedPipeClient(pipe))
        return false;
    ScopedHandle token = MakeScopedHandle(nullptr);
    const BOOL opened = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.put());
    // Going on as the client would be worse than ending: this thread would act with its rights.
    if (!RevertToSelf())
        TerminateProcess(GetCurrentProcess(), ERROR_CANNOT_IMPERSONATE);
    if (!opened)
        return false;
    *facts = ReadClientToken(token.get());
    *account = AccountOf(token.get());
    return true;
}

ServerFacts GatherServerFacts(HANDLE pipe)
{
    ServerFacts facts;
    ULONG serverSession = 0;
    const bool serverSessionKnown = GetNamedPipeServerSessionId(pipe, &serverSession) != FALSE;
    const auto failed = [&facts](ServerCheck check) {
        facts.error = GetLastError();
        facts.failed = check;
        return facts;
    };

    ULONG serverPid = 0;
    if (!GetNamedPipeServerProcessId(pipe, &serverPid))
        return failed(ServerCheck::PipeServer);
    facts.serverPid = serverPid;

    // The owner is the account that made the pipe, read on the handle we hold: no later process
    // of the same id, nor a server that took the name first, changes what this handle reaches.
    PSID owner = nullptr;
    ScopedLocal<PSECURITY_DESCRIPTOR> ownerDescriptor = MakeScopedLocal<PSECURITY_DESCRIPTOR>(nullptr);
    const DWORD ownerError = GetSecurityInfo(pipe, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                             nullptr, nullptr, ownerDescriptor.put());
    if (ownerError != ERROR_SUCCESS)
    {
        SetLastError(ownerError);
        return failed(ServerCheck::PipeOwner);
    }
    // A pipe made without a security descriptor may have no owner at all: nobody's, so not ours.
    facts.ownerSystem = owner != nullptr && IsWellKnownSid(owner, WinLocalSystemSid) != FALSE;

    ScopedServiceHandle manager = MakeScopedServiceHandle(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager)
        return failed(ServerCheck::Manager);
    ScopedServiceHandle service =
        MakeScopedServiceHandle(OpenServiceW(manager.get(), Ui0DetectServiceName, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS));
    if (!service)
        return failed(ServerCheck::Service);

    SERVICE_STATUS_PROCESS status{};
    DWORD bytes = 0;
    if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                              &bytes))
        return failed(ServerCheck::Status);
    facts.serviceRunning = status.dwCurrentState == SERVICE_RUNNING && status.dwProcessId != 0;
    if (!facts.serviceRunning)
        return facts;
    DWORD serviceSession = 0;
    if (!ProcessIdToSessionId(status.dwProcessId, &serviceSession))
        serviceSession = 0;
    facts.sessionZero = serverSessionKnown && serverSession == serviceSession;

    std::vector<BYTE> config(8192);
    const auto readConfig = [&] {
        return QueryServiceConfigW(service.get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config.data()),
                                   static_cast<DWORD>(config.size()), &bytes) != FALSE;
    };
    if (!readConfig())
    {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            return failed(ServerCheck::Config);
        config.resize(bytes);
        if (!readConfig())
            return failed(ServerCheck::Config);
    }
    const wchar_t* imagePath = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config.data())->lpBinaryPathName;
    facts.agentImage = FullPath(FolderOf(ProgramOfImagePath(imagePath != nullptr ? imagePath : L""))) + L"\\" + TrayImage;

    ScopedHandle server = MakeScopedHandle(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, serverPid));
    if (!server)
        return failed(ServerCheck::ServerProcess);
    facts.serverImage = FullPath(process_image_path(server.get()));

    ScopedHandle serviceProcess =
        MakeScopedHandle(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, status.dwProcessId));
    if (!serviceProcess)
        return failed(ServerCheck::ServiceProcess);
    TokenAccount serverUser, serviceUser;
    if (!ReadUser(server.get(), serverUser))
        return failed(ServerCheck::ServerAccount);
    if (!ReadUser(serviceProcess.get(), serviceUser))
        return failed(ServerCheck::ServiceAccount);
    facts.sameAccount = EqualSid(serverUser.sid(), serviceUser.sid()) != FALSE;
    facts.ownerServiceAccount = owner != nullptr && EqualSid(owner, serviceUser.sid()) != FALSE;
    return facts;
}
}
