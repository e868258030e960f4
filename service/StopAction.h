#pragma once

#include <functional>
#include <mutex>

// The slot through which the service control handler (main thread) asks the UI thread to stop.
// Filled by the UI thread once the shell window is shown, cleared before the window object goes
// away. A stop that arrives before the slot is filled is remembered and carried out as soon as
// it is; one that arrives after it was cleared only reports.
class StopActionSlot
{
public:
    void Fill(std::function<void()> action);
    void Clear();
    void Request();

private:
    std::mutex lock_;
    std::function<void()> action_;
    bool requested_ = false;
    bool cleared_ = false;
};
