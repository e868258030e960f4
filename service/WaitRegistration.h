#pragma once

#include <windows.h>

#include <functional>

#include "session/ScopedResource.h"

// One one-shot thread-pool wait on a kernel handle it owns, with a callback run on a pool
// thread when the handle is signalled. The object is the callback's context, so it is neither
// copied nor moved.
class WaitRegistration
{
public:
    using Callback = std::function<void()>;

    WaitRegistration() = default;
    ~WaitRegistration();
    WaitRegistration(const WaitRegistration&) = delete;
    WaitRegistration& operator=(const WaitRegistration&) = delete;

    // Cancels any earlier wait, then waits on the handle; a null handle only cancels.
    void Register(ScopedHandle handle, Callback callback);
    // Adopts a plain handle, which the caller must not close afterwards.
    void Register(HANDLE handle, Callback callback);

    // Cancels the wait, blocking while a callback runs. Hands back the handle when the wait
    // never fired, otherwise a null one.
    ScopedHandle Unregister();

    // The body of the pool callback.
    void OnWaitSignaled();

private:
    static void CALLBACK Trampoline(PVOID context, BOOLEAN timedOut);

    // Touched by both threads: only ever read and replaced by interlocked exchange.
    HANDLE volatile waitHandle = nullptr;
    ScopedHandle object = MakeScopedHandle(nullptr);
    Callback callback;
};
