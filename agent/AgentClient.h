#pragma once

// A client of the session 0 agent, for QuillonViewer.exe and the tests. Every call is bounded
// in time; every failure is a std::system_error whose text is a context and the system's
// message, as the control tool prints it.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "Protocol.h"
#include "session/ScopedResource.h"

namespace agent
{
struct WindowEntry
{
    uint32_t window = 0;
    uint32_t processId = 0;
    std::wstring program;   // bare image name
    std::wstring title;
};

// A window as the feed tells it: names and times only.
struct FeedWindow
{
    uint32_t window = 0;
    uint64_t appeared = 0;   // FILETIME, UTC
    uint64_t flashed = 0;    // last flash; 0: none seen
    std::wstring program;
    std::wstring title;
};

struct Feed
{
    uint32_t sequence = 0;
    std::vector<FeedWindow> windows;
};

struct Image
{
    uint32_t width = 0;
    uint32_t height = 0;
    uint64_t hash = 0;
    bool unchanged = false;          // the image is the one whose hash was sent; no pixels
    std::vector<uint32_t> pixels;    // 0xAARRGGBB as BGRA in memory, rows top-down
};

class Client
{
public:
    // Connects to the agent of the running UI0Detect service and checks that it is that agent:
    // the process at the other end must be QuillonTray.exe from the folder of the service's
    // image, under the service's own account. Anything else is refused with a text that says so.
    // A refusal by the agent (this account is not an elevated administrator) shows here too.
    // forFeed: the connection is for Watch alone, which the interactive user of a session may
    // use as well; nothing else is asked of the agent at connect.
    static Client Connect(DWORD timeoutMs = 5000, bool forFeed = false);

    // The windows once the agent's sequence differs from `known`, or after waitMs (at most
    // MaxWatchWaitMs) with the same sequence.
    Feed Watch(uint32_t known, uint32_t waitMs);

    std::vector<WindowEntry> List();
    Image Capture(uint32_t window, uint64_t knownHash = 0);
    void Click(uint32_t window, int32_t x, int32_t y, bool right = false, bool twice = false);
    void Text(uint32_t window, const std::wstring& text);
    void Key(uint32_t window, uint16_t virtualKey);
    void Close(uint32_t window);

    Client(Client&&) noexcept = default;
    Client& operator=(Client&&) noexcept = default;

private:
    explicit Client(ScopedHandle pipe);
    std::vector<uint8_t> Call(Request type, const std::vector<uint8_t>& payload, DWORD extraWaitMs = 0);

    ScopedHandle pipe_;
    uint32_t nextId_ = 1;
};
}
