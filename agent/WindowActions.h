#pragma once

// What the agent does to the windows of session 0, on every desktop of every window station it
// can open. Every call into a window is either a post or bounded by WindowTimeoutMs; a window of
// another desktop than the agent's own is acted on from a thread attached to its desktop, since
// on Windows messages reach a window only from a thread on its desktop.

#include <windows.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Protocol.h"

namespace agent::windows
{
// An opened desktop of a window station, its station and its place, "station\desktop". The
// agent's own desktop and station are not closed with it.
struct Desktop
{
    Desktop(HWINSTA station, HDESK handle, std::wstring place, bool own)
        : station(station), handle(handle), place(std::move(place)), own(own)
    {
    }
    ~Desktop();
    Desktop(const Desktop&) = delete;
    Desktop& operator=(const Desktop&) = delete;

    const HWINSTA station;
    const HDESK handle;
    const std::wstring place;
    const bool own;
};

// Runs the action on the calling thread, which must own no window, attached to the desktop
// for the action's time; the error of the attachment when it cannot be.
DWORD RunAttached(const Desktop& desktop, const std::function<DWORD()>& action);

struct Listed
{
    HWND window = nullptr;
    DWORD processId = 0;
    std::wstring program;   // bare image name
    std::wstring title;
    // Where the window lives; held while an action on it runs, whatever the listing drops.
    std::shared_ptr<const Desktop> desktop;
};

// The desktops of every window station of the agent's session, the agent's own first, and the
// programs of their windows, known by each window's handle while the window lives. Stations
// come and go: a place whose station has gone is dropped, and one whose desktop showed no
// window for a while is closed (the agent's handle alone must not keep a station alive) and
// opened again should it still be there.
class Places
{
public:
    // own: the desktop of the agent's own thread.
    explicit Places(HDESK own);
    ~Places();
    Places(const Places&) = delete;
    Places& operator=(const Places&) = delete;

    // The top-level visible windows of every place, without those of Quillon's own processes
    // (the service's, the explorer helper's and the agent's), whatever class or program name
    // another window has.
    std::vector<Listed> List();

    // The listed window with the id, in any place; false when there is none.
    bool Find(uint32_t id, Listed& found);

private:
    struct Known
    {
        DWORD processId = 0;
        bool own = false;
        std::wstring program;
    };
    struct Place
    {
        std::shared_ptr<const Desktop> desktop;
        ULONGLONG lastWindow = 0;   // when the desktop last showed a window
    };

    void OpenNewStations();

    std::mutex mutex_;
    std::shared_ptr<const Desktop> own_;
    std::vector<Place> places_;   // of other desktops than the own one, in the stations' order
    std::map<HWND, Known> known_;
    ULONGLONG lastScan_ = 0;
    class OwnProcesses;
    std::unique_ptr<OwnProcesses> ownProcesses_;
};

// The low 32 bits of the handle: all of it that is the same in every process.
uint32_t IdOf(HWND window);

// Runs the action on a fresh thread attached to the desktop, waiting for it up to timeoutMs
// (ERROR_TIMEOUT then; the thread is left to end on its own). On the agent's own desktop the
// action runs on the calling thread.
DWORD OnDesktop(const std::shared_ptr<const Desktop>& desktop, DWORD timeoutMs, std::function<DWORD()> action);

struct Picture
{
    uint32_t width = 0;
    uint32_t height = 0;
    uint64_t hash = 0;
    bool drawn = false;             // drawn from the window's structure, not by the window
    std::vector<uint32_t> pixels;   // BGRA, rows top-down, alpha 0xFF
};

// FNV-1a 64 of the size and the pixels.
uint64_t HashOf(uint32_t width, uint32_t height, const std::vector<uint32_t>& pixels);

// The window as it draws itself; where the platform does not draw it, as drawn from its
// structure (Picture::drawn). 0 or the Win32 error (ERROR_TIMEOUT for a window that does not
// answer). Call it on a thread of the window's desktop.
DWORD Capture(HWND window, Picture& picture);

// The window's controls, every child window at any depth in the window's order (a dialog's
// tab order), at most MaxControls. Call it on a thread of the window's desktop.
DWORD Describe(HWND window, std::vector<Control>& controls);

// Clicks the control, which must be an enabled visible button (not a group box) of the window:
// ERROR_INVALID_WINDOW_HANDLE when it is no control of the window, ERROR_INVALID_PARAMETER when
// it is not such a button.
DWORD Press(HWND window, uint32_t control);

// x, y relative to the window's top-left corner.
DWORD Click(HWND window, int32_t x, int32_t y, bool right, bool twice);
DWORD Type(HWND window, const std::wstring& text);
DWORD PressKey(HWND window, uint16_t virtualKey);
DWORD Close(HWND window);
}
