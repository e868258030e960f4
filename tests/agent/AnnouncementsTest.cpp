// The tray's rule for announcing session 0 windows from the feed, over a minute and more of
// feed updates (the service scenario can only show the first minute), and the viewer's schedule
// of asking for a picture.

#include <gtest/gtest.h>

#include "BenchClient.h"
#include "helpers/TrayAnnouncements.h"
#include "viewer/CaptureSchedule.h"

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
    TrayAnnouncements rule;
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

// The viewer's capture schedule: fast while the picture changes, slow once it has not for about
// a second, fast again on a change or a restart; never two asks at once after a late one.
// The notification names a window's station when it is not on the console's desktop, and stays
// within the balloon's field however long the titles and names are.
TEST(TrayAnnouncements, TheNoticeNamesAServiceStationAndFitsTheBalloon)
{
    agent::FeedWindow shown = Window(1);
    shown.title = L"Setup error";
    shown.program = L"setup.exe";
    shown.place = agent::InteractivePlace;
    EXPECT_EQ(NoticeText(shown, 256), L"Setup error\nProgram: setup.exe");
    shown.place.clear();   // an agent that tells no place
    EXPECT_EQ(NoticeText(shown, 256), L"Setup error\nProgram: setup.exe");
    shown.place = L"Service-0x0-3e7$\\Default";
    EXPECT_EQ(NoticeText(shown, 256), L"Setup error\nProgram: setup.exe\nOn the service station Service-0x0-3e7$");
    shown.place = L"Service-0x0-3e5$\\Other";
    EXPECT_EQ(NoticeText(shown, 256),
              L"Setup error\nProgram: setup.exe\nOn the service station Service-0x0-3e5$\\Other");
    shown.place = L"WinSta0\\Winlogon";
    EXPECT_EQ(NoticeText(shown, 256), L"Setup error\nProgram: setup.exe\nOn the desktop WinSta0\\Winlogon");

    // Every part at its longest: the title gives way, the station is still named, escaped.
    shown.title = std::wstring(300, L'T');
    shown.program = std::wstring(300, L'p');
    shown.place = L"\u202E" + std::wstring(300, L's') + L"\\Default";
    const std::wstring text = NoticeText(shown, 256);
    EXPECT_EQ(text.size(), 255u);
    EXPECT_EQ(text.find(L'\u202E'), std::wstring::npos);
    EXPECT_NE(text.find(L"\nOn the service station \\u202E"), std::wstring::npos) << bench::Narrow(text);
    EXPECT_EQ(text.substr(0, 93), std::wstring(92, L'T') + L"\u2026");
}

TEST(CaptureSchedule, SlowsDownOnAStillPictureAndSpeedsUpOnAChange)
{
    using viewer::CaptureSchedule;
    using std::chrono::milliseconds;
    CaptureSchedule schedule;
    const CaptureSchedule::Clock::time_point begin = schedule.Due();
    for (int ask = 1; ask < CaptureSchedule::UnchangedBeforeIdle; ++ask)
        schedule.Asked(schedule.Due(), false);
    EXPECT_EQ(schedule.Due() - begin, milliseconds(90) * (CaptureSchedule::UnchangedBeforeIdle - 1));

    CaptureSchedule::Clock::time_point before = schedule.Due();
    schedule.Asked(before, false);
    EXPECT_EQ(schedule.Due() - before, milliseconds(500));
    before = schedule.Due();
    schedule.Asked(before, false);
    EXPECT_EQ(schedule.Due() - before, milliseconds(500));

    before = schedule.Due();
    schedule.Asked(before, true);
    EXPECT_EQ(schedule.Due() - before, milliseconds(90));

    // An ask that began two seconds late schedules the next from when it began.
    const CaptureSchedule::Clock::time_point late = schedule.Due() + milliseconds(2000);
    schedule.Asked(late, true);
    EXPECT_EQ(schedule.Due() - late, milliseconds(90));

    for (int ask = 0; ask < 20; ++ask)
        schedule.Asked(schedule.Due(), false);
    schedule.Restart();
    EXPECT_LE(schedule.Due(), CaptureSchedule::Clock::now());
    before = schedule.Due();
    schedule.Asked(before, false);
    EXPECT_EQ(schedule.Due() - before, milliseconds(90));
}
