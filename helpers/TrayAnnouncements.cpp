#include "TrayAnnouncements.h"

#include <algorithm>

std::vector<size_t> TrayAnnouncements::Update(const agent::Feed& feed, ULONGLONG now)
{
    known_.erase(std::remove_if(known_.begin(), known_.end(),
                                [&](const Known& known) {
                                    return std::none_of(feed.windows.begin(), feed.windows.end(),
                                                        [&](const agent::FeedWindow& shown) {
                                                            return shown.window == known.window;
                                                        });
                                }),
                 known_.end());
    std::vector<size_t> announce;
    for (size_t i = 0; i < feed.windows.size(); ++i)
    {
        const agent::FeedWindow& shown = feed.windows[i];
        const auto known = std::find_if(known_.begin(), known_.end(),
                                        [&](const Known& k) { return k.window == shown.window; });
        if (known == known_.end())
        {
            known_.push_back(Known{shown.window, now, shown.flashed});
            announce.push_back(i);
        }
        else if (shown.flashed != known->flashSeen)
        {
            // A flash inside the minute is used up: only a later one announces again.
            known->flashSeen = shown.flashed;
            if (now - known->noticed >= FlashRepeatMs)
            {
                known->noticed = now;
                announce.push_back(i);
            }
        }
    }
    return announce;
}
