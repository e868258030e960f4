#include "TrayAnnouncements.h"

#include <algorithm>

#include "session/DisplayText.h"

namespace
{
// A title is any program's text: shown as such, and cut to what the field holds.
std::wstring Printable(const std::wstring& text, size_t limit)
{
    std::wstring clean = DisplayText(text);
    if (clean.size() > limit)
        clean = clean.substr(0, limit > 0 ? limit - 1 : 0) + L"\u2026";
    return clean;
}
}

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

std::wstring NoticeText(const agent::FeedWindow& shown, size_t capacity)
{
    std::wstring tail = L"\nProgram: " + Printable(shown.program.empty() ? L"an unknown program" : shown.program, 64);
    const std::wstring& place = shown.place;
    if (!place.empty() && place != agent::InteractivePlace)
    {
        // The station alone names the place when the desktop is the station's usual one; another
        // desktop of the console's station is named whole.
        const std::wstring console = L"WinSta0\\", usual = L"\\Default";
        if (place.compare(0, console.size(), console) == 0)
            tail += L"\nOn the desktop " + Printable(place, 64);
        else if (place.size() > usual.size() && place.compare(place.size() - usual.size(), usual.size(), usual) == 0)
            tail += L"\nOn the service station " + Printable(place.substr(0, place.size() - usual.size()), 64);
        else
            tail += L"\nOn the service station " + Printable(place, 64);
    }
    const size_t room = capacity - 1 - tail.size();
    return Printable(shown.title.empty() ? L"(no title)" : shown.title, room) + tail;
}
