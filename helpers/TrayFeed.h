#pragma once

// The icon of a user's session and what it tells: the tray follows the agent's feed of session 0
// windows on a thread that waits in the agent until something changes. A window that appears is
// announced once with a notification, and again on a flash at most once a minute; the icon and
// its tip show how many windows wait.

#include <windows.h>
#include <shellapi.h>

#include <cstdint>
#include <memory>

#include "TrayAnnouncements.h"
#include "agent/Protocol.h"

// The icon's messages to the window (lParam: the mouse or notification event).
constexpr UINT WM_TRAY_ICON = WM_APP + 1;
// The feed changed: the latest state waits for the window in the feed's slot. The message
// carries nothing, so one that another program posts finds nothing new, or nothing at all.
constexpr UINT WM_TRAY_FEED = WM_APP + 3;

class TrayFeed
{
public:
    TrayFeed() = default;
    // Tells the feed's thread to stop; a request under way goes with the process.
    ~TrayFeed();
    TrayFeed(const TrayFeed&) = delete;
    TrayFeed& operator=(const TrayFeed&) = delete;

    // Follows the feed on a thread of its own, which posts its changes to the window. A lost or
    // refused connection is tried again.
    void Start(HWND window);

    // The icon: shown, shown again (the taskbar was started again), and taken away.
    void AddIcon(HWND window) const;
    void RemoveIcon(HWND window) const;

    // WM_TRAY_FEED: takes the latest state from the slot, announces new windows, and flashes
    // not announced within the minute; updates the count.
    void OnFeed(HWND window);

    // The window of the last notification, which a click on it opens; 0 before any.
    uint32_t LastNoticed() const { return lastNoticed_; }

private:
    struct Link;
    static DWORD WINAPI Follow(void* link);
    NOTIFYICONDATAW IconData(HWND window) const;
    void Announce(HWND window, const agent::FeedWindow& shown);

    // Shared with the thread, which nothing waits for and which may outlive this object.
    std::shared_ptr<Link> link_;
    TrayAnnouncements announcements_;
    size_t waiting_ = 0;
    uint32_t lastNoticed_ = 0;
};
