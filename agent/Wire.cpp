#include "Wire.h"

#include <algorithm>
#include <cstring>

namespace agent::wire
{
namespace
{
// Folded to a constant by the compiler: on a little-endian host pixels and UTF-16 texts are
// copied as they lie in memory.
bool LittleEndianHost()
{
    const uint16_t one = 1;
    uint8_t first = 0;
    std::memcpy(&first, &one, 1);
    return first == 1;
}

template <typename T>
void PutLittle(uint8_t* at, T value)
{
    for (size_t i = 0; i < sizeof value; ++i)
        at[i] = static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i));
}

template <typename T>
T GetLittle(const uint8_t* at)
{
    uint64_t value = 0;
    for (size_t i = 0; i < sizeof(T); ++i)
        value |= static_cast<uint64_t>(at[i]) << (8 * i);
    return static_cast<T>(value);
}

template <typename T>
void Append(std::vector<uint8_t>& bytes, T value)
{
    const size_t at = bytes.size();
    bytes.resize(at + sizeof value);
    PutLittle(bytes.data() + at, value);
}
}

void Writer::U8(uint8_t value)
{
    bytes.push_back(value);
}

void Writer::U16(uint16_t value)
{
    Append(bytes, value);
}

void Writer::U32(uint32_t value)
{
    Append(bytes, value);
}

void Writer::U64(uint64_t value)
{
    Append(bytes, value);
}

void Writer::U32At(size_t at, uint32_t value)
{
    PutLittle(bytes.data() + at, value);
}

void Writer::Units(const std::wstring& text, size_t count)
{
    count = std::min(count, text.size());
    const size_t at = bytes.size();
    bytes.resize(at + count * 2);
    if (sizeof(wchar_t) == 2 && LittleEndianHost())
    {
        if (count > 0)
            std::memcpy(bytes.data() + at, text.data(), count * 2);
        return;
    }
    for (size_t i = 0; i < count; ++i)
        PutLittle(bytes.data() + at + i * 2, static_cast<uint16_t>(text[i]));
}

void Writer::Pixels(const std::vector<uint32_t>& pixels)
{
    const size_t at = bytes.size();
    bytes.resize(at + pixels.size() * 4);
    if (LittleEndianHost())
    {
        if (!pixels.empty())
            std::memcpy(bytes.data() + at, pixels.data(), pixels.size() * 4);
        return;
    }
    for (size_t i = 0; i < pixels.size(); ++i)
        PutLittle(bytes.data() + at + i * 4, pixels[i]);
}

const uint8_t* Reader::Take(size_t bytes)
{
    if (failed_ || size_ - at_ < bytes)
    {
        failed_ = true;
        return nullptr;
    }
    const uint8_t* at = data_ + at_;
    at_ += bytes;
    return at;
}

uint8_t Reader::U8()
{
    const uint8_t* at = Take(1);
    return at != nullptr ? *at : 0;
}

uint16_t Reader::U16()
{
    const uint8_t* at = Take(2);
    return at != nullptr ? GetLittle<uint16_t>(at) : 0;
}

uint32_t Reader::U32()
{
    const uint8_t* at = Take(4);
    return at != nullptr ? GetLittle<uint32_t>(at) : 0;
}

uint64_t Reader::U64()
{
    const uint8_t* at = Take(8);
    return at != nullptr ? GetLittle<uint64_t>(at) : 0;
}

std::wstring Reader::Units(size_t count)
{
    // Checked before anything is allocated: the count comes from the other end.
    const uint8_t* at = count <= left() / 2 ? Take(count * 2) : Take(SIZE_MAX);
    if (at == nullptr)
        return {};
    std::wstring text(count, L'\0');
    if (sizeof(wchar_t) == 2 && LittleEndianHost())
    {
        if (count > 0)
            std::memcpy(&text[0], at, count * 2);
        return text;
    }
    for (size_t i = 0; i < count; ++i)
        text[i] = static_cast<wchar_t>(GetLittle<uint16_t>(at + i * 2));
    return text;
}

std::vector<uint32_t> Reader::Pixels(size_t count)
{
    const uint8_t* at = count <= left() / 4 ? Take(count * 4) : Take(SIZE_MAX);
    if (at == nullptr)
        return {};
    std::vector<uint32_t> pixels(count);
    if (LittleEndianHost())
    {
        if (count > 0)
            std::memcpy(pixels.data(), at, count * 4);
        return pixels;
    }
    for (size_t i = 0; i < count; ++i)
        pixels[i] = GetLittle<uint32_t>(at + i * 4);
    return pixels;
}

