#include "AgentWorker.h"

#include <algorithm>
#include <chrono>
#include <system_error>

#include "CaptureSchedule.h"
#include "session/SystemError.h"

namespace viewer
{
namespace
{
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds ListPeriod(1000);
constexpr milliseconds ConnectPeriod(2000);
// A hung agent must not make the queue grow without end.
constexpr size_t MostInputs = 256;

std::wstring Words(const std::exception& error)
{
    std::wstring text = from_utf8(error.what());
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
        text.pop_back();
    return text;
}

// Failures after which the connection cannot be trusted to be in step any more.
bool ConnectionLost(const std::system_error& error)
{
    switch (error.code().value())
    {
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
    case ERROR_PIPE_NOT_CONNECTED:
    case ERROR_BAD_PIPE:
    case ERROR_INVALID_HANDLE:
    case ERROR_INVALID_DATA:
    case ERROR_SEM_TIMEOUT:
    case ERROR_TIMEOUT:
    case WAIT_TIMEOUT:
        return true;
    default:
        return false;
    }
}
}

AgentWorker::AgentWorker(HWND window, UINT message)
    : window_(window), message_(message), thread_(&AgentWorker::Run, this)
{
}

AgentWorker::~AgentWorker()
{
    {
        std::lock_guard<std::mutex> lock(shared_.mutex);
        shared_.stop = true;
    }
    shared_.wake.notify_all();
    thread_.join();
}

void AgentWorker::SetVisible(bool visible)
{
    {
        std::lock_guard<std::mutex> lock(shared_.mutex);
        if (shared_.visible == visible)
            return;
        shared_.visible = visible;
        shared_.poke = visible;
    }
    shared_.wake.notify_all();
}

void AgentWorker::Select(uint32_t window)
{
    {
        std::lock_guard<std::mutex> lock(shared_.mutex);
        shared_.selected = window;
        shared_.poke = true;
        shared_.results.image.reset();
        shared_.results.controls.reset();
    }
    shared_.wake.notify_all();
}

void AgentWorker::Send(Input input)
{
    if (input.window == 0)
        return;
    {
        std::lock_guard<std::mutex> lock(shared_.mutex);
        if (shared_.inputs.size() >= MostInputs)
            return;
        shared_.inputs.push_back(std::move(input));
    }
    shared_.wake.notify_all();
}

Results AgentWorker::TakeResults()
{
    std::lock_guard<std::mutex> lock(shared_.mutex);
    Results taken = std::move(shared_.results);
    shared_.results = Results();
    return taken;
}

void AgentWorker::Run()
{
    std::optional<agent::Client> client;
    Clock::time_point nextConnect = Clock::now();
    Clock::time_point nextList = Clock::now();
    CaptureSchedule capture;
    uint32_t capturedWindow = 0;
    uint64_t hash = 0;

    std::unique_lock<std::mutex> lock(shared_.mutex);
    for (;;)
    {
        Clock::time_point due = Clock::now() + milliseconds(1000);
        if (shared_.visible)
            due = !client ? nextConnect : std::min(nextList, shared_.selected != 0 ? capture.Due() : nextList);
        shared_.wake.wait_until(lock, due, [&] { return shared_.stop || shared_.poke || !shared_.inputs.empty(); });
        if (shared_.stop)
            return;
        const bool visible = shared_.visible;
        const uint32_t selected = shared_.selected;
        if (shared_.poke || !shared_.inputs.empty())
            capture.Restart();
        shared_.poke = false;
        std::deque<Input> inputs;
        inputs.swap(shared_.inputs);
        lock.unlock();

        Results news;
        const Clock::time_point now = Clock::now();
        try
        {
            if (!client && (visible || !inputs.empty()) && now >= nextConnect)
            {
                nextConnect = now + ConnectPeriod;
                client.emplace(agent::Client::Connect());
                news.status = L"";
                nextList = now;
                hash = 0;
            }
            if (client)
            {
                for (const Input& input : inputs)
                {
                    switch (input.kind)
                    {
                    case Input::Click:
                        client->Click(input.window, input.x, input.y, input.right, input.twice);
                        break;
                    case Input::Text:
                        client->Text(input.window, input.text);
                        break;
                    case Input::Key:
                        client->Key(input.window, input.key);
                        break;
                    case Input::Close:
                        client->Close(input.window);
                        nextList = now;
                        break;
                    case Input::Press:
                        client->Press(input.window, input.control);
                        break;
                    }
                }
                if (visible && Clock::now() >= nextList)
                {
                    nextList = Clock::now() + ListPeriod;
                    news.list = client->List();
                }
                if (visible && selected != 0 && Clock::now() >= capture.Due())
                {
                    const Clock::time_point started = Clock::now();
                    if (selected != capturedWindow)
                        hash = 0;
                    agent::Image captured = client->Capture(selected, hash);
                    capturedWindow = selected;
                    const bool changed =
                        !captured.unchanged &&
                        captured.pixels.size() == static_cast<size_t>(captured.width) * captured.height;
                    if (changed)
                    {
                        hash = captured.hash;
                        news.image = std::move(captured);
                        news.imageWindow = capturedWindow;
                        // The controls change with the picture, and are asked for no more often.
                        news.controlsWindow = capturedWindow;
                        try
                        {
                            news.controls = client->Describe(capturedWindow);
                        }
                        catch (const std::system_error& error)
                        {
                            if (ConnectionLost(error))
                                throw;
                            news.controls.emplace();
                            news.controlsProblem = Words(error);
                        }
                    }
                    capture.Asked(started, changed);
                }
            }
        }
        catch (const std::system_error& error)
        {
            news.status = Words(error);
            if (!client || ConnectionLost(error))
                client.reset();
            // A window that failed (gone, hung) is not asked again at once.
            capture.DelayUntil(Clock::now() + ListPeriod);
        }
        catch (const std::exception& error)
        {
            news.status = Words(error);
            client.reset();
        }

        lock.lock();
        if (!news.list && !news.image && !news.status)
            continue;
        Results& results = shared_.results;
        if (news.list)
            results.list = std::move(news.list);
        if (news.image)
        {
            results.image = std::move(news.image);
            results.imageWindow = news.imageWindow;
        }
        if (news.controls)
        {
            results.controls = std::move(news.controls);
            results.controlsWindow = news.controlsWindow;
            results.controlsProblem = std::move(news.controlsProblem);
        }
        if (news.status)
            results.status = std::move(news.status);
        PostMessageW(window_, message_, 0, 0);
    }
}
}
