#pragma once

#include <windows.h>

// The painting of one WM_PAINT: the window's paint DC from construction until the owner goes,
// so that EndPaint cannot be missed on an early return.
class PaintScope
{
public:
    explicit PaintScope(HWND window) noexcept : window_(window), dc_(BeginPaint(window, &paint_)) {}
    ~PaintScope()
    {
        if (dc_ != nullptr)
            EndPaint(window_, &paint_);
    }
    PaintScope(const PaintScope&) = delete;
    PaintScope& operator=(const PaintScope&) = delete;

    HDC dc() const noexcept { return dc_; }
    const RECT& area() const noexcept { return paint_.rcPaint; }

private:
    HWND window_;
    PAINTSTRUCT paint_{};
    HDC dc_;
};

// An object selected into a DC while the owner lives; the object it replaced goes back after.
// A DC must not keep an object selected that its owner is about to delete.
class SelectionScope
{
public:
    // Without a DC nothing is selected, and the scope is empty.
    SelectionScope(HDC dc, HGDIOBJ object) noexcept : dc_(dc), old_(dc != nullptr ? SelectObject(dc, object) : nullptr)
    {
    }
    ~SelectionScope()
    {
        if (old_ != nullptr && old_ != HGDI_ERROR)
            SelectObject(dc_, old_);
    }
    SelectionScope(const SelectionScope&) = delete;
    SelectionScope& operator=(const SelectionScope&) = delete;

    explicit operator bool() const noexcept { return old_ != nullptr && old_ != HGDI_ERROR; }

private:
    HDC dc_;
    HGDIOBJ old_;
};