namespace
{
constexpr size_t HeaderBytes = sizeof(Header);

void Put(Writer& writer, const Header& header)
{
    writer.U32(header.magic);
    writer.U16(header.version);
    writer.U16(header.type);
    writer.U32(header.id);
    writer.U32(header.length);
}

// A message of the header's version, type and id whose payload `put` writes; the length is the
// payload's.
template <typename Payload>
std::vector<uint8_t> Message(uint16_t version, uint16_t type, uint32_t id, Payload put)
{
    Writer writer;
    Put(writer, Header{Magic, version, type, id, 0});
    put(writer);
    writer.U32At(12, static_cast<uint32_t>(writer.bytes.size() - HeaderBytes));
    return std::move(writer.bytes);
}

template <typename Payload>
std::vector<uint8_t> AnswerMessage(const Header& request, Payload put)
{
    return Message(request.version, static_cast<uint16_t>(request.type | ResponseBit), request.id, put);
}

template <typename Io>
void Fields(Io& io, WindowEntry& entry);
template <typename Io>
void Fields(Io& io, FeedWindow& entry);

// A message's fields go through one of these two, written or read in the same order.
class Out
{
public:
    // placed: the form of the version 3 answers (places, the drawn mark).
    Out(Writer& writer, bool placed) : placed(placed), writer_(writer) {}
    const bool placed;
    void U16(uint16_t value) { writer_.U16(value); }
    void U32(uint32_t value) { writer_.U32(value); }
    void U64(uint64_t value) { writer_.U64(value); }
    void I32(int32_t value) { writer_.U32(static_cast<uint32_t>(value)); }
    void Flag(bool value) { writer_.U8(value ? 1 : 0); }
    void TextToEnd(const std::wstring& text, size_t) { writer_.Units(text, text.size()); }
    // A text whose unit count comes first, cut to `most` units.
    void Text(const std::wstring& text, size_t most)
    {
        const size_t units = std::min(text.size(), most);
        writer_.U16(static_cast<uint16_t>(units));
        writer_.Units(text, units);
    }
    // Two texts whose unit counts come first, each cut to `most` units.
    void Texts(const std::wstring& first, const std::wstring& second, size_t most)
    {
        const size_t firstUnits = std::min(first.size(), most);
        const size_t secondUnits = std::min(second.size(), most);
        writer_.U16(static_cast<uint16_t>(firstUnits));
        writer_.U16(static_cast<uint16_t>(secondUnits));
        writer_.Units(first, firstUnits);
        writer_.Units(second, secondUnits);
    }
    void Pixels(const std::vector<uint32_t>& pixels, size_t) { writer_.Pixels(pixels); }
    template <typename Entry>
    void Each(std::vector<Entry>& entries, size_t most = UINT32_MAX)
    {
        const size_t count = std::min(entries.size(), most);
        writer_.U32(static_cast<uint32_t>(count));
        for (size_t i = 0; i < count; ++i)
            Fields(*this, entries[i]);
    }
    // What the reader checks holds for what is written.
    void Check(bool) {}

private:
    Writer& writer_;
};

class In
{
public:
    In(Reader& reader, bool placed) : placed(placed), reader_(reader) {}
    const bool placed;
    void U16(uint16_t& value) { value = reader_.U16(); }
    void U32(uint32_t& value) { value = reader_.U32(); }
    void U64(uint64_t& value) { value = reader_.U64(); }
    void I32(int32_t& value) { value = static_cast<int32_t>(reader_.U32()); }
    void Flag(bool& value) { value = reader_.U8() != 0; }
    // The rest of the payload: whole UTF-16 units, no more than `most` of them.
    void TextToEnd(std::wstring& text, size_t most)
    {
        if (reader_.left() % 2 != 0 || reader_.left() / 2 > most)
            reader_.Fail();
        text = reader_.Units(reader_.left() / 2);
    }
    void Text(std::wstring& text, size_t most)
    {
        const size_t units = reader_.U16();
        Check(units <= most);
        text = reader_.Units(units);
    }
    void Texts(std::wstring& first, std::wstring& second, size_t most)
    {
        const size_t firstUnits = reader_.U16();
        const size_t secondUnits = reader_.U16();
        Check(firstUnits <= most && secondUnits <= most);
        first = reader_.Units(firstUnits);
        second = reader_.Units(secondUnits);
    }
    void Pixels(std::vector<uint32_t>& pixels, size_t count) { pixels = reader_.Pixels(count); }
    template <typename Entry>
    void Each(std::vector<Entry>& entries, size_t most = UINT32_MAX)
    {
        // Every entry takes bytes: a count larger than the rest can hold fails when they end.
        const uint32_t count = reader_.U32();
        Check(count <= most);
        entries.clear();
        for (uint32_t i = 0; i < count && reader_.left() > 0; ++i)
        {
            entries.emplace_back();
            Fields(*this, entries.back());
        }
        Check(entries.size() == count);
    }
    void Check(bool holds)
    {
        if (!holds)
            reader_.Fail();
    }

private:
    Reader& reader_;
};

// Each request's payload, field by field: one list for the writer and the reader alike.
template <typename Io>
void Fields(Io&, ListRequest&)
{
}
template <typename Io>
void Fields(Io& io, CaptureRequest& request)
{
    io.U32(request.window);
    io.U64(request.knownHash);
}
template <typename Io>
void Fields(Io& io, ClickRequest& request)
{
    io.U32(request.window);
    io.I32(request.x);
    io.I32(request.y);
    io.Flag(request.right);
    io.Flag(request.twice);
}
template <typename Io>
void Fields(Io& io, TextRequest& request)
{
    io.U32(request.window);
    io.TextToEnd(request.text, MaxTextUnits);
}
template <typename Io>
void Fields(Io& io, KeyRequest& request)
{
    io.U32(request.window);
    io.U16(request.virtualKey);
}
template <typename Io>
void Fields(Io& io, CloseRequest& request)
{
    io.U32(request.window);
}
template <typename Io>
void Fields(Io& io, WatchRequest& request)
{
    io.U32(request.known);
    io.U32(request.waitMs);
}
template <typename Io>
void Fields(Io&, WindowsRequest&)
{
}
template <typename Io>
void Fields(Io& io, FollowRequest& request)
{
    io.U32(request.known);
    io.U32(request.waitMs);
}
template <typename Io>
void Fields(Io& io, DescribeRequest& request)
{
    io.U32(request.window);
}
template <typename Io>
void Fields(Io& io, PressRequest& request)
{
    io.U32(request.window);
    io.U32(request.control);
}
template <typename Io>
void Fields(Io& io, PictureRequest& request)
{
    io.U32(request.window);
    io.U64(request.knownHash);
}

// What follows the status 0 of an answer.
template <typename Io>
void Fields(Io& io, WindowEntry& entry)
{
    io.U32(entry.window);
    io.U32(entry.processId);
    io.Texts(entry.program, entry.title, UINT16_MAX);
    if (io.placed)
        io.Text(entry.place, MaxPlaceUnits);
}
template <typename Io>
void Fields(Io& io, std::vector<WindowEntry>& windows)
{
    io.Each(windows);
}
template <typename Io>
void Fields(Io& io, Image& image)
{
    io.U32(image.width);
    io.U32(image.height);
    io.U64(image.hash);
    io.Flag(image.unchanged);
    if (io.placed)
        io.Flag(image.drawn);
    io.Check(image.width <= MaxCaptureSide && image.height <= MaxCaptureSide);
    if (!image.unchanged)
        io.Pixels(image.pixels, static_cast<size_t>(image.width) * image.height);
}
template <typename Io>
void Fields(Io& io, FeedWindow& entry)
{
    io.U32(entry.window);
    io.U64(entry.appeared);
    io.U64(entry.flashed);
    io.Texts(entry.program, entry.title, MaxFeedTextUnits);
    if (io.placed)
        io.Text(entry.place, MaxPlaceUnits);
}
template <typename Io>
void Fields(Io& io, Control& control)
{
    io.U32(control.control);
    io.U32(control.id);
    io.I32(control.left);
    io.I32(control.top);
    io.I32(control.right);
    io.I32(control.bottom);
    io.U16(control.state);
    io.Texts(control.className, control.text, MaxControlTextUnits);
}
template <typename Io>
void Fields(Io& io, std::vector<Control>& controls)
{
    io.Each(controls, MaxControls);
}
template <typename Io>
void Fields(Io& io, Feed& feed)
{
    io.U32(feed.sequence);
    io.Each(feed.windows);
}

template <typename Body>
std::vector<uint8_t> RequestMessage(uint32_t id, const Body& request)
{
    return Message(VersionOf(Body::type), static_cast<uint16_t>(Body::type), id, [&](Writer& writer) {
        Out out(writer, false);
        // Out only reads the fields.
        Fields(out, const_cast<Body&>(request));
    });
}

template <typename Body>
bool TakeRequest(const Header& header, const uint8_t* payload, AnyRequest& request)
{
    if (header.version < VersionOf(Body::type))
        return false;
    Reader reader(payload, header.length);
    In in(reader, false);
    Body body;
    Fields(in, body);
    if (!reader.Done())
        return false;
    request = std::move(body);
    return true;
}

// The answers of these types carry places and the drawn mark.
bool Placed(const Header& request)
{
    const auto type = static_cast<Request>(request.type & ~ResponseBit);
    return type == Request::Windows || type == Request::Follow || type == Request::Picture;
}

// An answer of status 0 and the body.
template <typename Body>
std::vector<uint8_t> AnswerWith(const Header& request, const Body& body)
{
    return AnswerMessage(request, [&](Writer& writer) {
        writer.U32(0);
        Out out(writer, Placed(request));
        Fields(out, const_cast<Body&>(body));
    });
}

// A failure's payload is its status alone; a 0 is followed by the body.
template <typename Body>
bool DecodeWith(const uint8_t* payload, size_t size, uint32_t& status, Body& body, bool placed = false)
{
    Reader reader(payload, size);
    status = reader.U32();
    body = Body();
    if (status == 0)
    {
        In in(reader, placed);
        Fields(in, body);
    }
    return reader.Done();
}
}

