// The agent's pipe: every message comes back from its bytes as it was sent, the bytes are those
// that agents and clients of earlier builds read and write, malformed bytes are refused; and the
// overlapped calls of both ends.

#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "agent/Transport.h"
#include "agent/Wire.h"

namespace wire = agent::wire;

namespace
{
agent::Header HeaderOf(const std::vector<uint8_t>& message)
{
    agent::Header header{};
    EXPECT_TRUE(wire::DecodeHeader(message.data(), message.size(), header));
    return header;
}

// The request a message carries, decoded as the agent decodes it.
template <typename Body>
Body RequestOf(const std::vector<uint8_t>& message)
{
    wire::AnyRequest request;
    EXPECT_TRUE(wire::DecodeRequest(HeaderOf(message), message.data() + sizeof(agent::Header), request));
    EXPECT_TRUE(std::holds_alternative<Body>(request));
    return std::holds_alternative<Body>(request) ? std::get<Body>(request) : Body{};
}

// An answer message, decoded as the client decodes it.
template <typename Answer>
Answer AnswerOf(const agent::Header& request, const std::vector<uint8_t>& message)
{
    EXPECT_TRUE(wire::Answers(HeaderOf(message), request));
    Answer answer;
    EXPECT_TRUE(wire::Decode(message.data() + sizeof(agent::Header), message.size() - sizeof(agent::Header), answer));
    return answer;
}

// Whether the agent takes the request with this header and payload.
bool Takes(uint16_t version, agent::Request type, const std::vector<uint8_t>& payload)
{
    const agent::Header header{agent::Magic, version, static_cast<uint16_t>(type), 1,
                               static_cast<uint32_t>(payload.size())};
    wire::AnyRequest request;
    return wire::DecodeRequest(header, payload.data(), request);
}

template <typename Answer>
bool Decodes(const std::vector<uint8_t>& payload)
{
    Answer answer;
    return wire::Decode(payload.data(), payload.size(), answer);
}

std::vector<uint8_t> PayloadOf(const std::vector<uint8_t>& message)
{
    return std::vector<uint8_t>(message.begin() + sizeof(agent::Header), message.end());
}
}

TEST(AgentWire, EveryRequestComesBackAsItWasSent)
{
    EXPECT_EQ(1u, HeaderOf(wire::Encode(9, wire::ListRequest{})).version);
    RequestOf<wire::ListRequest>(wire::Encode(9, wire::ListRequest{}));

    const auto capture = RequestOf<wire::CaptureRequest>(wire::Encode(2, wire::CaptureRequest{0x80010203u, 0xFEDCBA9876543210ull}));
    EXPECT_EQ(0x80010203u, capture.window);
    EXPECT_EQ(0xFEDCBA9876543210ull, capture.knownHash);

    const auto click = RequestOf<wire::ClickRequest>(wire::Encode(3, wire::ClickRequest{7, -5, 70000, true, false}));
    EXPECT_EQ(7u, click.window);
    EXPECT_EQ(-5, click.x);
    EXPECT_EQ(70000, click.y);
    EXPECT_TRUE(click.right);
    EXPECT_FALSE(click.twice);
    EXPECT_TRUE(RequestOf<wire::ClickRequest>(wire::Encode(3, wire::ClickRequest{7, 0, 0, false, true})).twice);

    // The longest text the agent takes, of characters beyond ASCII.
    std::wstring longest(agent::MaxTextUnits, L'\u20AC');
    longest[0] = L'\u00FC';
    EXPECT_EQ(longest, RequestOf<wire::TextRequest>(wire::Encode(4, wire::TextRequest{8, longest})).text);
    EXPECT_LE(wire::Encode(4, wire::TextRequest{8, longest}).size(), sizeof(agent::Header) + agent::MaxRequestPayload)
        << "the agent reads no more of a request";
    EXPECT_EQ(L"", RequestOf<wire::TextRequest>(wire::Encode(4, wire::TextRequest{8, L""})).text);

    const auto key = RequestOf<wire::KeyRequest>(wire::Encode(5, wire::KeyRequest{9, VK_RETURN}));
    EXPECT_EQ(9u, key.window);
    EXPECT_EQ(VK_RETURN, key.virtualKey);
    EXPECT_EQ(10u, RequestOf<wire::CloseRequest>(wire::Encode(6, wire::CloseRequest{10})).window);

    // Watch came with version 2; every other request still goes as version 1.
    const std::vector<uint8_t> watch = wire::Encode(11, wire::WatchRequest{42, 30000});
    EXPECT_EQ(2u, HeaderOf(watch).version);
    EXPECT_EQ(11u, HeaderOf(watch).id);
    EXPECT_EQ(42u, RequestOf<wire::WatchRequest>(watch).known);
    EXPECT_EQ(30000u, RequestOf<wire::WatchRequest>(watch).waitMs);
}

