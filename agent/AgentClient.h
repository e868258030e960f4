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
    // MaxWatchWaitMs) with the same sequence; each with its place.
    Feed Watch(uint32_t known, uint32_t waitMs);

    // The windows of every window station of session 0, each with its place.
    std::vector<WindowEntry> List();
    // The window's picture; Image::drawn when the platform did not draw it and the agent drew it
    // from the window's structure.
    Image Capture(uint32_t window, uint64_t knownHash = 0);
    // The window's controls, in the window's order (for a dialog, its tab order).
    std::vector<Control> Describe(uint32_t window);
    // Clicks the control (Control::control of Describe), an enabled button of the window.
    void Press(uint32_t window, uint32_t control);
    void Click(uint32_t window, int32_t x, int32_t y, bool right = false, bool twice = false);
    void Text(uint32_t window, const std::wstring& text);
    void Key(uint32_t window, uint16_t virtualKey);
    void Close(uint32_t window);

    Client(Client&&) noexcept = default;
    Client& operator=(Client&&) noexcept = default;

private:
    explicit Client(ScopedHandle pipe);
    // Sends a whole request message; the whole answer message, whose header answers it.
    std::vector<uint8_t> Call(const std::vector<uint8_t>& request, DWORD extraWaitMs = 0);

    ScopedHandle pipe_;
    uint32_t nextId_ = 1;
};
}