bool ReadHeader(const uint8_t* message, size_t size, Header& header)
{
    Reader reader(message, std::min(size, HeaderBytes));
    header.magic = reader.U32();
    header.version = reader.U16();
    header.type = reader.U16();
    header.id = reader.U32();
    header.length = reader.U32();
    return reader.Done() && header.magic == Magic;
}

bool DecodeHeader(const uint8_t* message, size_t size, Header& header)
{
    return ReadHeader(message, size, header) && header.length == size - HeaderBytes;
}

std::vector<uint8_t> Encode(uint32_t id, const AnyRequest& request)
{
    return std::visit([id](const auto& body) { return RequestMessage(id, body); }, request);
}

bool DecodeRequest(const Header& header, const uint8_t* payload, AnyRequest& request)
{
    if (header.version > Version)
        return false;
    switch (static_cast<Request>(header.type))
    {
    case Request::List:
        return TakeRequest<ListRequest>(header, payload, request);
    case Request::Capture:
        return TakeRequest<CaptureRequest>(header, payload, request);
    case Request::Click:
        return TakeRequest<ClickRequest>(header, payload, request);
    case Request::Text:
        return TakeRequest<TextRequest>(header, payload, request);
    case Request::Key:
        return TakeRequest<KeyRequest>(header, payload, request);
    case Request::Close:
        return TakeRequest<CloseRequest>(header, payload, request);
    case Request::Watch:
        return TakeRequest<WatchRequest>(header, payload, request);
    case Request::Windows:
        return TakeRequest<WindowsRequest>(header, payload, request);
    case Request::Follow:
        return TakeRequest<FollowRequest>(header, payload, request);
    case Request::Describe:
        return TakeRequest<DescribeRequest>(header, payload, request);
    case Request::Press:
        return TakeRequest<PressRequest>(header, payload, request);
    case Request::Picture:
        return TakeRequest<PictureRequest>(header, payload, request);
    }
    return false;
}