// Version 3 answers carry places, controls and the drawn mark; the version 1 and 2 answers to the
// same windows stay byte for byte what older clients read.
TEST(AgentWire, PlacesControlsAndTheDrawnMarkComeWithVersionThreeOnly)
{
    const std::vector<agent::WindowEntry> windows{
        {0x10002, 4711, L"p.exe", L"t", std::wstring(L"__wineservice_winstation\\Default")}};
    const agent::Header placed = HeaderOf(wire::Encode(1, wire::WindowsRequest{}));
    EXPECT_EQ(3u, placed.version);
    const auto listed = AnswerOf<wire::WindowsAnswer>(placed, wire::EncodeAnswer(placed, windows));
    ASSERT_EQ(1u, listed.windows.size());
    EXPECT_EQ(L"__wineservice_winstation\\Default", listed.windows[0].place);
    const agent::Header list = HeaderOf(wire::Encode(2, wire::ListRequest{}));
    const auto old = AnswerOf<wire::ListAnswer>(list, wire::EncodeAnswer(list, windows));
    ASSERT_EQ(1u, old.windows.size());
    EXPECT_EQ(L"", old.windows[0].place);
    EXPECT_EQ(L"t", old.windows[0].title);

    agent::Feed feed;
    feed.windows.push_back({7, 1, 0, L"p.exe", L"t", L"Service-0x0-3e7$\\Default"});
    const agent::Header follow = HeaderOf(wire::Encode(3, wire::FollowRequest{0, 0}));
    EXPECT_EQ(L"Service-0x0-3e7$\\Default",
              AnswerOf<wire::FollowAnswer>(follow, wire::EncodeAnswer(follow, feed)).feed.windows.at(0).place);

    agent::Image image;
    image.width = image.height = 1;
    image.pixels = {0xFF102030};
    image.drawn = true;
    const agent::Header picture = HeaderOf(wire::Encode(4, wire::PictureRequest{7, 0}));
    const auto drawn = AnswerOf<wire::PictureAnswer>(picture, wire::EncodeAnswer(picture, image));
    EXPECT_TRUE(drawn.image.drawn);
    EXPECT_FALSE(drawn.image.unchanged);
    EXPECT_EQ(image.pixels, drawn.image.pixels);

    std::vector<agent::Control> controls(agent::MaxControls + 3);
    controls[0] = {0x10008, 2, -1, 60, 85, 83, agent::ControlEnabled | agent::ControlDefault, L"Button", L"&Retry"};
    const agent::Header describe = HeaderOf(wire::Encode(5, wire::DescribeRequest{7}));
    const auto described = AnswerOf<wire::DescribeAnswer>(describe, wire::EncodeAnswer(describe, controls));
    ASSERT_EQ(agent::MaxControls, described.controls.size());   // the rest is cut, not wrapped
    EXPECT_EQ(0x10008u, described.controls[0].control);
    EXPECT_EQ(2u, described.controls[0].id);
    EXPECT_EQ(-1, described.controls[0].left);
    EXPECT_EQ(83, described.controls[0].bottom);
    EXPECT_EQ(agent::ControlEnabled | agent::ControlDefault, described.controls[0].state);
    EXPECT_EQ(L"Button", described.controls[0].className);
    EXPECT_EQ(L"&Retry", described.controls[0].text);
    // A count beyond what an answer may hold is malformed, whatever follows.
    std::vector<uint8_t> payload = PayloadOf(wire::EncodeAnswer(describe, std::vector<agent::Control>{}));
    payload[4] = 0x01;
    payload[5] = 0x02;   // 513 controls
    EXPECT_FALSE(Decodes<wire::DescribeAnswer>(payload));

    const auto press = RequestOf<wire::PressRequest>(wire::Encode(6, wire::PressRequest{7, 0x10008}));
    EXPECT_EQ(7u, press.window);
    EXPECT_EQ(0x10008u, press.control);
}

