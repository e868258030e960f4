#pragma once

#include <windows.h>
#include <wtsapi32.h>

#include <utility>

// Owner of one operating-system handle: a release function and the handle, in that order.
// A null handle is never released. Releasing keeps GetLastError() as it was, so an owner going
// out of scope between a failed call and the read of its error code cannot change the code.
template <typename Handle, typename Release>
class ScopedResource
{
public:
    ScopedResource(Release release, Handle handle) noexcept : release_(release), handle_(handle) {}

    ScopedResource(const ScopedResource&) = delete;
    ScopedResource& operator=(const ScopedResource&) = delete;

    ScopedResource(ScopedResource&& other) noexcept
        : release_(other.release_), handle_(std::exchange(other.handle_, Handle{}))
    {
    }

    ScopedResource& operator=(ScopedResource&& other) noexcept
    {
        if (this != &other)
        {
            reset();
            release_ = other.release_;
            handle_ = std::exchange(other.handle_, Handle{});
        }
        return *this;
    }

    ~ScopedResource() { reset(); }

    Handle get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != Handle{}; }

    // Gives up ownership without releasing.
    Handle release() noexcept { return std::exchange(handle_, Handle{}); }

    void reset(Handle handle = Handle{}) noexcept
    {
        Handle old = std::exchange(handle_, handle);
        if (old != Handle{})
        {
            const DWORD error = GetLastError();
            release_(old);
            SetLastError(error);
        }
    }

private:
    Release release_;
    Handle handle_;
};

using CloseHandleFunction = BOOL(WINAPI*)(HANDLE);
using CloseServiceHandleFunction = BOOL(WINAPI*)(SC_HANDLE);
using RegCloseKeyFunction = LSTATUS(WINAPI*)(HKEY);
using WTSFreeMemoryFunction = void(WINAPI*)(PVOID);
using FreeSidFunction = PVOID(WINAPI*)(PSID);
using DestroyEnvironmentBlockFunction = BOOL(WINAPI*)(LPVOID);

using ScopedHandle = ScopedResource<HANDLE, CloseHandleFunction>;
using ScopedServiceHandle = ScopedResource<SC_HANDLE, CloseServiceHandleFunction>;
using ScopedKey = ScopedResource<HKEY, RegCloseKeyFunction>;
using ScopedWtsMemory = ScopedResource<PVOID, WTSFreeMemoryFunction>;
using ScopedSid = ScopedResource<PSID, FreeSidFunction>;

inline ScopedHandle MakeScopedHandle(HANDLE handle) noexcept { return ScopedHandle(&CloseHandle, handle); }
inline ScopedServiceHandle MakeScopedServiceHandle(SC_HANDLE handle) noexcept
{
    return ScopedServiceHandle(&CloseServiceHandle, handle);
}
inline ScopedKey MakeScopedKey(HKEY key) noexcept { return ScopedKey(&RegCloseKey, key); }
inline ScopedWtsMemory MakeScopedWtsMemory(PVOID memory) noexcept { return ScopedWtsMemory(&WTSFreeMemory, memory); }
inline ScopedSid MakeScopedSid(PSID sid) noexcept { return ScopedSid(&FreeSid, sid); }
