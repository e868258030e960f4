#include "AgentClient.h"

#include <algorithm>
#include <atomic>
#include <cstdio>

#include "Audit.h"
#include "Peers.h"
#include "Transport.h"
#include "Trust.h"
#include "Wire.h"
#include "session/SystemError.h"

namespace agent
{
namespace
{
// The agent may spend WindowTimeoutMs on a window before it answers.
constexpr DWORD AnswerTimeoutMs = WindowTimeoutMs + IoTimeoutMs;

void VerifyServer(HANDLE pipe, bool forFeed)
{
    const ServerFacts facts = GatherServerFacts(pipe);
    const Decision decision = ServerAcceptable(facts, forFeed);
    if (decision)
        return;
    // Nothing was sent to a refused server; the administrator is told which process it was.
    // A user's tray asks again every few seconds: one event per server process is enough (no
    // process has the id ~0).
    static std::atomic<DWORD> lastReported{~DWORD{0}};
    if (lastReported.exchange(facts.serverPid) != facts.serverPid)
        audit::ServerRefused(facts.serverPid, facts.serverImage, from_utf8(decision.reason));
    std::string text = decision.reason;
    if (decision.error == ERROR_ACCESS_DENIED && facts.serverPid != 0)
        text += " (the pipe server is process " + std::to_string(facts.serverPid) +
                (facts.serverImage.empty() ? std::string() : ", " + to_utf8(facts.serverImage)) + ")";
    throw_system_error(decision.error, text.c_str());
}

std::string WindowContext(const char* text, uint32_t window)
{
    char buffer[160];
    std::snprintf(buffer, sizeof buffer, text, static_cast<unsigned>(window));
    return buffer;
}

[[noreturn]] void Malformed()
{
    throw_system_error(ERROR_INVALID_DATA, "The session 0 agent sent a malformed answer");
}

// Throws the agent's error for a request about a window.
void Check(uint32_t status, uint32_t window)
{
    if (status == 0)
        return;
    if (status == ERROR_INVALID_WINDOW_HANDLE)
        throw_system_error(status, WindowContext("No session 0 window 0x%08X", window).c_str());
    if (status == ERROR_TIMEOUT)
        throw_system_error(status, WindowContext("The session 0 window 0x%08X does not answer", window).c_str());
    if (status == ERROR_BUSY)
        throw_system_error(status, WindowContext("The session 0 agent is capturing other windows; window 0x%08X "
                                                 "was not captured, try again", window).c_str());
    if (status == ERROR_NOT_ENOUGH_MEMORY)
        throw_system_error(status, WindowContext("The session 0 agent has not the memory to capture window 0x%08X",
                                                 window).c_str());
    throw_system_error(status, WindowContext("The session 0 agent could not act on window 0x%08X", window).c_str());
}

// The answer of a message, or the malformed answer's error.
template <typename Answer>
Answer Decoded(const std::vector<uint8_t>& message)
{
    Answer answer;
    if (!wire::Decode(message.data() + sizeof(Header), message.size() - sizeof(Header), answer))
        Malformed();
    return answer;
}

// The status of a request about a window, thrown unless 0.
void CheckAnswer(const std::vector<uint8_t>& message, uint32_t window)
{
    Check(Decoded<wire::StatusAnswer>(message).status, window);
}
}

Client::Client(ScopedHandle pipe) : pipe_(std::move(pipe)) {}

Client Client::Connect(DWORD timeoutMs, bool forFeed)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    // An agent of an earlier version has no feed pipe: its one pipe serves the feed as well.
    transport::Pipe kind = forFeed ? transport::Pipe::Feed : transport::Pipe::Agent;
    for (;;)
    {
        ScopedFile opened = transport::Open(kind);
        if (opened)
        {
            const HANDLE pipe = opened.get();
            ScopedHandle owned = MakeScopedHandle(opened.release());
            DWORD mode = PIPE_READMODE_MESSAGE;
            if (!SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr))
                throw_last_error("Couldn't set up the connection to the session 0 agent");
            VerifyServer(pipe, forFeed);
            // The agent tells who it serves at the first request: a refusal shows here, not at
            // the caller's first use.
            Client client(std::move(owned));
            if (forFeed)
                return client;
            try
            {
                client.List();
            }
            catch (const std::system_error& error)
            {
                if (error.code().value() == ERROR_ACCESS_DENIED)
                    throw_system_error(ERROR_ACCESS_DENIED,
                                       "The session 0 agent refused this account: it answers only elevated administrators");
                throw;
            }
            return client;
        }
        const DWORD error = GetLastError();
        const ULONGLONG now = GetTickCount64();
        if (error == ERROR_PIPE_BUSY && now < deadline)
        {
            WaitNamedPipeW(transport::NameOf(kind), static_cast<DWORD>(deadline - now));
            continue;
        }
        if (error == ERROR_FILE_NOT_FOUND && kind == transport::Pipe::Feed &&
            (WaitNamedPipeW(PipeName, 0) || GetLastError() != ERROR_FILE_NOT_FOUND))
        {
            kind = transport::Pipe::Agent;
            continue;
        }
        if (error == ERROR_ACCESS_DENIED)
            throw_system_error(error, "The session 0 agent refused this account: it answers only elevated administrators");
        if (error == ERROR_FILE_NOT_FOUND)
            throw_system_error(error, "Couldn't connect to the session 0 agent, which is not running");
        throw_system_error(error, "Couldn't connect to the session 0 agent");
    }
}

