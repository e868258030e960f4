#include "Banner.h"

#include <algorithm>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>

#include "VersionProbes.h"
#include "resource.h"
#include "service/AppModule.h"
#include "session/GdiScope.h"
#include "session/ScopedResource.h"

namespace
{
// A full repaint is composed off screen in bands no bigger than this, so that its memory does
// not grow with the screen: an 8K screen in one piece would take 130 MB, which a 32-bit process
// may not have, and then nothing would be painted. 4 MB at 32 bits a pixel.
constexpr LONG BandPixels = 1024 * 1024;
constexpr LONG MaxBandWidth = 8192;

// The off-screen surface that the bands of one paint are composed in, one after the other.
class BandBuffer
{
public:
    BandBuffer(HDC paintDc, LONG width, LONG height)
        : memoryDc_(MakeScopedDc(CreateCompatibleDC(paintDc))),
          bitmap_(MakeScopedGdiObject(CreateCompatibleBitmap(paintDc, width, height))),
          selection_(memoryDc_ && bitmap_ ? memoryDc_.get() : nullptr, bitmap_.get())
    {
    }

    explicit operator bool() const { return memoryDc_ && bitmap_ && selection_; }
    HDC dc() const { return memoryDc_.get(); }

private:
    // Declared in the order of their making: the bitmap leaves the DC before either goes.
    ScopedDc memoryDc_;
    ScopedGdiObject bitmap_;
    SelectionScope selection_;
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

namespace
{
// The text's rectangle at the top-left corner of the client area, as the DC measures it.
RECT TextRect(HDC dc, const std::wstring& text)
{
    LONG width = 0;
    LONG height = 0;
    for (const std::wstring& line : SplitBannerLines(text))
    {
        SIZE extent{};
        GetTextExtentPoint32W(dc, line.c_str(), static_cast<int>(line.size()), &extent);
        width = std::max(width, extent.cx);
        height += extent.cy;
    }
    return RECT{0, 0, width, height};
}

// Black over the area, then the text where it meets the area; in client coordinates.
void DrawBanner(HDC dc, const RECT& area, const RECT& textRect, const std::wstring& text)
{
    FillRect(dc, &area, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    RECT shown{};
    if (!IntersectRect(&shown, &textRect, &area) || !RectVisible(dc, &textRect))
        return;
    RECT drawn = textRect;
    SetTextColor(dc, Yellow);
    SetBkMode(dc, TRANSPARENT);
    DrawTextW(dc, text.c_str(), -1, &drawn, DT_NOCLIP | DT_NOPREFIX);
}
}

void PaintBanner(HDC paintDc, const RECT& paintRect, const std::wstring& text)
{
    const LONG width = paintRect.right - paintRect.left;
    const LONG height = paintRect.bottom - paintRect.top;
    if (width <= 0 || height <= 0)
        return;
    const LONG bandWidth = std::min(width, MaxBandWidth);
    const LONG bandHeight = std::max(1L, std::min(height, BandPixels / bandWidth));

    BandBuffer buffer(paintDc, bandWidth, bandHeight);
    if (!buffer)
    {
        // Not even a band to be had: a banner that may flicker beats a window left unpainted.
        DrawBanner(paintDc, paintRect, TextRect(paintDc, text), text);
        return;
    }

    // Each band is composed whole, then copied once: every pixel reaches the screen once.
    const RECT textRect = TextRect(buffer.dc(), text);
    for (LONG top = paintRect.top; top < paintRect.bottom; top += bandHeight)
    {
        for (LONG left = paintRect.left; left < paintRect.right; left += bandWidth)
        {
            const RECT band{left, top, std::min(left + bandWidth, paintRect.right),
                            std::min(top + bandHeight, paintRect.bottom)};
            SetViewportOrgEx(buffer.dc(), -left, -top, nullptr);
            DrawBanner(buffer.dc(), band, textRect, text);
            BitBlt(paintDc, band.left, band.top, band.right - band.left, band.bottom - band.top, buffer.dc(), band.left,
                   band.top, SRCCOPY);
        }
    }
}
