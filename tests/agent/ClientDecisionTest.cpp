// Who the agent serves. Wine runs every process as one administrator without integrity levels,
// so the rule is tested here, on the facts a token gives.

#include <gtest/gtest.h>

#include "agent/AgentServer.h"

using agent::ClientAllowed;
using agent::ClientToken;

TEST(AgentClientDecision, OnlySystemAndElevatedAdministratorsAreServed)
{
    // LocalSystem, at system integrity, whose token may well not list Administrators as enabled.
    EXPECT_TRUE(ClientAllowed({true, false, SECURITY_MANDATORY_SYSTEM_RID}));
    // An elevated administrator.
    EXPECT_TRUE(ClientAllowed({false, true, SECURITY_MANDATORY_HIGH_RID}));
    // The same administrator unelevated: the filtered token is at medium integrity, and its
    // Administrators group is for deny only (not enabled).
    EXPECT_FALSE(ClientAllowed({false, true, SECURITY_MANDATORY_MEDIUM_RID}));
    EXPECT_FALSE(ClientAllowed({false, false, SECURITY_MANDATORY_MEDIUM_RID}));
    // A high label alone is not enough: a plain user's token.
    EXPECT_FALSE(ClientAllowed({false, false, SECURITY_MANDATORY_HIGH_RID}));
    // A token whose label could not be read counts as the lowest.
    EXPECT_FALSE(ClientAllowed({false, true, 0}));
}

TEST(AgentClientDecision, TheFeedAlsoServesTheInteractiveUserOfASession)
{
    using agent::FeedAllowed;
    // A session's user, unelevated: the feed only.
    const ClientToken user{false, false, SECURITY_MANDATORY_MEDIUM_RID, true};
    EXPECT_TRUE(FeedAllowed(user));
    EXPECT_FALSE(ClientAllowed(user));
    // An unelevated administrator signed on at a session.
    EXPECT_TRUE(FeedAllowed({false, true, SECURITY_MANDATORY_MEDIUM_RID, true}));
    // Whoever the full rights serve.
    EXPECT_TRUE(FeedAllowed({false, true, SECURITY_MANDATORY_HIGH_RID, false}));
    EXPECT_TRUE(FeedAllowed({true, false, SECURITY_MANDATORY_SYSTEM_RID, false}));
    // Not the interactive user (a service account, a batch logon, another session's user).
    EXPECT_FALSE(FeedAllowed({false, false, SECURITY_MANDATORY_MEDIUM_RID, false}));
    // The interactive user's sandboxed programs at low integrity.
    EXPECT_FALSE(FeedAllowed({false, false, SECURITY_MANDATORY_LOW_RID, true}));
}
