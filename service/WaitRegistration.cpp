#include "WaitRegistration.h"

#include <utility>

#include "session/CrashDump.h"

namespace
{
HANDLE ExchangeWaitHandle(HANDLE volatile* target, HANDLE value)
{
    return InterlockedExchangePointer(const_cast<PVOID*>(reinterpret_cast<PVOID volatile*>(target)), value);
}
}

WaitRegistration::~WaitRegistration()
{
    Unregister();
    callback = nullptr;
    object.reset();
}

void WaitRegistration::Register(ScopedHandle handle, Callback newCallback)
{
    Unregister();
    if (!handle)
        return;
    callback = std::move(newCallback);
    // A handle left by a refused registration is released by the move-assignment.
    object = std::move(handle);

    HANDLE wait = nullptr;
    if (RegisterWaitForSingleObject(&wait, object.get(), &Trampoline, this, INFINITE, WT_EXECUTEONLYONCE))
    {
        // The callback may already have run and found no wait handle: it then left the object
        // handle in place, and the next Unregister finds the callback empty and closes it.
        ExchangeWaitHandle(&waitHandle, wait);
    }
}

void WaitRegistration::Register(HANDLE handle, Callback newCallback)
{
    Register(MakeScopedHandle(handle), std::move(newCallback));
}

ScopedHandle WaitRegistration::Unregister()
{
    const HANDLE wait = ExchangeWaitHandle(&waitHandle, nullptr);
    if (wait == nullptr)
        return MakeScopedHandle(nullptr);

    UnregisterWaitEx(wait, INVALID_HANDLE_VALUE);
    // From here no callback runs. An empty callback means it ran while we waited and handed
    // the handle back for us to close.
    if (!callback)
        object.reset();
    return std::move(object);
}

void WaitRegistration::OnWaitSignaled()
{
    // A one-shot wait fires once; Wine's pool has been seen to run it a second time on an
    // object that stays signalled. That second run finds the callback spent and has nothing
    // to do: the first run already ended the wait or handed the handle back.
    if (!callback)
        return;
    callback();
    callback = nullptr;

    ScopedHandle local = std::move(object);
    const HANDLE wait = ExchangeWaitHandle(&waitHandle, nullptr);
    if (wait != nullptr)
    {
        // Inside the callback: a blocking unregister would wait for itself.
        UnregisterWaitEx(wait, nullptr);
        local.reset();
    }
    else
    {
        // An Unregister on another thread owns the end of the wait and closes the handle once
        // this callback has returned.
        object = std::move(local);
    }
}

void CALLBACK WaitRegistration::Trampoline(PVOID context, BOOLEAN)
{
    // Nothing above a pool callback may see an exception: the process ends with a dump.
    try
    {
        static_cast<WaitRegistration*>(context)->OnWaitSignaled();
    }
    catch (...)
    {
        EndProcessWithDump(UncaughtCppExceptionCode);
    }
}
