#include "Feed.h"

#include <algorithm>
#include <chrono>
#include <unordered_map>
#include <vector>

#include "WindowActions.h"

namespace agent
{
namespace
{
// While someone follows the feed, the windows are listed this often, and for a minute after
// the last Watch request; otherwise only as often as the audit of windows coming and going
// needs.
constexpr DWORD WatchedPollMs = 500;
constexpr DWORD QuietPollMs = 1000;
constexpr ULONGLONG FeedIdleMs = 60000;
// How long a Watch waits for the feed's thread to list the windows anew after a quiet while.
constexpr DWORD StaleWaitMs = 1000;

uint64_t Now()
{
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return static_cast<uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime;
}
}

void FeedKeeper::Refresh()
{
    std::lock_guard<std::mutex> one(refreshing_);
    const std::vector<windows::Listed> listed = places_.List();
    const uint64_t now = Now();
    const ULONGLONG tick = GetTickCount64();
    std::vector<WindowChange> changes;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lastRefresh_ = tick;
        std::vector<FeedWindow>& feed = feed_.windows;
        // By id, not by comparing every pair: fifty windows are listed every second.
        std::unordered_map<uint32_t, size_t> before;
        before.reserve(feed.size());
        for (size_t i = 0; i < feed.size(); ++i)
            before.emplace(feed[i].window, i);
        std::vector<FeedWindow> next;
        next.reserve(listed.size());
        bool changed = listed.size() != feed.size();
        for (const windows::Listed& window : listed)
        {
            FeedWindow entry;
            entry.window = windows::IdOf(window.window);
            entry.program = window.program.substr(0, MaxFeedTextUnits);
            entry.title = window.title.substr(0, MaxFeedTextUnits);
            entry.place = window.desktop->place.substr(0, MaxPlaceUnits);
            entry.appeared = now;
            const auto known = before.find(entry.window);
            if (known == before.end())
            {
                changed = true;
                tracked_[entry.window] = Tracked{window.processId, tick};
                changes.push_back(WindowChange{true, entry, window.processId, 0});
            }
            else
            {
                FeedWindow& old = feed[known->second];
                entry.appeared = old.appeared;
                entry.flashed = old.flashed;
                changed = changed || old.title != entry.title || old.program != entry.program ||
                          old.place != entry.place;
                before.erase(known);
            }
            next.push_back(std::move(entry));
        }
        // What is left of the earlier feed has gone.
        for (const auto& [id, index] : before)
        {
            const auto track = tracked_.find(id);
            WindowChange left{false, std::move(feed[index]), 0, 0};
            if (track != tracked_.end())
            {
                left.processId = track->second.processId;
                left.presentMs = tick - track->second.since;
                tracked_.erase(track);
            }
            changes.push_back(std::move(left));
            changed = true;
        }
        if (changed)
        {
            feed = std::move(next);
            ++feed_.sequence;
        }
        // Also a watcher that waits for a fresh listing.
        changed_.notify_all();
    }
    if (observer_)
        for (const WindowChange& change : changes)
            observer_(change);
}

Feed FeedKeeper::Watch(uint32_t known, uint32_t waitMs)
{
    bool stale = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++watchers_;
        stale = GetTickCount64() - lastRefresh_ > WatchedPollMs;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    // The windows were listed less often while no one watched: the feed's thread lists them now,
    // the one thread that ever does (a client's thread only waits for it, a bounded time).
    if (stale)
    {
        const ULONGLONG listed = lastRefresh_;
        SetEvent(wake_.get());
        changed_.wait_for(lock, std::chrono::milliseconds(StaleWaitMs),
                          [&] { return stopping_ || lastRefresh_ != listed; });
    }
    changed_.wait_for(lock, std::chrono::milliseconds(std::min(waitMs, MaxWatchWaitMs)),
                      [&] { return stopping_ || feed_.sequence != known; });
    --watchers_;
    lastWatch_ = GetTickCount64();
    return feed_;
}

void FeedKeeper::Poll(HANDLE stop)
{
    DWORD periodMs = 0;   // the windows there are at the start are listed at once
    const HANDLE wakes[] = {stop, wake_.get()};
    for (;;)
    {
        const DWORD woken = WaitForMultipleObjects(wake_ ? 2 : 1, wakes, FALSE, periodMs);
        if (woken != WAIT_TIMEOUT && woken != WAIT_OBJECT_0 + 1)
            return;
        Refresh();
        std::lock_guard<std::mutex> lock(mutex_);
        const bool watched = watchers_ > 0 || (lastWatch_ != 0 && GetTickCount64() - lastWatch_ < FeedIdleMs);
        periodMs = watched ? WatchedPollMs : QuietPollMs;
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
