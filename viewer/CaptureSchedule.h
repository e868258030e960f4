#pragma once

#include <chrono>

namespace viewer
{
// When a watcher of a window's picture asks the agent for it next. Every ask makes the agent
// capture and hash the whole window, so a picture that has stayed the same for about a second is
// asked for twice a second only; a change, or Restart (a new selection, the user's input), brings
// the fast rate back at once. The fast rate is a little under 100 ms and fixed, so that with a
// timer's slack a window that changes all the time still gives at least 10 frames a second.
class CaptureSchedule
{
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds FastPeriod{90};
    static constexpr std::chrono::milliseconds IdlePeriod{500};
    static constexpr int UnchangedBeforeIdle = 11;

    Clock::time_point Due() const { return next_; }

    void Restart()
    {
        next_ = Clock::now();
        unchanged_ = 0;
    }

    void DelayUntil(Clock::time_point when) { next_ = when; }

    // After an ask that began at `started`; `changed` when it brought a new picture.
    void Asked(Clock::time_point started, bool changed)
    {
        unchanged_ = changed ? 0 : unchanged_ + 1;
        const std::chrono::milliseconds period = unchanged_ < UnchangedBeforeIdle ? FastPeriod : IdlePeriod;
        // At a fixed rate, unless an ask ran so late that catching up would ask twice at once.
        next_ = (started - next_ > period ? started : next_) + period;
    }

private:
    Clock::time_point next_ = Clock::now();
    int unchanged_ = 0;
};
}
