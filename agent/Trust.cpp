#include "Trust.h"

namespace agent
{
namespace
{
Decision Allow(const char* reason)
{
    return Decision{true, 0, reason};
}

Decision Refuse(DWORD error, const char* reason)
{
    return Decision{false, error, reason};
}

constexpr const char* NotTheAgent = "Refused the pipe server: it is not the session 0 agent of the UI0Detect service";
}

Decision ClientAllowed(const ClientToken& token)
{
    if (token.system)
        return Allow("LocalSystem");
    if (token.administrator && token.integrity >= SECURITY_MANDATORY_HIGH_RID)
        return Allow("an elevated administrator");
    return Refuse(ERROR_ACCESS_DENIED, "neither LocalSystem nor an elevated administrator");
}

Decision FeedAllowed(const ClientToken& token)
{
    const Decision full = ClientAllowed(token);
    if (full)
        return full;
    if (token.interactiveUser && token.integrity >= SECURITY_MANDATORY_MEDIUM_RID)
        return Allow("the interactive user of a session");
    return Refuse(ERROR_ACCESS_DENIED, "not the interactive user of a session at medium integrity or above");
}

Decision ServerAcceptable(const ServerFacts& facts, bool forFeed)
{
    // Checked in the order the calls were made: what a call's failure decides comes before
    // anything learnt after it.
    const auto failedAt = [&facts](ServerCheck check) { return facts.failed == check; };
    const bool mayNotLook = forFeed && facts.error == ERROR_ACCESS_DENIED && facts.ownerSystem;

    if (failedAt(ServerCheck::PipeServer))
        return Refuse(facts.error, "Couldn't identify the pipe server of the session 0 agent");
    if (failedAt(ServerCheck::PipeOwner))
        return Refuse(facts.error, "Couldn't read the owner of the session 0 agent's pipe");
    if (failedAt(ServerCheck::Manager))
        return Refuse(facts.error, "Couldn't open the service control manager");
    if (failedAt(ServerCheck::Service))
        return Refuse(facts.error, "Couldn't open the UI0Detect service");
    if (failedAt(ServerCheck::Status))
        return Refuse(facts.error, "Couldn't query the UI0Detect service");
    if (!facts.serviceRunning)
        return Refuse(ERROR_SERVICE_NOT_ACTIVE,
                      "Refused the pipe server: the UI0Detect service is not running, so the session 0 agent is not running");
    if (failedAt(ServerCheck::Config))
        return Refuse(facts.error, "Couldn't read the UI0Detect service's configuration");
    // Only services and what they start run in session 0; a pipe that another account owns
    // was made by someone who took the name first.
    if (!facts.sessionZero || !(facts.ownerSystem || facts.ownerServiceAccount))
        return Refuse(ERROR_ACCESS_DENIED, NotTheAgent);
    if (failedAt(ServerCheck::ServerProcess))
        return mayNotLook ? Allow("a server in session 0 that this user may not look into")
                          : Refuse(ERROR_ACCESS_DENIED, NotTheAgent);
    if (facts.serverImage.empty() || CompareStringOrdinal(facts.serverImage.c_str(), -1, facts.agentImage.c_str(), -1,
                                                          TRUE) != CSTR_EQUAL)
        return Refuse(ERROR_ACCESS_DENIED, NotTheAgent);
    if (failedAt(ServerCheck::ServiceProcess))
        return mayNotLook ? Allow("the agent's program in session 0, whose service this user may not look into")
                          : Refuse(facts.error, "Couldn't open the UI0Detect service's process");
    if (failedAt(ServerCheck::ServerAccount))
        return mayNotLook ? Allow("the agent's program in session 0, whose account this user may not read")
                          : Refuse(facts.error, "Couldn't read the account of the pipe server");
    if (failedAt(ServerCheck::ServiceAccount))
        return Refuse(facts.error, "Couldn't read the account of the UI0Detect service");
    if (!facts.sameAccount || !facts.ownerServiceAccount)
        return Refuse(ERROR_ACCESS_DENIED, NotTheAgent);
    return Allow("the session 0 agent of the UI0Detect service");
}
}
