#pragma once

// The read-only feed of a desktop's windows (names, programs, when each appeared and last
// flashed) that the agent hands to Watch requests: listed while someone follows it, and held in
// one place so that every watcher sees one sequence of changes.

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "Protocol.h"

namespace agent
{
class FeedKeeper
{
public:
    explicit FeedKeeper(HDESK desktop) : desktop_(desktop) {}

    // The feed once it differs from the sequence the watcher knows, or after waitMs (bounded by
    // MaxWatchWaitMs), or at the stop.
    Feed Watch(uint32_t known, uint32_t waitMs);

    // Run by the agent's feed thread until the stop event is set: lists the windows while
    // someone watches, and for a while after the last watcher.
    void Poll(HANDLE stop);

    // The window flashes: the feed says so when it is one of the listed windows.
    void NoteFlash(uint32_t window);

    // Releases every watcher at once.
    void Stop();

private:
    // Lists the desktop's windows and takes what changed into the feed.
    void Refresh();

    const HDESK desktop_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool stopping_ = false;
    Feed feed_ = Feed{1, {}};
    int watchers_ = 0;            // Watch requests being held
    ULONGLONG lastWatch_ = 0;     // when the last one ended
    ULONGLONG lastRefresh_ = 0;
};
}
