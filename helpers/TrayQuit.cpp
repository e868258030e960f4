#include "TrayQuit.h"

#include <sddl.h>

#include "session/Names.h"
#include "session/ObjectOwner.h"

namespace
{
// Longer than the look-up interval, so that a copy still looking for the event sees the request.
constexpr ULONGLONG OldRequestGraceMs = 3000;
// A copy whose window does not end on request within this time ends anyway.
constexpr DWORD BackstopMs = 1500;

// System and administrators may set the event; every signed-in account may wait on it and read
// its owner. Owned by our own account, so that copies can tell it from one made by another
// program, which they ignore: such a program could end every copy whenever it liked.
HANDLE CreateQuitAll()
{
    const std::wstring owner = OwnAccountOwner();
    if (owner.empty())
        return nullptr;
    ScopedLocal<PSECURITY_DESCRIPTOR> descriptor = MakeScopedLocal<PSECURITY_DESCRIPTOR>(nullptr);
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            (owner + L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;OW)(A;;0x120000;;;AU)").c_str(), SDDL_REVISION_1,
            descriptor.put(), nullptr))
        return nullptr;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
    return CreateEventW(&attributes, TRUE, FALSE, QuitAllEventName);
}

bool IsSet(HANDLE event)
{
    return WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}
}

TrayQuit::TrayQuit() : done_(MakeScopedHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr)))
{
    Open();
    if (event_ && IsSet(event_.get()))
    {
        oldRequest_ = true;
        oldRequestSeen_ = GetTickCount64();
    }
}

TrayQuit::~TrayQuit()
{
    if (done_)
        SetEvent(done_.get());
}

void TrayQuit::Open()
{
    event_.reset(CreateQuitAll());
    mayReset_ = static_cast<bool>(event_);
    if (!event_)
        event_.reset(OpenEventW(SYNCHRONIZE | READ_CONTROL, FALSE, QuitAllEventName));
    // Looked for again later: the other program's event may go, and ours take its name.
    if (event_ && !HasTrustedOwner(event_.get()))
        event_.reset();
}

void TrayQuit::EndWait(HANDLE wait)
{
    UnregisterWaitEx(wait, INVALID_HANDLE_VALUE);
}

void CALLBACK TrayQuit::OnSignalled(PVOID context, BOOLEAN)
{
    const TrayQuit& self = *static_cast<const TrayQuit*>(context);
    PostMessageW(self.window_, WM_TRAY_QUIT_ALL, 0, 0);
    // A UI thread that no message reaches must not keep this copy alive.
    if (WaitForSingleObject(self.done_.get(), BackstopMs) == WAIT_TIMEOUT)
        ExitProcess(0);
}

TrayQuit::State TrayQuit::Look(HWND window)
{
    if (wait_)
        return State::Listening;
    if (!event_)
    {
        // The event did not exist when this copy started: a request on it is a new one.
        Open();
        if (!event_)
            return State::Looking;
        if (IsSet(event_.get()))
            return State::Quit;
    }
    if (oldRequest_)
    {
        // Without the right to reset it, a copy waits for one that has it.
        if (IsSet(event_.get()) && (!mayReset_ || GetTickCount64() - oldRequestSeen_ < OldRequestGraceMs))
            return State::Looking;
        if (IsSet(event_.get()))
            ResetEvent(event_.get());
        oldRequest_ = false;
    }
    window_ = window;
    if (!RegisterWaitForSingleObject(wait_.put(), event_.get(), &OnSignalled, this, INFINITE, WT_EXECUTEONLYONCE))
    {
        wait_.release();
        return State::Looking;
    }
    return State::Listening;
}

void TrayQuit::OnRequest(HWND window)
{
    if (menuOpen_)
    {
        quitAfterMenu_ = true;
        EndMenu();
    }
    else
    {
        DestroyWindow(window);
    }
}

bool TrayQuit::MenuClosed()
{
    menuOpen_ = false;
    return quitAfterMenu_;
}
