#include <gtest/gtest.h>

#include <windows.h>
#include <wtsapi32.h>

#include "shell/ShellWindow.h"

namespace
{
using Reposition = SessionChangeEffect::Reposition;
using Timer = SessionChangeEffect::Timer;

struct Row
{
    const char* what;
    WPARAM event;
    DWORD session;
    DWORD userBefore, consoleBefore;
    DWORD userAfter, consoleAfter;
    Reposition reposition;
    Timer timer;
    bool ensureTray;
};

const Row Rows[] = {
    // The typical event: the user's session leaves the console, session 0 takes it, and back.
    {"user session leaves the console", WTS_CONSOLE_DISCONNECT, 1, NoSession, 1, 1, NoSession, Reposition::None, Timer::Keep, false},
    {"session 0 takes the console", WTS_CONSOLE_CONNECT, 0, 1, NoSession, 1, 0, Reposition::WhenMoved, Timer::Set, false},
    {"session 0 leaves the console", WTS_CONSOLE_DISCONNECT, 0, 1, 0, 1, NoSession, Reposition::None, Timer::Kill, false},
    {"user session takes the console back", WTS_CONSOLE_CONNECT, 1, 1, NoSession, 1, 1, Reposition::None, Timer::Keep, false},

    // A second connect of session 0 sets the timer again, which restarts its period.
    {"session 0 connected again", WTS_CONSOLE_CONNECT, 0, 1, 0, 1, 0, Reposition::WhenMoved, Timer::Set, false},
    {"remote client on session 0", WTS_REMOTE_CONNECT, 0, 1, NoSession, 1, 0, Reposition::Always, Timer::Set, false},
    {"remote client leaves session 0", WTS_REMOTE_DISCONNECT, 0, 1, 0, 1, NoSession, Reposition::None, Timer::Kill, false},
    {"remote client on a user session", WTS_REMOTE_CONNECT, 2, 1, 0, 2, 2, Reposition::None, Timer::Keep, false},

    // A disconnect clears the connected session even when another one was connected, and a
    // user session's disconnect makes it the user's session although another holds the console.
    {"second remote session disconnects", WTS_REMOTE_DISCONNECT, 3, 1, 2, 3, NoSession, Reposition::None, Timer::Keep, false},
    {"user session disconnects while 0 is on the console", WTS_CONSOLE_DISCONNECT, 2, 1, 0, 2, NoSession, Reposition::None, Timer::Keep, false},

    // Logon and logoff.
    {"user logs on", WTS_SESSION_LOGON, 2, 1, 1, 1, 1, Reposition::None, Timer::Keep, true},
    {"logon of session 0 does nothing", WTS_SESSION_LOGON, 0, 1, 0, 1, 0, Reposition::None, Timer::Keep, false},
    {"logoff of the user and console session clears both", WTS_SESSION_LOGOFF, 1, 1, 1, NoSession, NoSession, Reposition::None, Timer::Keep, false},
    {"logoff of another session changes nothing", WTS_SESSION_LOGOFF, 3, 1, 2, 1, 2, Reposition::None, Timer::Keep, false},
    {"logoff of session 0 clears the console session", WTS_SESSION_LOGOFF, 0, 1, 0, 1, NoSession, Reposition::None, Timer::Keep, false},

    // Events the shell does not act on.
    {"event 0", 0, 0, 1, 0, 1, 0, Reposition::None, Timer::Keep, false},
    {"lock", WTS_SESSION_LOCK, 0, 1, 0, 1, 0, Reposition::None, Timer::Keep, false},
    {"remote control", WTS_SESSION_REMOTE_CONTROL, 1, NoSession, 0, NoSession, 0, Reposition::None, Timer::Keep, false},
    {"event 11", 11, 0, 1, 0, 1, 0, Reposition::None, Timer::Keep, false},
    {"event 12", 12, 1, 1, 1, 1, 1, Reposition::None, Timer::Keep, false},
};

TEST(SessionChange, EveryRowOfTheTable)
{
    for (const Row& row : Rows)
    {
        SCOPED_TRACE(row.what);
        const SessionChangeEffect effect = DecideSessionChange(row.event, row.session, row.userBefore, row.consoleBefore);
        EXPECT_EQ(row.userAfter, effect.userSession);
        EXPECT_EQ(row.consoleAfter, effect.consoleSession);
        EXPECT_EQ(row.reposition, effect.reposition);
        EXPECT_EQ(row.timer, effect.timer);
        EXPECT_EQ(row.ensureTray, effect.ensureTray);
    }
}

TEST(SessionChange, TheTypicalEventLeavesTheUserSessionKnownThroughout)
{
    DWORD user = NoSession;
    DWORD console = 0;   // the service starts in session 0
    const struct
    {
        WPARAM event;
        DWORD session;
    } steps[] = {{WTS_CONSOLE_DISCONNECT, 1}, {WTS_CONSOLE_CONNECT, 0}, {WTS_CONSOLE_DISCONNECT, 0},
                 {WTS_CONSOLE_CONNECT, 1}};
    const DWORD consoleAfter[] = {NoSession, 0, NoSession, 1};
    for (size_t i = 0; i < 4; ++i)
    {
        const SessionChangeEffect effect = DecideSessionChange(steps[i].event, steps[i].session, user, console);
        user = effect.userSession;
        console = effect.consoleSession;
        EXPECT_EQ(1u, user) << "after step " << i;
        EXPECT_EQ(consoleAfter[i], console) << "after step " << i;
    }
}
}
