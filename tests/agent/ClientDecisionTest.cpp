// Who the agent serves, and which pipe server a client takes for the agent. Wine runs every
// process as one administrator without integrity levels, so the rules are tested here, on the
// facts the system gives.

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

namespace
{
// The facts a client gathers about the agent of the running service.
agent::ServerFacts TheAgent()
{
    agent::ServerFacts facts;
    facts.serviceRunning = true;
    facts.agentImage = L"C:\\Program Files\\Quillon\\QuillonTray.exe";
    facts.serverImage = L"C:\\Program Files\\Quillon\\QuillonTray.exe";
    facts.sameAccount = true;
    facts.sessionZero = true;
    facts.ownerSystem = true;
    facts.ownerServiceAccount = true;
    return facts;
}

agent::ServerFacts FailedAt(agent::ServerCheck check, DWORD error, agent::ServerFacts facts = TheAgent())
{
    facts.failed = check;
    facts.error = error;
    return facts;
}

constexpr const char* NotTheAgent = "Refused the pipe server: it is not the session 0 agent of the UI0Detect service";
}

TEST(AgentServerDecision, OnlyTheAgentOfTheRunningServiceIsTaken)
{
    using agent::ServerAcceptable;
    EXPECT_TRUE(ServerAcceptable(TheAgent(), false));
    agent::ServerFacts facts = TheAgent();
    facts.serverImage = L"c:\\program files\\QUILLON\\quillontray.exe";
    EXPECT_TRUE(ServerAcceptable(facts, false)) << "paths are compared without case";

    // Another program, the same program from another folder, an image that could not be read,
    // another account: not the agent, for the feed as well.
    for (const wchar_t* image : {L"C:\\Program Files\\Quillon\\Other.exe", L"C:\\Temp\\QuillonTray.exe", L""})
    {
        facts = TheAgent();
        facts.serverImage = image;
        for (const bool forFeed : {false, true})
        {
            const agent::Decision decision = ServerAcceptable(facts, forFeed);
            EXPECT_FALSE(decision);
            EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), decision.error);
            EXPECT_STREQ(NotTheAgent, decision.reason);
        }
    }
    facts = TheAgent();
    facts.sameAccount = false;
    EXPECT_FALSE(ServerAcceptable(facts, true));
    EXPECT_STREQ(NotTheAgent, ServerAcceptable(facts, false).reason);

    // The service does not run: said so, though nothing after its state could be learnt.
    facts = agent::ServerFacts();
    const agent::Decision stopped = ServerAcceptable(facts, true);
    EXPECT_FALSE(stopped);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE), stopped.error);
    EXPECT_STREQ("Refused the pipe server: the UI0Detect service is not running, so the session 0 agent is not running",
                 stopped.reason);

    // A call that fails is reported with its own error and what it was for.
    const agent::Decision manager = ServerAcceptable(FailedAt(agent::ServerCheck::Manager, ERROR_ACCESS_DENIED), true);
    EXPECT_FALSE(manager);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), manager.error);
    EXPECT_STREQ("Couldn't open the service control manager", manager.reason);
    const agent::Decision account = ServerAcceptable(FailedAt(agent::ServerCheck::ServiceAccount, ERROR_ACCESS_DENIED), true);
    EXPECT_FALSE(account);
    EXPECT_STREQ("Couldn't read the account of the UI0Detect service", account.reason);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE),
              ServerAcceptable(FailedAt(agent::ServerCheck::ServiceProcess, ERROR_INVALID_HANDLE), false).error);
}

TEST(AgentServerDecision, TheFeedTakesASessionZeroServerItMayNotLookInto)
{
    using agent::ServerAcceptable;
    using agent::ServerCheck;
    // A user who is not an administrator may not open the service's process or read its account.
    for (const ServerCheck check : {ServerCheck::ServerProcess, ServerCheck::ServiceProcess, ServerCheck::ServerAccount})
    {
        agent::ServerFacts facts = FailedAt(check, ERROR_ACCESS_DENIED);
        if (check == ServerCheck::ServerProcess)
            facts.serverImage.clear();   // nothing learnt after the failed call
        EXPECT_TRUE(ServerAcceptable(facts, true)) << static_cast<int>(check);
        // Not for the full connection, not for a server outside session 0, not for another failure.
        EXPECT_FALSE(ServerAcceptable(facts, false)) << static_cast<int>(check);
        facts.sessionZero = false;
        EXPECT_FALSE(ServerAcceptable(facts, true)) << static_cast<int>(check);
        EXPECT_FALSE(ServerAcceptable(FailedAt(check, ERROR_INVALID_PARAMETER), true)) << static_cast<int>(check);
    }
    EXPECT_STREQ(NotTheAgent, ServerAcceptable(FailedAt(ServerCheck::ServerProcess, ERROR_ACCESS_DENIED), false).reason);
    EXPECT_STREQ("Couldn't read the account of the pipe server",
                 ServerAcceptable(FailedAt(ServerCheck::ServerAccount, ERROR_ACCESS_DENIED), false).reason);

    // An image that could be read must still be the agent's.
    agent::ServerFacts other = FailedAt(ServerCheck::ServiceProcess, ERROR_ACCESS_DENIED);
    other.serverImage = L"C:\\Temp\\QuillonTray.exe";
    EXPECT_STREQ(NotTheAgent, ServerAcceptable(other, true).reason);
}

TEST(AgentServerDecision, APipeMadeFirstByAnotherAccountOrOutsideSessionZeroIsRefused)
{
    using agent::ServerAcceptable;
    // Someone took the name while it was free; the real agent may answer on it later, or a
    // process whose id was reused: the owner and the session decide, whatever the image says.
    agent::ServerFacts squatted = TheAgent();
    squatted.ownerSystem = false;
    squatted.ownerServiceAccount = false;
    agent::ServerFacts elsewhere = TheAgent();
    elsewhere.sessionZero = false;
    for (const agent::ServerFacts& facts : {squatted, elsewhere})
        for (const bool forFeed : {false, true})
        {
            const agent::Decision decision = ServerAcceptable(facts, forFeed);
            EXPECT_FALSE(decision) << forFeed;
            EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), decision.error);
            EXPECT_STREQ(NotTheAgent, decision.reason);
        }

    // The service's account owns it (a service not run as LocalSystem): the full check, which
    // compares accounts, takes it; a feed user who may not look into the service may not.
    agent::ServerFacts serviceAccount = TheAgent();
    serviceAccount.ownerSystem = false;
    EXPECT_TRUE(ServerAcceptable(serviceAccount, false));
    agent::ServerFacts hidden = FailedAt(agent::ServerCheck::ServiceProcess, ERROR_ACCESS_DENIED, serviceAccount);
    EXPECT_FALSE(ServerAcceptable(hidden, true));
    // LocalSystem owns it, but the server runs under another account than the service's.
    agent::ServerFacts system = TheAgent();
    system.ownerServiceAccount = false;
    EXPECT_FALSE(ServerAcceptable(system, false));

    const agent::Decision unread = ServerAcceptable(FailedAt(agent::ServerCheck::PipeOwner, ERROR_ACCESS_DENIED), true);
    EXPECT_FALSE(unread);
    EXPECT_STREQ("Couldn't read the owner of the session 0 agent's pipe", unread.reason);
}
