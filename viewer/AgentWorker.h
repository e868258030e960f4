#pragma once

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "agent/AgentClient.h"

namespace viewer
{
// What the user did to the picture of a session 0 window, to be done to that window.
struct Input
{
    enum Kind
    {
        Click,
        Text,
        Key,
        Close,
        Press   // control: a button of the window, as Describe tells it
    } kind = Click;
    uint32_t window = 0;
    uint32_t control = 0;
    int32_t x = 0;
    int32_t y = 0;
    bool right = false;
    bool twice = false;
    std::wstring text;
    uint16_t key = 0;

    static Input To(Kind kind, uint32_t window)
    {
        Input input;
        input.kind = kind;
        input.window = window;
        return input;
    }
};

// What the worker brought since the window last took it; a part is empty when nothing new came.
struct Results
{
    std::optional<std::vector<agent::WindowEntry>> list;
    std::optional<agent::Image> image;
    uint32_t imageWindow = 0;   // the session 0 window the image shows
    // The controls of controlsWindow, asked for with a new picture of it; controlsProblem says
    // why there are none when the agent could not tell them.
    std::optional<std::vector<agent::Control>> controls;
    uint32_t controlsWindow = 0;
    std::wstring controlsProblem;
    std::optional<std::wstring> status;   // empty: connected; else what failed last
};

// The thread that talks to the session 0 agent for the viewer's window. It owns the connection and
// makes every agent call, so that no call can hold up the window; it posts `message` to the window
// when it has news, and the window takes it with TakeResults.
class AgentWorker
{
public:
    AgentWorker(HWND window, UINT message);
    // Ends the thread after its current call, which is bounded.
    ~AgentWorker();
    AgentWorker(const AgentWorker&) = delete;
    AgentWorker& operator=(const AgentWorker&) = delete;

    // The agent is asked for nothing but input while the window cannot be seen.
    void SetVisible(bool visible);
    // The session 0 window whose picture is kept live (0: none); its picture is asked for at once.
    void Select(uint32_t window);
    void Send(Input input);
    Results TakeResults();

private:
    // What the window's thread and the worker share, under the mutex.
    struct Shared
    {
        std::mutex mutex;
        std::condition_variable wake;

        // Window to worker.
        bool stop = false;
        bool visible = false;
        bool poke = false;   // the selection changed or input came: capture at once
        uint32_t selected = 0;
        std::deque<Input> inputs;

        // Worker to window.
        Results results;
    };

    void Run();

    const HWND window_;
    const UINT message_;
    Shared shared_;
    std::thread thread_;   // last: it starts once the rest is built
};
}
