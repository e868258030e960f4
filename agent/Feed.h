#pragma once

// The read-only feed of session 0's windows (names, programs, places, when each appeared and
// last flashed) that the agent hands to Watch and Follow requests, held in one place so that
// every watcher sees one sequence of changes. The windows are followed all the time, more often
// while someone watches, so that a window appearing or leaving is told to the observer.

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>

#include "Protocol.h"
#include "session/ScopedResource.h"

namespace agent
{
namespace windows
{
class Places;
}

// A window that appeared in session 0, or left it.
struct WindowChange
{
    bool appeared = false;
    FeedWindow window;      // program, title and place
    DWORD processId = 0;
    uint64_t presentMs = 0;   // of a window that left: how long it was there
};

class FeedKeeper
{
public:
    using Observer = std::function<void(const WindowChange&)>;

    explicit FeedKeeper(windows::Places& places, Observer observer = nullptr)
        : places_(places), observer_(std::move(observer))
    {
    }

    // Called outside the feed's lock for each window that appeared or left, on the thread that
    // refreshed the feed. Set before Poll starts.
    void SetObserver(Observer observer) { observer_ = std::move(observer); }

    // The feed once it differs from the sequence the watcher knows, or after waitMs (bounded by
    // MaxWatchWaitMs), or at the stop.
    Feed Watch(uint32_t known, uint32_t waitMs);

    // Run by the agent's feed thread until the stop event is set: lists the windows, often while
    // someone watches and for a while after the last watcher, seldom otherwise.
    void Poll(HANDLE stop);

    // The window flashes: the feed says so when it is one of the listed windows.
    void NoteFlash(uint32_t window);

    // Releases every watcher at once.
    void Stop();

private:
    // Lists the windows and takes what changed into the feed.
    void Refresh();

    struct Tracked
    {
        DWORD processId = 0;
        ULONGLONG since = 0;   // tick count when it appeared
    };

    windows::Places& places_;
    Observer observer_;
    std::mutex refreshing_;   // one refresh at a time: each change is told once
    std::mutex mutex_;
    std::condition_variable changed_;
    bool stopping_ = false;
    Feed feed_ = Feed{1, {}};       // windows in the listing's order
    std::map<uint32_t, Tracked> tracked_;
    int watchers_ = 0;            // Watch requests being held
    ULONGLONG lastWatch_ = 0;     // when the last one ended
    ULONGLONG lastRefresh_ = 0;
    // Set by a Watch that finds the feed stale: the feed's thread lists the windows at once.
    ScopedHandle wake_ = MakeScopedHandle(CreateEventW(nullptr, FALSE, FALSE, nullptr));
};
}
