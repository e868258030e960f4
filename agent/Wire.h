#pragma once

// The messages of Protocol.h as bytes on the pipe, for both ends: a writer, a reader that never
// reads past its end, and one encode and decode pair per message. Plain C++17 without the
// system's headers, so that the decoders are fuzzed on the build host as well.

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "Protocol.h"

namespace agent::wire
{
// Little-endian integers, UTF-16 units and 32-bit pixels appended to one buffer.
class Writer
{
public:
    void U8(uint8_t value);
    void U16(uint16_t value);
    void U32(uint32_t value);
    void U64(uint64_t value);
    void U32At(size_t at, uint32_t value);
    void Units(const std::wstring& text, size_t count);   // the first count units, no terminator
    void Pixels(const std::vector<uint32_t>& pixels);

    std::vector<uint8_t> bytes;
};

// Reads what a Writer wrote. A read beyond the end yields zeros and marks the reader failed,
// so that a decoder checks once, at its end.
class Reader
{
public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    uint8_t U8();
    uint16_t U16();
    uint32_t U32();
    uint64_t U64();
    std::wstring Units(size_t count);
    std::vector<uint32_t> Pixels(size_t count);

    size_t left() const { return failed_ ? 0 : size_ - at_; }
    void Fail() { failed_ = true; }
    // Every read fitted and nothing is left over.
    bool Done() const { return !failed_ && at_ == size_; }

private:
    const uint8_t* Take(size_t bytes);

    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
    bool failed_ = false;
};

// The header at the start of a message, of which `size` bytes are there: false when they are
// fewer than a header or of another magic.
bool ReadHeader(const uint8_t* message, size_t size, Header& header);

// The header of a whole message: as ReadHeader, and false when the message is of another
// length than the header states.
bool DecodeHeader(const uint8_t* message, size_t size, Header& header);

// Requests, as their payloads carry them.
struct ListRequest
{
    static constexpr Request type = Request::List;
};
struct CaptureRequest
{
    static constexpr Request type = Request::Capture;
    uint32_t window = 0;
    uint64_t knownHash = 0;   // 0: none
};
struct ClickRequest
{
    static constexpr Request type = Request::Click;
    uint32_t window = 0;
    int32_t x = 0;
    int32_t y = 0;
    bool right = false;
    bool twice = false;
};
struct TextRequest
{
    static constexpr Request type = Request::Text;
    uint32_t window = 0;
    std::wstring text;   // at most MaxTextUnits
};
struct KeyRequest
{
    static constexpr Request type = Request::Key;
    uint32_t window = 0;
    uint16_t virtualKey = 0;
};
struct CloseRequest
{
    static constexpr Request type = Request::Close;
    uint32_t window = 0;
};
struct WatchRequest
{
    static constexpr Request type = Request::Watch;
    uint32_t known = 0;
    uint32_t waitMs = 0;
};

struct WindowsRequest
{
    static constexpr Request type = Request::Windows;
};
struct FollowRequest
{
    static constexpr Request type = Request::Follow;
    uint32_t known = 0;
    uint32_t waitMs = 0;
};
struct DescribeRequest
{
    static constexpr Request type = Request::Describe;
    uint32_t window = 0;
};
struct PressRequest
{
    static constexpr Request type = Request::Press;
    uint32_t window = 0;
    uint32_t control = 0;
};
struct PictureRequest
{
    static constexpr Request type = Request::Picture;
    uint32_t window = 0;
    uint64_t knownHash = 0;   // 0: none
};

using AnyRequest = std::variant<ListRequest, CaptureRequest, ClickRequest, TextRequest, KeyRequest, CloseRequest,
                                WatchRequest, WindowsRequest, FollowRequest, DescribeRequest, PressRequest,
                                PictureRequest>;

// A whole request message, at the lowest version that has its type.
std::vector<uint8_t> Encode(uint32_t id, const AnyRequest& request);

// The request of a decoded header and its payload (header.length bytes). False for a type that
// does not exist, a version that does not have the type or is newer than ours, and a payload of
// another size than the type's.
bool DecodeRequest(const Header& header, const uint8_t* payload, AnyRequest& request);

// Answers: a status (a Win32 error code, 0: done), and after a 0 what the type answers with.
struct StatusAnswer
{
    uint32_t status = 0;
};
struct ListAnswer
{
    uint32_t status = 0;
    std::vector<WindowEntry> windows;
};
struct CaptureAnswer
{
    uint32_t status = 0;
    Image image;
};
struct WatchAnswer
{
    uint32_t status = 0;
    Feed feed;
};
// The answers of version 3 carry the places of windows, and whether a picture was drawn.
struct WindowsAnswer
{
    uint32_t status = 0;
    std::vector<WindowEntry> windows;
};
struct FollowAnswer
{
    uint32_t status = 0;
    Feed feed;
};
struct PictureAnswer
{
    uint32_t status = 0;
    Image image;
};
struct DescribeAnswer
{
    uint32_t status = 0;
    std::vector<Control> controls;
};

// A whole answer message to the request of the header, in the form of the request's type (a
// List answer has no places, a Windows answer has them; likewise Watch and Follow, Capture and
// Picture). Texts longer than a field holds are cut; controls beyond MaxControls are left out.
std::vector<uint8_t> EncodeAnswer(const Header& request, uint32_t status);   // a failure, or a plain done
std::vector<uint8_t> EncodeAnswer(const Header& request, const std::vector<WindowEntry>& windows);
std::vector<uint8_t> EncodeAnswer(const Header& request, const Image& image);
std::vector<uint8_t> EncodeAnswer(const Header& request, const Feed& feed);
std::vector<uint8_t> EncodeAnswer(const Header& request, const std::vector<Control>& controls);

// Whether a decoded header is that of the answer to the request.
bool Answers(const Header& answer, const Header& request);

// An answer's payload; false when malformed. A failure's payload is its status alone.
bool Decode(const uint8_t* payload, size_t size, StatusAnswer& answer);
bool Decode(const uint8_t* payload, size_t size, ListAnswer& answer);
bool Decode(const uint8_t* payload, size_t size, CaptureAnswer& answer);
bool Decode(const uint8_t* payload, size_t size, WatchAnswer& answer);
bool Decode(const uint8_t* payload, size_t size, WindowsAnswer& answer);
bool Decode(const uint8_t* payload, size_t size, FollowAnswer& answer);
bool Decode(const uint8_t* payload, size_t size, PictureAnswer& answer);
bool Decode(const uint8_t* payload, size_t size, DescribeAnswer& answer);
}
