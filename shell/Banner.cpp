#include "Banner.h"

#include <algorithm>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>

#include "../service/AppModule.h"
#include "VersionProbes.h"
#include "resource.h"

namespace
{
// The off-screen surface of one paint, in window client coordinates.
class BackBuffer
{
public:
    BackBuffer(HDC paintDc, const RECT& rect)
        : paintDc_(paintDc), rect_(rect), memoryDc_(CreateCompatibleDC(paintDc)),
          bitmap_(CreateCompatibleBitmap(paintDc, rect.right - rect.left, rect.bottom - rect.top)),
          oldBitmap_(SelectObject(memoryDc_, bitmap_))
    {
        SetViewportOrgEx(memoryDc_, -rect.left, -rect.top, nullptr);
    }

    BackBuffer(const BackBuffer&) = delete;
    BackBuffer& operator=(const BackBuffer&) = delete;

    ~BackBuffer()
    {
        BitBlt(paintDc_, rect_.left, rect_.top, rect_.right - rect_.left, rect_.bottom - rect_.top, memoryDc_,
               rect_.left, rect_.top, SRCCOPY);
        SelectObject(memoryDc_, oldBitmap_);
        DeleteObject(bitmap_);
        DeleteDC(memoryDc_);
    }

    HDC dc() const { return memoryDc_; }

private:
    HDC paintDc_;
    RECT rect_;
    HDC memoryDc_;
    HBITMAP bitmap_;
    HGDIOBJ oldBitmap_;
};

constexpr COLORREF Yellow = RGB(255, 255, 0);
}

UINT BannerTextId(bool windows10OrGreater, bool windowsServer)
{
    if (!windows10OrGreater)
        return IDS_BANNER_PLAIN;
    return windowsServer ? IDS_BANNER_SERVER2016 : IDS_BANNER_WINDOWS10;
}

UINT CurrentBannerTextId()
{
    const bool windows10 = quillon::IsWindows10OrGreater();
    return BannerTextId(windows10, windows10 && quillon::IsWindowsServer());
}

std::wstring LoadResourceString(UINT id)
{
    const wchar_t* text = nullptr;
    const int length = LoadStringW(g_Module.GetModuleInstance(), id, reinterpret_cast<LPWSTR>(&text), 0);
    if (length <= 0 || text == nullptr)
        return std::wstring();
    return std::wstring(text, static_cast<size_t>(length));
}

std::vector<std::wstring> SplitBannerLines(const std::wstring& text)
{
    std::vector<std::wstring> lines;
    boost::split(lines, text, boost::is_any_of(L"\n"));
    return lines;
}

void PaintBanner(HDC paintDc, const RECT& paintRect, const std::wstring& text)
{
    BackBuffer buffer(paintDc, paintRect);
    FillRect(buffer.dc(), &paintRect, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));

    LONG width = 0;
    LONG height = 0;
    for (const std::wstring& line : SplitBannerLines(text))
    {
        SIZE extent{};
        GetTextExtentPoint32W(buffer.dc(), line.c_str(), static_cast<int>(line.size()), &extent);
        width = std::max(width, extent.cx);
        height += extent.cy;
    }

    RECT textRect{0, 0, width, height};
    if (RectVisible(buffer.dc(), &textRect))
    {
        SetTextColor(buffer.dc(), Yellow);
        SetBkMode(buffer.dc(), TRANSPARENT);
        DrawTextW(buffer.dc(), text.c_str(), -1, &textRect, DT_NOCLIP | DT_NOPREFIX);
    }
}
