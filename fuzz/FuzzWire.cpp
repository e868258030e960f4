// libFuzzer target: every decoder of the agent's pipe messages over the same bytes. What decodes
// must encode to a message of the same size that decodes to the same again.

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "agent/Wire.h"

using namespace agent;

namespace
{
void Require(bool holds, const char* what)
{
    if (holds)
        return;
    std::fprintf(stderr, "wire round trip broken: %s\n", what);
    std::abort();
}

// The same payload decoded again from its encoding encodes to the same bytes.
template <typename Answer, typename Encode>
void AnswerRoundTrip(const Header& request, const uint8_t* payload, size_t size, Encode encode)
{
    Answer answer;
    if (!wire::Decode(payload, size, answer))
        return;
    const std::vector<uint8_t> message = answer.status != 0 ? wire::EncodeAnswer(request, answer.status) : encode(answer);
    Require(message.size() == sizeof(Header) + size, "an answer's encoding is of another size");
    Answer again;
    Require(wire::Decode(message.data() + sizeof(Header), message.size() - sizeof(Header), again),
            "an answer's encoding does not decode");
    const std::vector<uint8_t> second = again.status != 0 ? wire::EncodeAnswer(request, again.status) : encode(again);
    Require(second == message, "an answer decodes to another one");
}

void Answers(const uint8_t* payload, size_t size)
{
    const Header request{Magic, Version, 0, 1, 0};
    AnswerRoundTrip<wire::StatusAnswer>(request, payload, size,
                                        [&](const wire::StatusAnswer& a) { return wire::EncodeAnswer(request, a.status); });
    AnswerRoundTrip<wire::ListAnswer>(request, payload, size,
                                      [&](const wire::ListAnswer& a) { return wire::EncodeAnswer(request, a.windows); });
    AnswerRoundTrip<wire::CaptureAnswer>(request, payload, size,
                                         [&](const wire::CaptureAnswer& a) { return wire::EncodeAnswer(request, a.image); });
    AnswerRoundTrip<wire::WatchAnswer>(request, payload, size,
                                       [&](const wire::WatchAnswer& a) { return wire::EncodeAnswer(request, a.feed); });
    AnswerRoundTrip<wire::DescribeAnswer>(request, payload, size, [&](const wire::DescribeAnswer& a) {
        return wire::EncodeAnswer(request, a.controls);
    });
    // The answers whose form the request's type decides.
    const auto of = [](Request type) { return Header{Magic, Version, static_cast<uint16_t>(type), 1, 0}; };
    const Header windows = of(Request::Windows), follow = of(Request::Follow), picture = of(Request::Picture);
    AnswerRoundTrip<wire::WindowsAnswer>(windows, payload, size,
                                         [&](const wire::WindowsAnswer& a) { return wire::EncodeAnswer(windows, a.windows); });
    AnswerRoundTrip<wire::FollowAnswer>(follow, payload, size,
                                        [&](const wire::FollowAnswer& a) { return wire::EncodeAnswer(follow, a.feed); });
    AnswerRoundTrip<wire::PictureAnswer>(picture, payload, size,
                                         [&](const wire::PictureAnswer& a) { return wire::EncodeAnswer(picture, a.image); });
}

void Requests(const Header& header, const uint8_t* payload)
{
    wire::AnyRequest request;
    if (!wire::DecodeRequest(header, payload, request))
        return;
    const auto encode = [&](const wire::AnyRequest& any) { return wire::Encode(header.id, any); };
    const std::vector<uint8_t> message = encode(request);
    Header again{};
    Require(wire::DecodeHeader(message.data(), message.size(), again), "a request's header does not decode");
    Require(again.type == header.type && again.id == header.id && again.length == header.length,
            "a request's encoding has another header");
    wire::AnyRequest second;
    Require(wire::DecodeRequest(again, message.data() + sizeof(Header), second), "a request's encoding does not decode");
    Require(encode(second) == message, "a request decodes to another one");
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // As the agent reads a request: the whole message.
    Header header{};
    if (wire::DecodeHeader(data, size, header))
        Requests(header, data + sizeof header);
    wire::ReadHeader(data, size, header);

    // Every decoder on what follows the header, whatever the header says.
    const size_t skip = size < sizeof(Header) ? size : sizeof(Header);
    const uint8_t* payload = data + skip;
    const size_t length = size - skip;
    for (uint16_t type = 0; type <= 13; ++type)
        for (uint16_t version = 0; version <= Version + 1; ++version)
            Requests(Header{Magic, version, type, 7, static_cast<uint32_t>(length)}, payload);
    Answers(payload, length);
    return 0;
}
