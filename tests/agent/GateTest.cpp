// The agent's access gate on the real pipe, with the facts of tokens that Wine cannot make: each
// request is served under its own rule, whoever the client is.

#include <gtest/gtest.h>

#include <windows.h>

#include <vector>

#include "agent/AgentServer.h"
#include "agent/Transport.h"
#include "agent/Wire.h"

namespace wire = agent::wire;

namespace
{
agent::ClientToken presented;

bool Presented(HANDLE, agent::ClientToken* facts)
{
    *facts = presented;
    return true;
}

// The status the agent answers a request with on a fresh connection.
uint32_t StatusOf(const wire::AnyRequest& request)
{
    // The agent listens again a moment after a client goes.
    ScopedFile pipe = agent::transport::Open();
    for (int tries = 0; !pipe && tries < 50; ++tries)
    {
        WaitNamedPipeW(agent::PipeName, 100);
        pipe = agent::transport::Open();
    }
    if (!pipe)
        return ~0u;
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr);
    ScopedHandle event = MakeScopedHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    agent::transport::Channel channel(pipe.get(), event.get());
    if (channel.Write(wire::Encode(7, request), 5000) != 0)
        return ~0u - 1;
    std::vector<uint8_t> answer(4 << 20);
    DWORD bytes = 0;
    if (channel.Read(answer.data(), static_cast<DWORD>(answer.size()), 5000, &bytes) != 0 ||
        bytes < sizeof(agent::Header))
        return ~0u - 2;
    wire::StatusAnswer status;
    // Every answer's payload starts with its status.
    return wire::Decode(answer.data() + sizeof(agent::Header), 4, status) ? status.status : ~0u - 3;
}
}

TEST(AgentGate, EachRequestIsServedUnderItsOwnRule)
{
    agent::Server server(&Presented);
    ASSERT_TRUE(server.Start()) << "the agent's pipe name is taken: " << GetLastError();

    agent::ClientToken elevated;
    elevated.administrator = true;
    elevated.integrity = SECURITY_MANDATORY_HIGH_RID;
    agent::ClientToken unelevated;
    unelevated.administrator = true;
    unelevated.integrity = SECURITY_MANDATORY_MEDIUM_RID;
    unelevated.interactiveUser = true;
    agent::ClientToken interactive;
    interactive.integrity = SECURITY_MANDATORY_MEDIUM_RID;
    interactive.interactiveUser = true;
    agent::ClientToken plain;
    plain.integrity = SECURITY_MANDATORY_MEDIUM_RID;
    agent::ClientToken lowInteractive = interactive;
    lowInteractive.integrity = SECURITY_MANDATORY_LOW_RID;

    const uint32_t denied = ERROR_ACCESS_DENIED;
    const uint32_t noWindow = ERROR_INVALID_WINDOW_HANDLE;
    const struct
    {
        const char* who;
        agent::ClientToken token;
        uint32_t list, watch, capture, close, text;
    } cases[] = {
        {"an elevated administrator", elevated, 0, 0, noWindow, noWindow, noWindow},
        {"an unelevated administrator", unelevated, denied, 0, denied, denied, denied},
        {"a session's interactive user", interactive, denied, 0, denied, denied, denied},
        {"a user who is not a session's", plain, denied, denied, denied, denied, denied},
        {"an interactive user at low integrity", lowInteractive, denied, denied, denied, denied, denied},
    };
    for (const auto& c : cases)
    {
        presented = c.token;
        EXPECT_EQ(c.list, StatusOf(wire::ListRequest{})) << c.who << ": List";
        EXPECT_EQ(c.watch, StatusOf(wire::WatchRequest{0, 0})) << c.who << ": Watch";
        EXPECT_EQ(c.capture, StatusOf(wire::CaptureRequest{0x7F000000u, 0})) << c.who << ": Capture";
        EXPECT_EQ(c.close, StatusOf(wire::CloseRequest{0x7F000000u})) << c.who << ": Close";
        EXPECT_EQ(c.text, StatusOf(wire::TextRequest{0x7F000000u, L"x"})) << c.who << ": Text";
    }
    server.Stop();
}
