// Writes the fuzzer's first corpus into the folder it is given: one valid message of each type,
// requests and answers, as the two ends of the agent's pipe send them.

#include <cstdio>
#include <string>
#include <vector>

#include "agent/Wire.h"

using namespace agent;

namespace
{
bool Save(const std::string& folder, const char* name, const std::vector<uint8_t>& message)
{
    const std::string path = folder + "/" + name;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
    {
        std::perror(path.c_str());
        return false;
    }
    const bool written = std::fwrite(message.data(), 1, message.size(), file) == message.size();
    return std::fclose(file) == 0 && written;
}

Header HeaderOf(const std::vector<uint8_t>& request)
{
    Header header{};
    wire::DecodeHeader(request.data(), request.size(), header);
    return header;
}
}

int main(int argc, char** argv)
{
    if (argc != 2)
    {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    const std::string folder = argv[1];
    const std::vector<uint8_t> list = wire::Encode(1, wire::ListRequest{});
    const std::vector<uint8_t> capture = wire::Encode(2, wire::CaptureRequest{0x10002, 0x0123456789ABCDEFull});
    const std::vector<uint8_t> click = wire::Encode(3, wire::ClickRequest{0x10002, 10, -4, true, false});
    const std::vector<uint8_t> text = wire::Encode(4, wire::TextRequest{0x10002, L"QX-4711-\u00FC"});
    const std::vector<uint8_t> key = wire::Encode(5, wire::KeyRequest{0x10002, 0x0D});
    const std::vector<uint8_t> close = wire::Encode(6, wire::CloseRequest{0x10002});
    const std::vector<uint8_t> watch = wire::Encode(7, wire::WatchRequest{3, 30000});
    const std::vector<uint8_t> placedList = wire::Encode(8, wire::WindowsRequest{});
    const std::vector<uint8_t> follow = wire::Encode(9, wire::FollowRequest{3, 30000});
    const std::vector<uint8_t> describe = wire::Encode(10, wire::DescribeRequest{0x10002});
    const std::vector<uint8_t> press = wire::Encode(11, wire::PressRequest{0x10002, 0x10008});
    const std::vector<uint8_t> picture = wire::Encode(12, wire::PictureRequest{0x10002, 0});

    const std::vector<WindowEntry> windows{
        {0x10002, 4711, L"BenchDialogs.exe", L"Bench question", L"WinSta0\\Default"},
        {0x10004, 4711, L"BenchDialogs.exe", L"Bench \u00FC", L"__wineservice_winstation\\Default"}};
    const std::vector<Control> controls{{0x10008, 1, 10, 60, 85, 83, ControlEnabled | ControlVisible | ControlDefault,
                                         L"Button", L"&Retry"},
                                        {0x1000A, 0xFFFF, 10, 10, 200, 40, ControlVisible, L"Static", L"Disk full"}};
    Image image;
    image.width = 3;
    image.height = 2;
    image.hash = 0x0123456789ABCDEFull;
    image.pixels = {0xFF000000, 0xFF0000FF, 0xFF00FF00, 0xFFFF0000, 0xFFFFFFFF, 0xFF808080};
    Feed feed;
    feed.sequence = 4;
    feed.windows.push_back({0x10002, 133000000000000000ull, 133000000000000001ull, L"notepad.exe", L"Untitled", L"WinSta0\\Default"});

    const bool saved =
        Save(folder, "request-list", list) && Save(folder, "request-capture", capture) &&
        Save(folder, "request-click", click) && Save(folder, "request-text", text) && Save(folder, "request-key", key) &&
        Save(folder, "request-close", close) && Save(folder, "request-watch", watch) &&
        Save(folder, "answer-list", wire::EncodeAnswer(HeaderOf(list), windows)) &&
        Save(folder, "answer-capture", wire::EncodeAnswer(HeaderOf(capture), image)) &&
        Save(folder, "answer-click", wire::EncodeAnswer(HeaderOf(click), 0)) &&
        Save(folder, "answer-text", wire::EncodeAnswer(HeaderOf(text), 0)) &&
        Save(folder, "answer-key", wire::EncodeAnswer(HeaderOf(key), 0)) &&
        Save(folder, "answer-close", wire::EncodeAnswer(HeaderOf(close), 1400)) &&
        Save(folder, "answer-watch", wire::EncodeAnswer(HeaderOf(watch), feed)) &&
        Save(folder, "request-windows", placedList) && Save(folder, "request-follow", follow) &&
        Save(folder, "request-describe", describe) && Save(folder, "request-press", press) &&
        Save(folder, "request-picture", picture) &&
        Save(folder, "answer-windows", wire::EncodeAnswer(HeaderOf(placedList), windows)) &&
        Save(folder, "answer-follow", wire::EncodeAnswer(HeaderOf(follow), feed)) &&
        Save(folder, "answer-describe", wire::EncodeAnswer(HeaderOf(describe), controls)) &&
        Save(folder, "answer-picture", wire::EncodeAnswer(HeaderOf(picture), image));
    return saved ? 0 : 1;
}
