#pragma once

#include <windows.h>
#include <wtsapi32.h>

#include <utility>

// What an owner holds when it holds nothing. Most handles are empty when null; the handles of
// files, pipes and snapshots are INVALID_HANDLE_VALUE on failure, and an owner of one of those
// takes both values for empty (INVALID_HANDLE_VALUE is also the current process's pseudo-handle,
// which must never be closed).
struct NullIsEmpty
{
    template <typename Handle>
    static Handle Empty() noexcept
    {
        return Handle{};
    }
    template <typename Handle>
    static bool IsEmpty(Handle handle) noexcept
    {
        return handle == Handle{};
    }
};

struct InvalidIsEmpty
{
    template <typename Handle>
    static Handle Empty() noexcept
    {
        return INVALID_HANDLE_VALUE;
    }
    template <typename Handle>
    static bool IsEmpty(Handle handle) noexcept
    {
        return handle == INVALID_HANDLE_VALUE || handle == nullptr;
    }
};

// Owner of one operating-system handle: a release function and the handle, in that order.
// An empty handle is never released. Releasing keeps GetLastError() as it was, so an owner going
// out of scope between a failed call and the read of its error code cannot change the code.
template <typename Handle, typename Release, typename Policy = NullIsEmpty>
class ScopedResource
{
public:
    ScopedResource(Release release, Handle handle) noexcept : release_(release), handle_(handle) {}

    ScopedResource(const ScopedResource&) = delete;
    ScopedResource& operator=(const ScopedResource&) = delete;

    ScopedResource(ScopedResource&& other) noexcept
        : release_(other.release_), handle_(std::exchange(other.handle_, Empty()))
    {
    }

    ScopedResource& operator=(ScopedResource&& other) noexcept
    {
        if (this != &other)
        {
            reset();
            release_ = other.release_;
            handle_ = std::exchange(other.handle_, Empty());
        }
        return *this;
    }

    ~ScopedResource() { reset(); }

    Handle get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return !Policy::IsEmpty(handle_); }

    // Gives up ownership without releasing.
    Handle release() noexcept { return std::exchange(handle_, Empty()); }

    void reset(Handle handle = Empty()) noexcept
    {
        Handle old = std::exchange(handle_, handle);
        if (!Policy::IsEmpty(old))
        {
            const DWORD error = GetLastError();
            release_(old);
            SetLastError(error);
        }
    }

    // Releases what is held and hands out the place for a call to store its new handle in.
    Handle* put() noexcept
    {
        reset();
        return &handle_;
    }

private:
    static Handle Empty() noexcept { return Policy::template Empty<Handle>(); }

    Release release_;
    Handle handle_;
};

using CloseHandleFunction = BOOL(WINAPI*)(HANDLE);
using CloseServiceHandleFunction = BOOL(WINAPI*)(SC_HANDLE);
using RegCloseKeyFunction = LSTATUS(WINAPI*)(HKEY);
using WTSFreeMemoryFunction = void(WINAPI*)(PVOID);
using FreeSidFunction = PVOID(WINAPI*)(PSID);
using DestroyEnvironmentBlockFunction = BOOL(WINAPI*)(LPVOID);
using LocalFreeFunction = HLOCAL(WINAPI*)(HLOCAL);
using DeleteObjectFunction = BOOL(WINAPI*)(HGDIOBJ);
using DeleteDcFunction = BOOL(WINAPI*)(HDC);

using ScopedHandle = ScopedResource<HANDLE, CloseHandleFunction>;
// Files, pipes and snapshots: INVALID_HANDLE_VALUE when the call failed.
using ScopedFile = ScopedResource<HANDLE, CloseHandleFunction, InvalidIsEmpty>;
using ScopedServiceHandle = ScopedResource<SC_HANDLE, CloseServiceHandleFunction>;
using ScopedKey = ScopedResource<HKEY, RegCloseKeyFunction>;
using ScopedWtsMemory = ScopedResource<PVOID, WTSFreeMemoryFunction>;
using ScopedSid = ScopedResource<PSID, FreeSidFunction>;
using ScopedEnvironment = ScopedResource<LPVOID, DestroyEnvironmentBlockFunction>;
// Memory the system allocated with LocalAlloc for the caller (argument lists, security descriptors).
template <typename Pointer>
using ScopedLocal = ScopedResource<Pointer, LocalFreeFunction>;
using ScopedGdiObject = ScopedResource<HGDIOBJ, DeleteObjectFunction>;
// A device context of one's own (CreateCompatibleDC, CreateDC).
using ScopedDc = ScopedResource<HDC, DeleteDcFunction>;

// A window's or the screen's device context (GetDC, GetWindowDC), given back to its window.
class ScopedWindowDc
{
public:
    ScopedWindowDc(HWND window, HDC dc) noexcept : window_(window), dc_(dc) {}
    ScopedWindowDc(const ScopedWindowDc&) = delete;
    ScopedWindowDc& operator=(const ScopedWindowDc&) = delete;
    ~ScopedWindowDc()
    {
        if (dc_ != nullptr)
            ReleaseDC(window_, dc_);
    }

    HDC get() const noexcept { return dc_; }
    explicit operator bool() const noexcept { return dc_ != nullptr; }

private:
    HWND window_;
    HDC dc_;
};

inline ScopedHandle MakeScopedHandle(HANDLE handle) noexcept { return ScopedHandle(&CloseHandle, handle); }
inline ScopedFile MakeScopedFile(HANDLE handle) noexcept { return ScopedFile(&CloseHandle, handle); }
inline ScopedServiceHandle MakeScopedServiceHandle(SC_HANDLE handle) noexcept
{
    return ScopedServiceHandle(&CloseServiceHandle, handle);
}
inline ScopedKey MakeScopedKey(HKEY key) noexcept { return ScopedKey(&RegCloseKey, key); }
inline ScopedWtsMemory MakeScopedWtsMemory(PVOID memory) noexcept { return ScopedWtsMemory(&WTSFreeMemory, memory); }
inline ScopedGdiObject MakeScopedGdiObject(HGDIOBJ object) noexcept
{
    return ScopedGdiObject(&DeleteObject, object);
}
inline ScopedDc MakeScopedDc(HDC dc) noexcept { return ScopedDc(&DeleteDC, dc); }
inline ScopedSid MakeScopedSid(PSID sid) noexcept { return ScopedSid(&FreeSid, sid); }
template <typename Pointer>
ScopedLocal<Pointer> MakeScopedLocal(Pointer memory) noexcept
{
    return ScopedLocal<Pointer>(&LocalFree, memory);
}