TEST(AgentWire, EveryAnswerComesBackAsItWasSent)
{
    const agent::Header list = HeaderOf(wire::Encode(21, wire::ListRequest{}));
    std::vector<agent::WindowEntry> windows(2);
    windows[0] = {0x10002, 4711, L"BenchDialogs.exe", L"Bench \u00FC\u20AC", L""};
    windows[1] = {0x10004, 12, L"", std::wstring(70000, L'x'), L""};
    const auto listed = AnswerOf<wire::ListAnswer>(list, wire::EncodeAnswer(list, windows));
    EXPECT_EQ(0u, listed.status);
    ASSERT_EQ(2u, listed.windows.size());
    EXPECT_EQ(0x10002u, listed.windows[0].window);
    EXPECT_EQ(4711u, listed.windows[0].processId);
    EXPECT_EQ(L"BenchDialogs.exe", listed.windows[0].program);
    EXPECT_EQ(L"Bench \u00FC\u20AC", listed.windows[0].title);
    EXPECT_EQ(L"", listed.windows[1].program);
    // A text longer than its field holds is cut, not wrapped around.
    EXPECT_EQ(std::wstring(0xFFFF, L'x'), listed.windows[1].title);
    EXPECT_TRUE(AnswerOf<wire::ListAnswer>(list, wire::EncodeAnswer(list, std::vector<agent::WindowEntry>())).windows.empty());

    const agent::Header capture = HeaderOf(wire::Encode(22, wire::CaptureRequest{1, 0}));
    agent::Image image;
    image.width = 3;
    image.height = 2;
    image.hash = 0x0123456789ABCDEFull;
    image.pixels = {0xFF000000, 0xFF0000FF, 0xFF00FF00, 0xFFFF0000, 0xFFFFFFFF, 0x80808080};
    const auto captured = AnswerOf<wire::CaptureAnswer>(capture, wire::EncodeAnswer(capture, image));
    EXPECT_EQ(3u, captured.image.width);
    EXPECT_EQ(2u, captured.image.height);
    EXPECT_EQ(image.hash, captured.image.hash);
    EXPECT_FALSE(captured.image.unchanged);
    EXPECT_EQ(image.pixels, captured.image.pixels);
    image.unchanged = true;
    const auto same = AnswerOf<wire::CaptureAnswer>(capture, wire::EncodeAnswer(capture, image));
    EXPECT_TRUE(same.image.unchanged);
    EXPECT_TRUE(same.image.pixels.empty());
    EXPECT_EQ(image.hash, same.image.hash);

    // The largest image the agent captures is an answer the client takes.
    agent::Image largest;
    largest.width = largest.height = agent::MaxCaptureSide;
    largest.pixels.assign(static_cast<size_t>(largest.width) * largest.height, 0xFF336699);
    const std::vector<uint8_t> message = wire::EncodeAnswer(capture, largest);
    EXPECT_LE(HeaderOf(message).length, agent::MaxResponsePayload);
    EXPECT_EQ(largest.pixels, AnswerOf<wire::CaptureAnswer>(capture, message).image.pixels);

    const agent::Header watch = HeaderOf(wire::Encode(23, wire::WatchRequest{1, 0}));
    agent::Feed feed;
    feed.sequence = 77;
    feed.windows.push_back({0x20002, 133000000000000000ull, 0, L"notepad.exe", L"Untitled", L""});
    feed.windows.push_back({0x20004, 1, 133000000000000001ull, L"a.exe", std::wstring(300, L'\u00E9'), L""});
    const auto fed = AnswerOf<wire::WatchAnswer>(watch, wire::EncodeAnswer(watch, feed));
    EXPECT_EQ(2u, HeaderOf(wire::EncodeAnswer(watch, feed)).version);
    EXPECT_EQ(77u, fed.feed.sequence);
    ASSERT_EQ(2u, fed.feed.windows.size());
    EXPECT_EQ(0x20002u, fed.feed.windows[0].window);
    EXPECT_EQ(133000000000000000ull, fed.feed.windows[0].appeared);
    EXPECT_EQ(0u, fed.feed.windows[0].flashed);
    EXPECT_EQ(L"notepad.exe", fed.feed.windows[0].program);
    EXPECT_EQ(L"Untitled", fed.feed.windows[0].title);
    EXPECT_EQ(133000000000000001ull, fed.feed.windows[1].flashed);
    EXPECT_EQ(std::wstring(agent::MaxFeedTextUnits, L'\u00E9'), fed.feed.windows[1].title);

    // A failure is its status alone, for every type.
    const agent::Header close = HeaderOf(wire::Encode(24, wire::CloseRequest{1}));
    EXPECT_EQ(0u, AnswerOf<wire::StatusAnswer>(close, wire::EncodeAnswer(close, 0)).status);
    EXPECT_EQ(1400u, AnswerOf<wire::StatusAnswer>(close, wire::EncodeAnswer(close, 1400)).status);
    EXPECT_EQ(5u, AnswerOf<wire::ListAnswer>(list, wire::EncodeAnswer(list, 5)).status);
    EXPECT_EQ(1460u, AnswerOf<wire::CaptureAnswer>(capture, wire::EncodeAnswer(capture, 1460)).status);
    EXPECT_EQ(5u, AnswerOf<wire::WatchAnswer>(watch, wire::EncodeAnswer(watch, 5)).status);
    // An answer is to its own request only.
    EXPECT_FALSE(wire::Answers(HeaderOf(wire::EncodeAnswer(close, 0)), list));
    EXPECT_FALSE(wire::Answers(HeaderOf(wire::EncodeAnswer(list, 0)), HeaderOf(wire::Encode(25, wire::ListRequest{}))));
    EXPECT_FALSE(wire::Answers(HeaderOf(wire::Encode(21, wire::ListRequest{})), list));
}

