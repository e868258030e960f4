#pragma once

// Who may switch the console to session 0 from the tray. Before Windows 10, input reaches
// session 0, whose windows belong to services running as SYSTEM: the switch is for
// administrators only. An administrator is a user whose token counts the Administrators
// group, or whose token is the filtered half of a split pair (an administrator under user
// account control, not elevated) with the full half counting it. Other split pairs (groups
// with privileges such as Backup Operators) do not make an administrator.

#include <windows.h>

struct TrayUserToken
{
    bool administrators = false;         // the Administrators group is enabled in the token
    bool filteredHalf = false;           // TokenElevationTypeLimited
    bool linkedAdministrators = false;   // the Administrators group is enabled in the linked token
};

bool MayShowSessionZero(const TrayUserToken& user);

// The facts of this process's token; all false where they cannot be read.
TrayUserToken ReadOwnToken();
