#include "TrayConsoleSwitch.h"

#include "session/ScopedResource.h"

namespace
{
bool CountsAdministrators(HANDLE token)
{
    SID_IDENTIFIER_AUTHORITY authority = SECURITY_NT_AUTHORITY;
    ScopedSid administrators = MakeScopedSid(nullptr);
    if (!AllocateAndInitializeSid(&authority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0,
                                  0, administrators.put()))
        return false;
    BOOL member = FALSE;
    return CheckTokenMembership(token, administrators.get(), &member) && member;
}
}

bool MayShowSessionZero(const TrayUserToken& user)
{
    return user.administrators || (user.filteredHalf && user.linkedAdministrators);
}

TrayUserToken ReadOwnToken()
{
    TrayUserToken user;
    // Null: the calling thread's token, or a copy of the process's for the check.
    user.administrators = CountsAdministrators(nullptr);
    ScopedHandle token = MakeScopedHandle(nullptr);
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()))
        return user;
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    DWORD bytes = 0;
    if (!GetTokenInformation(token.get(), TokenElevationType, &type, sizeof type, &bytes) ||
        type != TokenElevationTypeLimited)
        return user;
    user.filteredHalf = true;
    // An identification token for a caller without the TCB privilege: enough for the check.
    TOKEN_LINKED_TOKEN linked{};
    if (!GetTokenInformation(token.get(), TokenLinkedToken, &linked, sizeof linked, &bytes))
        return user;
    const ScopedHandle full = MakeScopedHandle(linked.LinkedToken);
    user.linkedAdministrators = CountsAdministrators(full.get());
    return user;
}