std::vector<uint8_t> Client::Call(const std::vector<uint8_t>& request, DWORD extraWaitMs)
{
    if (!pipe_)
        throw_system_error(ERROR_PIPE_NOT_CONNECTED, "The connection to the session 0 agent was lost");
    ScopedHandle event = MakeScopedHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event)
        throw_last_error("Couldn't talk to the session 0 agent");
    transport::Channel channel(pipe_.get(), event.get());
    // Any failure from here on leaves the connection out of step: it is dropped.
    const auto fail = [this](DWORD error, const char* context) {
        pipe_.reset();
        throw_system_error(error, context);
    };

    DWORD error = channel.Write(request, IoTimeoutMs);
    if (error != 0)
        fail(error, "Couldn't send a request to the session 0 agent");

    std::vector<uint8_t> answer(64 * 1024);
    size_t received = 0;
    Header got{};
    for (DWORD timeoutMs = AnswerTimeoutMs + extraWaitMs;; timeoutMs = IoTimeoutMs)
    {
        DWORD bytes = 0;
        error = channel.Read(answer.data() + received, static_cast<DWORD>(answer.size() - received), timeoutMs, &bytes);
        received += bytes;
        if (error == 0)
            break;
        if (error != ERROR_MORE_DATA)
            fail(error, error == ERROR_TIMEOUT ? "The session 0 agent did not answer in time"
                                               : "The session 0 agent closed the connection");
        // A long answer: its header says how long.
        if (!wire::ReadHeader(answer.data(), received, got) || got.length > MaxResponsePayload ||
            sizeof got + got.length <= received)
            fail(ERROR_INVALID_DATA, "The session 0 agent sent a malformed answer");
        answer.resize(sizeof got + got.length);
    }
    answer.resize(received);
    Header sent{};
    if (!wire::DecodeHeader(answer.data(), answer.size(), got) || !wire::ReadHeader(request.data(), request.size(), sent) ||
        !wire::Answers(got, sent))
        fail(ERROR_INVALID_DATA, "The session 0 agent sent a malformed answer");
    return answer;
}

std::vector<WindowEntry> Client::List()
{
    auto answer = Decoded<wire::WindowsAnswer>(Call(wire::Encode(nextId_++, wire::WindowsRequest{})));
    if (answer.status != 0)
        throw_system_error(answer.status, "The session 0 agent could not list the windows");
    return std::move(answer.windows);
}

Feed Client::Watch(uint32_t known, uint32_t waitMs)
{
    waitMs = std::min<uint32_t>(waitMs, MaxWatchWaitMs);
    auto answer = Decoded<wire::FollowAnswer>(
        Call(wire::Encode(nextId_++, wire::FollowRequest{known, waitMs}), waitMs));
    if (answer.status == ERROR_ACCESS_DENIED)
        throw_system_error(answer.status, "The session 0 agent refused this account: it tells the windows only to the "
                                          "interactive user of a session and to elevated administrators");
    if (answer.status != 0)
        throw_system_error(answer.status, "The session 0 agent could not tell its windows");
    return std::move(answer.feed);
}

Image Client::Capture(uint32_t window, uint64_t knownHash)
{
    auto answer = Decoded<wire::PictureAnswer>(
        Call(wire::Encode(nextId_++, wire::PictureRequest{window, knownHash})));
    Check(answer.status, window);
    return std::move(answer.image);
}

std::vector<Control> Client::Describe(uint32_t window)
{
    auto answer = Decoded<wire::DescribeAnswer>(Call(wire::Encode(nextId_++, wire::DescribeRequest{window})));
    Check(answer.status, window);
    return std::move(answer.controls);
}

void Client::Press(uint32_t window, uint32_t control)
{
    const uint32_t status = Decoded<wire::StatusAnswer>(
        Call(wire::Encode(nextId_++, wire::PressRequest{window, control}))).status;
    char buffer[160];
    if (status == ERROR_INVALID_WINDOW_HANDLE)
        std::snprintf(buffer, sizeof buffer, "0x%08X is no control of a session 0 window 0x%08X",
                      static_cast<unsigned>(control), static_cast<unsigned>(window));
    else if (status == ERROR_INVALID_PARAMETER)
        std::snprintf(buffer, sizeof buffer, "Control 0x%08X of session 0 window 0x%08X is not an enabled button "
                      "that shows", static_cast<unsigned>(control), static_cast<unsigned>(window));
    else
        return Check(status, window);
    throw_system_error(status, buffer);
}

void Client::Click(uint32_t window, int32_t x, int32_t y, bool right, bool twice)
{
    CheckAnswer(Call(wire::Encode(nextId_++, wire::ClickRequest{window, x, y, right, twice})), window);
}

void Client::Text(uint32_t window, const std::wstring& text)
{
    // Long texts go in pieces the agent takes.
    for (size_t at = 0; at < text.size() || (at == 0 && text.empty()); at += MaxTextUnits)
    {
        const wire::TextRequest piece{window, text.substr(at, MaxTextUnits)};
        CheckAnswer(Call(wire::Encode(nextId_++, piece)), window);
        if (text.empty())
            break;
    }
}

void Client::Key(uint32_t window, uint16_t virtualKey)
{
    CheckAnswer(Call(wire::Encode(nextId_++, wire::KeyRequest{window, virtualKey})), window);
}

void Client::Close(uint32_t window)
{
    CheckAnswer(Call(wire::Encode(nextId_++, wire::CloseRequest{window})), window);
}
}