TEST(AgentWire, TheBytesAreThoseOfEarlierBuilds)
{
    // Little-endian fields at fixed places: an agent or client built before this code still talks.
    const std::vector<uint8_t> click = {
        0x51, 0x56, 0x41, 0x31, 0x01, 0x00, 0x03, 0x00, 0x05, 0x00, 0x00, 0x00, 0x0E, 0x00, 0x00, 0x00,   // header
        0x04, 0x03, 0x02, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0x10, 0x00, 0x00, 0x00, 0x01, 0x01};
    EXPECT_EQ(click, wire::Encode(5, wire::ClickRequest{0x01020304, -1, 16, true, true}));
    const std::vector<uint8_t> watch = {
        0x51, 0x56, 0x41, 0x31, 0x02, 0x00, 0x07, 0x00, 0x06, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00,
        0x03, 0x00, 0x00, 0x00, 0x30, 0x75, 0x00, 0x00};
    EXPECT_EQ(watch, wire::Encode(6, wire::WatchRequest{3, 30000}));

    const agent::Header list = HeaderOf(wire::Encode(9, wire::ListRequest{}));
    const std::vector<uint8_t> listed = {
        0x51, 0x56, 0x41, 0x31, 0x01, 0x00, 0x01, 0x80, 0x09, 0x00, 0x00, 0x00, 0x1A, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,                            // done, one window
        0x02, 0x00, 0x01, 0x00, 0x39, 0x30, 0x00, 0x00, 0x01, 0x00, 0x02, 0x00,    // window, pid, units
        0x61, 0x00, 0xFC, 0x00, 0xAC, 0x20};                                       // "a", "\u00FC\u20AC"
    EXPECT_EQ(listed, wire::EncodeAnswer(list, std::vector<agent::WindowEntry>{{0x10002, 12345, L"a", L"\u00FC\u20AC", L""}}));
    EXPECT_EQ(std::vector<uint8_t>({0x05, 0x00, 0x00, 0x00}), PayloadOf(wire::EncodeAnswer(list, ERROR_ACCESS_DENIED)));
    // The header as the bench's raw clients lay it out in memory.
    agent::Header raw{};
    std::memcpy(&raw, listed.data(), sizeof raw);
    EXPECT_TRUE(wire::Answers(raw, list));
    EXPECT_EQ(26u, raw.length);
}

