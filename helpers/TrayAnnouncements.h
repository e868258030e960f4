#pragma once

// What the tray of a user's session announces from the agent's feed: each session 0 window once
// when it appears, and again when it flashes, but not within a minute of its last announcement.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "agent/Protocol.h"

class TrayAnnouncements
{
public:
    static constexpr ULONGLONG FlashRepeatMs = 60000;

    // The windows of the feed to announce now (indexes into feed.windows, in its order). Windows
    // no longer in the feed are forgotten: the same id coming back is a new window.
    std::vector<size_t> Update(const agent::Feed& feed, ULONGLONG now);

private:
    struct Known
    {
        uint32_t window = 0;
        ULONGLONG noticed = 0;   // when it was last announced
        uint64_t flashSeen = 0;
    };
    std::vector<Known> known_;
};

// The notification's text for a window, at most `capacity` - 1 characters: its title, its program,
// and the window station it is on when that is not the console's (a service's own station,
// where nobody sees it). Texts of other programs are shown escaped and cut where they are long.
std::wstring NoticeText(const agent::FeedWindow& shown, size_t capacity);
