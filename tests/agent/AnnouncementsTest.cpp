// The tray's rule for announcing session 0 windows from the feed, over a minute and more of
// feed updates (the service scenario can only show the first minute).

#include <gtest/gtest.h>

#include "agent/Announcements.h"

namespace
{
agent::FeedWindow Window(uint32_t id, uint64_t flashed = 0)
{
    agent::FeedWindow window;
    window.window = id;
    window.flashed = flashed;
    return window;
}

agent::Feed FeedOf(std::vector<agent::FeedWindow> windows)
{
    agent::Feed feed;
    feed.windows = std::move(windows);
    return feed;
}

using Indexes = std::vector<size_t>;
}

TEST(TrayAnnouncements, OncePerWindowAndAgainOnAFlashAtMostOnceAMinute)
{
    agent::Announcements rule;
    const ULONGLONG t0 = 1000000;
    EXPECT_EQ(rule.Update(FeedOf({Window(1)}), t0), Indexes({0}));
    // The same window in a later update, and a second one beside it: only the new one.
    EXPECT_EQ(rule.Update(FeedOf({Window(1), Window(2)}), t0 + 1000), Indexes({1}));
    // The first flashes 10 s after its announcement: nothing.
    EXPECT_TRUE(rule.Update(FeedOf({Window(1, 77), Window(2)}), t0 + 10000).empty());
    // The same flash seen again after the minute is not a new flash.
    EXPECT_TRUE(rule.Update(FeedOf({Window(1, 77), Window(2)}), t0 + 70000).empty());
    // A new flash after the minute: announced again, and the minute starts over.
    EXPECT_EQ(rule.Update(FeedOf({Window(1, 78), Window(2)}), t0 + 71000), Indexes({0}));
    EXPECT_TRUE(rule.Update(FeedOf({Window(1, 79), Window(2)}), t0 + 100000).empty());
    // A window that went and came back (a handle used again) is a new window.
    EXPECT_TRUE(rule.Update(FeedOf({Window(2)}), t0 + 101000).empty());
    EXPECT_EQ(rule.Update(FeedOf({Window(2), Window(1)}), t0 + 102000), Indexes({1}));
}