std::vector<uint8_t> EncodeAnswer(const Header& request, uint32_t status)
{
    return AnswerMessage(request, [&](Writer& writer) { writer.U32(status); });
}

std::vector<uint8_t> EncodeAnswer(const Header& request, const std::vector<WindowEntry>& windows)
{
    return AnswerWith(request, windows);
}

std::vector<uint8_t> EncodeAnswer(const Header& request, const Image& image)
{
    return AnswerWith(request, image);
}

std::vector<uint8_t> EncodeAnswer(const Header& request, const Feed& feed)
{
    return AnswerWith(request, feed);
}

std::vector<uint8_t> EncodeAnswer(const Header& request, const std::vector<Control>& controls)
{
    return AnswerWith(request, controls);
}

bool Answers(const Header& answer, const Header& request)
{
    return answer.version == request.version && answer.type == (request.type | ResponseBit) && answer.id == request.id;
}

bool Decode(const uint8_t* payload, size_t size, StatusAnswer& answer)
{
    Reader reader(payload, size);
    answer.status = reader.U32();
    return reader.Done();
}

bool Decode(const uint8_t* payload, size_t size, ListAnswer& answer)
{
    return DecodeWith(payload, size, answer.status, answer.windows);
}

bool Decode(const uint8_t* payload, size_t size, CaptureAnswer& answer)
{
    return DecodeWith(payload, size, answer.status, answer.image);
}

bool Decode(const uint8_t* payload, size_t size, WatchAnswer& answer)
{
    return DecodeWith(payload, size, answer.status, answer.feed);
}

bool Decode(const uint8_t* payload, size_t size, WindowsAnswer& answer)
{
    return DecodeWith(payload, size, answer.status, answer.windows, true);
}

bool Decode(const uint8_t* payload, size_t size, FollowAnswer& answer)
{
    return DecodeWith(payload, size, answer.status, answer.feed, true);
}

bool Decode(const uint8_t* payload, size_t size, PictureAnswer& answer)
{
    return DecodeWith(payload, size, answer.status, answer.image, true);
}

bool Decode(const uint8_t* payload, size_t size, DescribeAnswer& answer)
{
    return DecodeWith(payload, size, answer.status, answer.controls);
}
}