TEST(AgentWire, MalformedBytesAreRefused)
{
    using agent::Request;
    const uint16_t v = agent::Version;
    // Each request's size is its type's, to the byte.
    const std::vector<uint8_t> capture = PayloadOf(wire::Encode(1, wire::CaptureRequest{1, 2}));
    EXPECT_TRUE(Takes(v, Request::Capture, capture));
    EXPECT_FALSE(Takes(v, Request::Capture, std::vector<uint8_t>(capture.begin(), capture.end() - 1)));
    std::vector<uint8_t> longer = capture;
    longer.push_back(0);
    EXPECT_FALSE(Takes(v, Request::Capture, longer));
    EXPECT_FALSE(Takes(v, Request::List, {0}));
    EXPECT_FALSE(Takes(v, Request::Click, std::vector<uint8_t>(13)));
    EXPECT_FALSE(Takes(v, Request::Key, std::vector<uint8_t>(5)));
    EXPECT_FALSE(Takes(v, Request::Close, std::vector<uint8_t>(3)));
    EXPECT_FALSE(Takes(v, Request::Watch, std::vector<uint8_t>(9)));
    // A text of whole units and no more of them than the agent takes.
    EXPECT_TRUE(Takes(v, Request::Text, std::vector<uint8_t>(4 + 2 * agent::MaxTextUnits)));
    EXPECT_FALSE(Takes(v, Request::Text, std::vector<uint8_t>(4 + 2 * agent::MaxTextUnits + 2)));
    EXPECT_FALSE(Takes(v, Request::Text, std::vector<uint8_t>(7)));
    EXPECT_FALSE(Takes(v, Request::Text, std::vector<uint8_t>(3)));
    // Types and versions that do not exist, and Watch and Windows before their versions.
    EXPECT_FALSE(Takes(v, static_cast<Request>(0), {}));
    EXPECT_FALSE(Takes(v, static_cast<Request>(13), {}));
    EXPECT_TRUE(Takes(3, Request::Windows, {}));
    EXPECT_FALSE(Takes(2, Request::Windows, {}));
    EXPECT_FALSE(Takes(0, Request::List, {}));
    EXPECT_FALSE(Takes(v + 1, Request::List, {}));
    EXPECT_TRUE(Takes(1, Request::Capture, capture));
    EXPECT_FALSE(Takes(1, Request::Watch, std::vector<uint8_t>(8)));

    // Headers: too short, of another magic, of another length than the message.
    std::vector<uint8_t> message = wire::Encode(1, wire::CloseRequest{3});
    agent::Header header{};
    EXPECT_FALSE(wire::DecodeHeader(message.data(), 15, header));
    EXPECT_FALSE(wire::DecodeHeader(message.data(), message.size() - 1, header));
    EXPECT_TRUE(wire::ReadHeader(message.data(), message.size() - 1, header));
    message[0] ^= 1;
    EXPECT_FALSE(wire::ReadHeader(message.data(), message.size(), header));

    // Answers whose counts or sizes say more than they hold, or less.
    const agent::Header list = HeaderOf(wire::Encode(1, wire::ListRequest{}));
    std::vector<uint8_t> listed =
        PayloadOf(wire::EncodeAnswer(list, std::vector<agent::WindowEntry>{{1, 2, L"p.exe", L"title", L""}}));
    EXPECT_TRUE(Decodes<wire::ListAnswer>(listed));
    EXPECT_FALSE(Decodes<wire::ListAnswer>(std::vector<uint8_t>(listed.begin(), listed.end() - 1)));
    listed[4] = 2;   // two windows, one there
    EXPECT_FALSE(Decodes<wire::ListAnswer>(listed));
    listed[4] = 0xFF;
    listed[7] = 0xFF;
    EXPECT_FALSE(Decodes<wire::ListAnswer>(listed));
    EXPECT_FALSE(Decodes<wire::ListAnswer>({0, 0, 0, 0}));         // done, but no count
    EXPECT_FALSE(Decodes<wire::StatusAnswer>({5, 0, 0, 0, 0}));    // a failure with more than its status
    EXPECT_FALSE(Decodes<wire::StatusAnswer>({}));

    const agent::Header watch = HeaderOf(wire::Encode(1, wire::WatchRequest{}));
    agent::Feed feed;
    feed.windows.push_back({1, 2, 3, L"", std::wstring(agent::MaxFeedTextUnits, L'x'), L""});
    std::vector<uint8_t> fed = PayloadOf(wire::EncodeAnswer(watch, feed));
    EXPECT_TRUE(Decodes<wire::WatchAnswer>(fed));
    fed[12 + 22] += 1;   // a title longer than the feed's texts are
    fed.insert(fed.end(), {0, 0});
    EXPECT_FALSE(Decodes<wire::WatchAnswer>(fed));

    const agent::Header capturing = HeaderOf(wire::Encode(1, wire::CaptureRequest{}));
    agent::Image image;
    image.width = 2;
    image.height = 1;
    image.pixels = {1, 2};
    std::vector<uint8_t> captured = PayloadOf(wire::EncodeAnswer(capturing, image));
    EXPECT_TRUE(Decodes<wire::CaptureAnswer>(captured));
    captured.pop_back();
    EXPECT_FALSE(Decodes<wire::CaptureAnswer>(captured));
    image.width = agent::MaxCaptureSide + 1;
    image.unchanged = true;
    EXPECT_FALSE(Decodes<wire::CaptureAnswer>(PayloadOf(wire::EncodeAnswer(capturing, image))));
}

