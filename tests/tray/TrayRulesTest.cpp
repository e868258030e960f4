// Who may switch the console to session 0 from the tray. Wine runs every process with one
// administrator's token, so the rule is fed with the facts of the tokens Windows makes; the
// reading of a real split pair (the filtered token and its linked full token) and of a plain
// user's token is Windows' alone.

#include <gtest/gtest.h>

#include "helpers/TrayConsoleSwitch.h"

namespace
{
TEST(TrayRules, OnlyAnAdministratorMaySwitchTheConsoleToSessionZero)
{
    struct Case
    {
        const char* who;
        TrayUserToken token;
        bool may;
    };
    const Case cases[] = {
        {"a plain user", {false, false, false}, false},
        {"an administrator, elevated or without user account control", {true, false, false}, true},
        {"an administrator under user account control, not elevated", {false, true, true}, true},
        // A split pair made for the group's privileges, not for the Administrators group.
        {"a Backup Operator under user account control", {false, true, false}, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(MayShowSessionZero(c.token), c.may) << c.who;

    // Wine's one user is an administrator: the reader finds the group in this process's token.
    const TrayUserToken own = ReadOwnToken();
    EXPECT_TRUE(own.administrators);
    EXPECT_TRUE(MayShowSessionZero(own));
}
}
