#include "Feed.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "WindowActions.h"

namespace agent
{
namespace
{
// While someone follows the feed, the desktop's windows are listed this often; a minute after
// the last Watch request they no longer are.
constexpr DWORD FeedPollMs = 500;
constexpr ULONGLONG FeedIdleMs = 60000;

uint64_t Now()
{
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return static_cast<uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime;
}
}

void FeedKeeper::Refresh()
{
    const std::vector<windows::Listed> listed = windows::List(desktop_);
    const uint64_t now = Now();
    std::lock_guard<std::mutex> lock(mutex_);
    lastRefresh_ = GetTickCount64();
    std::vector<FeedWindow>& feed = feed_.windows;
    std::vector<FeedWindow> next;
    next.reserve(listed.size());
    bool changed = listed.size() != feed.size();
    for (const windows::Listed& window : listed)
    {
        FeedWindow entry;
        entry.window = windows::IdOf(window.window);
        entry.program = window.program.substr(0, MaxFeedTextUnits);
        entry.title = window.title.substr(0, MaxFeedTextUnits);
        entry.appeared = now;
        const auto known =
            std::find_if(feed.begin(), feed.end(), [&](const FeedWindow& e) { return e.window == entry.window; });
        if (known == feed.end())
        {
            changed = true;
        }
        else
        {
            entry.appeared = known->appeared;
            entry.flashed = known->flashed;
            changed = changed || known->title != entry.title || known->program != entry.program;
        }
        next.push_back(std::move(entry));
    }
    if (!changed)
        return;
    feed = std::move(next);
    ++feed_.sequence;
    changed_.notify_all();
}

Feed FeedKeeper::Watch(uint32_t known, uint32_t waitMs)
{
    bool stale = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++watchers_;
        stale = GetTickCount64() - lastRefresh_ > FeedPollMs;
    }
    // Nobody listed the windows while no one watched.
    if (stale)
        Refresh();

    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(std::min(waitMs, MaxWatchWaitMs)),
                      [&] { return stopping_ || feed_.sequence != known; });
    --watchers_;
    lastWatch_ = GetTickCount64();
    return feed_;
}

void FeedKeeper::Poll(HANDLE stop)
{
    while (WaitForSingleObject(stop, FeedPollMs) == WAIT_TIMEOUT)
    {
        bool wanted = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            wanted = watchers_ > 0 || GetTickCount64() - lastWatch_ < FeedIdleMs;
        }
        if (wanted)
            Refresh();
    }
}

void FeedKeeper::NoteFlash(uint32_t window)
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (FeedWindow& entry : feed_.windows)
    {
        if (entry.window != window)
            continue;
        entry.flashed = Now();
        ++feed_.sequence;
        changed_.notify_all();
        return;
    }
}

void FeedKeeper::Stop()
{
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    changed_.notify_all();
}
}
