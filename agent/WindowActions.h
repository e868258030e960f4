#pragma once

// What the agent does to the windows of its desktop. Every call into a window is either a post
// or bounded by WindowTimeoutMs.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace agent::windows
{
struct Listed
{
    HWND window = nullptr;
    DWORD processId = 0;
    std::wstring program;   // bare image name
    std::wstring title;
};

// The top-level visible windows of the desktop, without those of Quillon's own processes (the
// service's, the explorer helper's and the agent's), whatever class or program name another
// window has.
std::vector<Listed> List(HDESK desktop);

// The listed window with the id, or null.
HWND Find(HDESK desktop, uint32_t id);

// The low 32 bits of the handle: all of it that is the same in every process.
uint32_t IdOf(HWND window);

struct Picture
{
    uint32_t width = 0;
    uint32_t height = 0;
    uint64_t hash = 0;
    std::vector<uint32_t> pixels;   // BGRA, rows top-down, alpha 0xFF
};

// FNV-1a 64 of the size and the pixels.
uint64_t HashOf(uint32_t width, uint32_t height, const std::vector<uint32_t>& pixels);

// The window as it draws itself; 0 or the Win32 error (ERROR_TIMEOUT for a window that does
// not answer).
DWORD Capture(HWND window, Picture& picture);

// x, y relative to the window's top-left corner.
DWORD Click(HWND window, int32_t x, int32_t y, bool right, bool twice);
DWORD Type(HWND window, const std::wstring& text);
DWORD PressKey(HWND window, uint16_t virtualKey);
}
