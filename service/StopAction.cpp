#include "StopAction.h"

void StopActionSlot::Fill(std::function<void()> action)
{
    const std::lock_guard<std::mutex> guard(lock_);
    action_ = std::move(action);
    cleared_ = false;
    if (requested_ && action_)
    {
        requested_ = false;
        action_();
    }
}

void StopActionSlot::Clear()
{
    const std::lock_guard<std::mutex> guard(lock_);
    action_ = nullptr;
    requested_ = false;
    cleared_ = true;
}

void StopActionSlot::Request()
{
    const std::lock_guard<std::mutex> guard(lock_);
    if (action_)
        action_();
    else if (!cleared_)
        requested_ = true;
}