namespace
{
// Both ends of a pipe of the agent's kind, under a name of the test's own.
struct PipePair
{
    PipePair()
    {
        const std::wstring name = L"\\\\.\\pipe\\QuillonWireTest" + std::to_wstring(GetCurrentProcessId());
        server = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                  PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 64 * 1024, 64 * 1024, 0,
                                  nullptr);
        client = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
        DWORD mode = PIPE_READMODE_MESSAGE;
        SetNamedPipeHandleState(client, &mode, nullptr, nullptr);
    }
    ~PipePair()
    {
        for (const HANDLE handle : {server, client, serverEvent, clientEvent, stop})
            CloseHandle(handle);
    }
    HANDLE server = INVALID_HANDLE_VALUE;
    HANDLE client = INVALID_HANDLE_VALUE;
    HANDLE serverEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE clientEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
};
}

TEST(AgentTransport, ALongAnswerIsReadInPartsWhetherOrNotItWasThereBeforeTheRead)
{
    PipePair pipes;
    ASSERT_NE(INVALID_HANDLE_VALUE, pipes.server);
    ASSERT_NE(INVALID_HANDLE_VALUE, pipes.client);
    agent::transport::Channel server(pipes.server, pipes.serverEvent, pipes.stop);
    agent::transport::Channel client(pipes.client, pipes.clientEvent);
    std::vector<uint8_t> message(100 * 1024);
    for (size_t i = 0; i < message.size(); ++i)
        message[i] = static_cast<uint8_t>(i * 7);

    for (const bool waiting : {false, true})
    {
        std::vector<uint8_t> got(64 * 1024);
        DWORD first = 0, rest = 0;
        DWORD firstError = 0;
        if (waiting)
        {
            // The read waits when the answer comes.
            DWORD written = 1;
            std::thread writer([&] {
                Sleep(200);
                written = server.Write(message, 5000);
            });
            firstError = client.Read(got.data(), static_cast<DWORD>(got.size()), 5000, &first);
            got.resize(message.size());
            EXPECT_EQ(0u, client.Read(got.data() + first, static_cast<DWORD>(got.size() - first), 5000, &rest));
            writer.join();
            EXPECT_EQ(0u, written);
        }
        else
        {
            // The answer lies in the pipe before the read: the first part comes at once.
            OVERLAPPED overlapped{};
            overlapped.hEvent = pipes.serverEvent;
            WriteFile(pipes.server, message.data(), static_cast<DWORD>(message.size()), nullptr, &overlapped);
            DWORD available = 0;
            for (int i = 0; i < 100 && available == 0; ++i, Sleep(10))
                PeekNamedPipe(pipes.client, nullptr, 0, nullptr, &available, nullptr);
            ASSERT_GT(available, 0u);
            firstError = client.Read(got.data(), static_cast<DWORD>(got.size()), 5000, &first);
            got.resize(message.size());
            EXPECT_EQ(0u, client.Read(got.data() + first, static_cast<DWORD>(got.size() - first), 5000, &rest));
            DWORD written = 0;
            EXPECT_TRUE(GetOverlappedResult(pipes.server, &overlapped, &written, TRUE));
        }
        EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), firstError) << "waiting " << waiting;
        EXPECT_EQ(64u * 1024, first) << "waiting " << waiting;
        EXPECT_EQ(message.size(), first + rest) << "waiting " << waiting;
        EXPECT_EQ(message, got) << "waiting " << waiting;
    }

    // A read that nothing answers ends at its time, or at once at the stop, and leaves nothing
    // pending on the pipe.
    uint8_t scrap[16];
    DWORD bytes = 0;
    ULONGLONG start = GetTickCount64();
    EXPECT_EQ(static_cast<DWORD>(ERROR_TIMEOUT), client.Read(scrap, sizeof scrap, 300, &bytes));
    EXPECT_GE(GetTickCount64() - start, 250u);
    SetEvent(pipes.stop);
    start = GetTickCount64();
    EXPECT_EQ(static_cast<DWORD>(ERROR_OPERATION_ABORTED), server.Read(scrap, sizeof scrap, INFINITE, &bytes));
    EXPECT_LT(GetTickCount64() - start, 1000u);
    ResetEvent(pipes.stop);
    const std::vector<uint8_t> small = {1, 2, 3};
    EXPECT_EQ(0u, client.Write(small, 1000));
    EXPECT_EQ(0u, server.Read(scrap, sizeof scrap, 1000, &bytes));
    EXPECT_EQ(3u, bytes);
}
