#include "TrayFeed.h"

#include <mutex>
#include <string>
#include <system_error>

#include "agent/AgentClient.h"
#include "session/ScopedResource.h"

namespace
{
// How long one request waits in the agent, and the pause before connecting again.
constexpr DWORD FeedWaitMs = 25000;
constexpr DWORD FeedRetryMs = 5000;
constexpr const wchar_t* NoticeTitle = L"A service is showing a window";
}

struct TrayFeed::Link
{
    HWND window = nullptr;
    ScopedHandle stop = MakeScopedHandle(nullptr);
    // The latest state not yet taken by the window. Each state is whole: one that the window
    // has not taken yet is replaced, and nothing of it is lost but windows already gone again.
    std::mutex lock;
    std::unique_ptr<agent::Feed> latest;
};

TrayFeed::~TrayFeed()
{
    if (link_)
        SetEvent(link_->stop.get());
}

void TrayFeed::Start(HWND window)
{
    if (link_)
        return;
    auto link = std::make_shared<Link>();
    link->window = window;
    link->stop.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!link->stop)
        return;
    auto held = std::make_unique<std::shared_ptr<Link>>(link);
    // Nothing waits for the thread: it ends with the process.
    const ScopedHandle thread = MakeScopedHandle(CreateThread(nullptr, 0, &Follow, held.get(), 0, nullptr));
    if (thread)
        held.release();
    link_ = std::move(link);
}

DWORD WINAPI TrayFeed::Follow(void* parameter)
{
    const std::unique_ptr<std::shared_ptr<Link>> held(static_cast<std::shared_ptr<Link>*>(parameter));
    Link& link = **held;
    do
    {
        try
        {
            agent::Client client = agent::Client::Connect(FeedRetryMs, true);
            uint32_t sequence = 0;
            while (WaitForSingleObject(link.stop.get(), 0) == WAIT_TIMEOUT)
            {
                auto feed = std::make_unique<agent::Feed>(client.Watch(sequence, FeedWaitMs));
                if (feed->sequence == sequence)
                    continue;
                sequence = feed->sequence;
                {
                    const std::lock_guard<std::mutex> guard(link.lock);
                    link.latest = std::move(feed);
                }
                // Posted for each state: a post lost to a full queue is made up for by the next.
                PostMessageW(link.window, WM_TRAY_FEED, 0, 0);
            }
        }
        catch (const std::system_error&)
        {
            // No agent (the service is stopped or starting), or it went: try again later.
        }
    } while (WaitForSingleObject(link.stop.get(), FeedRetryMs) == WAIT_TIMEOUT);
    return 0;
}

NOTIFYICONDATAW TrayFeed::IconData(HWND window) const
{
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof data;
    data.hWnd = window;
    data.uID = 1;
    data.uFlags = NIF_ICON | NIF_TIP | NIF_MESSAGE;
    data.uCallbackMessage = WM_TRAY_ICON;
    if (waiting_ == 0)
    {
        data.hIcon = LoadIconW(nullptr, IDI_INFORMATION);
        lstrcpynW(data.szTip, L"Quillon: the session 0 shell is running", ARRAYSIZE(data.szTip));
    }
    else
    {
        data.hIcon = LoadIconW(nullptr, IDI_WARNING);
        const std::wstring tip = L"Quillon: " + std::to_wstring(waiting_) +
                                 (waiting_ == 1 ? L" service window waiting" : L" service windows waiting");
        lstrcpynW(data.szTip, tip.c_str(), ARRAYSIZE(data.szTip));
    }
    return data;
}

void TrayFeed::AddIcon(HWND window) const
{
    NOTIFYICONDATAW data = IconData(window);
    Shell_NotifyIconW(NIM_ADD, &data);
}

void TrayFeed::RemoveIcon(HWND window) const
{
    NOTIFYICONDATAW data = IconData(window);
    Shell_NotifyIconW(NIM_DELETE, &data);
}

void TrayFeed::Announce(HWND window, const agent::FeedWindow& shown)
{
    NOTIFYICONDATAW data = IconData(window);
    data.uFlags = NIF_INFO;
    data.dwInfoFlags = NIIF_INFO;
    lstrcpynW(data.szInfoTitle, NoticeTitle, ARRAYSIZE(data.szInfoTitle));
    const std::wstring text = NoticeText(shown, ARRAYSIZE(data.szInfo));
    lstrcpynW(data.szInfo, text.c_str(), ARRAYSIZE(data.szInfo));
    Shell_NotifyIconW(NIM_MODIFY, &data);
    lastNoticed_ = shown.window;
}

void TrayFeed::OnFeed(HWND window)
{
    // Without a thread of its own (the copy in session 0) the tray has nothing to take.
    if (!link_)
        return;
    std::unique_ptr<agent::Feed> feed;
    {
        const std::lock_guard<std::mutex> guard(link_->lock);
        feed = std::move(link_->latest);
    }
    if (!feed)
        return;
    if (waiting_ != feed->windows.size())
    {
        waiting_ = feed->windows.size();
        NOTIFYICONDATAW data = IconData(window);
        Shell_NotifyIconW(NIM_MODIFY, &data);
    }
    for (const size_t index : announcements_.Update(*feed, GetTickCount64()))
        Announce(window, feed->windows[index]);
}
