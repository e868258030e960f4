#include <gtest/gtest.h>

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "BenchClient.h"
#include "shell/Banner.h"
#include "shell/resource.h"

namespace
{
constexpr uint32_t Yellow = 0xFFFF00;
constexpr uint32_t Black = 0x000000;
constexpr uint32_t White = 0xFFFFFF;

const std::wstring Windows10Text = L"SESSION 0\n \nYou are on Windows 10, mouse and keyboard input doesn't work.\n"
                                   L"You will be returned to your logged in interactive session after 30 seconds.";
const std::wstring Server2016Text = L"SESSION 0\n \nYou are on Windows Server 2016, mouse and keyboard input doesn't "
                                    L"work.\nYou will be returned to your logged in interactive session after 30 "
                                    L"seconds.";

TEST(BannerText, ChoiceFollowsTheVersionProbes)
{
    EXPECT_EQ(BannerTextId(false, false), static_cast<UINT>(IDS_BANNER_PLAIN));
    EXPECT_EQ(BannerTextId(false, true), static_cast<UINT>(IDS_BANNER_PLAIN)) << "a server before 10 is plain";
    EXPECT_EQ(BannerTextId(true, false), static_cast<UINT>(IDS_BANNER_WINDOWS10));
    EXPECT_EQ(BannerTextId(true, true), static_cast<UINT>(IDS_BANNER_SERVER2016));
}

TEST(BannerText, LinesSplitAtEveryLineFeed)
{
    EXPECT_EQ(SplitBannerLines(L"SESSION 0"), std::vector<std::wstring>{L"SESSION 0"});
    EXPECT_EQ(SplitBannerLines(L"a\n\nb"), (std::vector<std::wstring>{L"a", L"", L"b"}));
    EXPECT_EQ(SplitBannerLines(Windows10Text).size(), 4u);
    EXPECT_EQ(SplitBannerLines(Windows10Text)[1], L" ");
}

// The string table of the program that ships, read from Quillon.exe itself.
TEST(BannerText, TheProgramCarriesTheThreeTextsInUsEnglish)
{
    const std::wstring path = bench::ProgramDirectory() + L"\\Quillon.exe";
    const HMODULE program = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(program, nullptr) << "cannot load " << bench::Narrow(path);
    auto text = [program](UINT id) {
        const wchar_t* pointer = nullptr;
        const int length = LoadStringW(program, id, reinterpret_cast<LPWSTR>(&pointer), 0);
        return length > 0 ? std::wstring(pointer, length) : std::wstring();
    };
    EXPECT_EQ(text(IDS_BANNER_WINDOWS10), Windows10Text);
    EXPECT_EQ(text(IDS_BANNER_SERVER2016), Server2016Text);
    EXPECT_EQ(text(IDS_BANNER_PLAIN), L"SESSION 0");
    // Ids 112 to 127 share string block 8.
    EXPECT_NE(FindResourceExW(program, RT_STRING, MAKEINTRESOURCEW(IDS_BANNER_WINDOWS10 / 16 + 1),
                              MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)),
              nullptr);
    FreeLibrary(program);
}

// A 32-bit top-down surface filled white, standing in for the window.
class Surface
{
public:
    Surface(LONG width, LONG height) : rect_{0, 0, width, height}
    {
        dc_ = CreateCompatibleDC(nullptr);
        bitmap_ = bench::CreateTopDownBitmap(dc_, width, height, &bits_);
        old_ = SelectObject(dc_, bitmap_);
        FillRect(dc_, &rect_, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    }
    ~Surface()
    {
        SelectObject(dc_, old_);
        DeleteObject(bitmap_);
        DeleteDC(dc_);
    }
    HDC dc() const { return dc_; }
    bench::Pixels Read() const { return bench::CaptureDc(dc_, rect_); }
    bool SameAs(const Surface& other) const
    {
        GdiFlush();
        const size_t bytes = static_cast<size_t>(rect_.right) * rect_.bottom * 4;
        return other.rect_.right == rect_.right && other.rect_.bottom == rect_.bottom &&
               std::memcmp(bits_, other.bits_, bytes) == 0;
    }

private:
    RECT rect_;
    HDC dc_ = nullptr;
    HBITMAP bitmap_ = nullptr;
    HGDIOBJ old_ = nullptr;
    void* bits_ = nullptr;
};

RECT ExpectedTextRect(const std::wstring& text)
{
    return bench::MeasureTextLines(SplitBannerLines(text));
}

bool Inside(const RECT& inner, const RECT& outer)
{
    return inner.left >= outer.left && inner.top >= outer.top && inner.right <= outer.right &&
           inner.bottom <= outer.bottom;
}

TEST(BannerPaint, BlackEverywhereButYellowTextInTheTopLeftRectangle)
{
    Surface surface(800, 300);
    const RECT all{0, 0, 800, 300};
    PaintBanner(surface.dc(), all, Windows10Text);
    const bench::Pixels pixels = surface.Read();

    const RECT textRect = ExpectedTextRect(Windows10Text);
    const RECT yellow = bench::BoundingBoxOf(pixels, Yellow);
    ASSERT_FALSE(IsRectEmpty(&yellow)) << "no yellow text drawn";
    EXPECT_TRUE(Inside(yellow, textRect));
    EXPECT_EQ(bench::CountOf(pixels, White), 0u) << "the whole paint rectangle is filled";
    for (LONG y = 0; y < 300; ++y)
        for (LONG x = 0; x < 800; ++x)
        {
            POINT point{x, y};
            if (!PtInRect(&textRect, point))
                ASSERT_EQ(pixels.at(x, y), Black) << "at " << x << "," << y;
        }
}

TEST(BannerPaint, FourLinesWithTheBlankSecondLineCountingAsALine)
{
    Surface surface(800, 300);
    const RECT all{0, 0, 800, 300};
    PaintBanner(surface.dc(), all, Windows10Text);
    const bench::Pixels pixels = surface.Read();
    const RECT oneLine = ExpectedTextRect(L"SESSION 0");
    const LONG lineHeight = oneLine.bottom;

    auto rowHasYellow = [&](LONG top, LONG bottom) {
        for (LONG y = top; y < bottom; ++y)
            for (LONG x = 0; x < 800; ++x)
                if (pixels.at(x, y) == Yellow)
                    return true;
        return false;
    };
    EXPECT_TRUE(rowHasYellow(0, lineHeight));
    EXPECT_FALSE(rowHasYellow(lineHeight, 2 * lineHeight)) << "the second line is a single space";
    EXPECT_TRUE(rowHasYellow(2 * lineHeight, 3 * lineHeight));
    EXPECT_TRUE(rowHasYellow(3 * lineHeight, 4 * lineHeight));
    EXPECT_FALSE(rowHasYellow(4 * lineHeight, 300));
}

TEST(BannerPaint, APaintMissingTheTextDrawsNoYellowAndTouchesNothingOutside)
{
    Surface surface(800, 300);
    const RECT away{400, 150, 700, 280};
    PaintBanner(surface.dc(), away, Windows10Text);
    const bench::Pixels pixels = surface.Read();
    EXPECT_EQ(bench::CountOf(pixels, Yellow), 0u);
    for (LONG y = 0; y < 300; ++y)
        for (LONG x = 0; x < 800; ++x)
        {
            POINT point{x, y};
            ASSERT_EQ(pixels.at(x, y), PtInRect(&away, point) ? Black : White) << "at " << x << "," << y;
        }
}

TEST(BannerPaint, APartialPaintDrawsTextOnlyInsideItsRectangle)
{
    Surface surface(800, 300);
    const RECT part{0, 0, 40, 300};
    PaintBanner(surface.dc(), part, Windows10Text);
    const bench::Pixels pixels = surface.Read();
    const RECT yellow = bench::BoundingBoxOf(pixels, Yellow);
    ASSERT_FALSE(IsRectEmpty(&yellow));
    EXPECT_TRUE(Inside(yellow, part));
    EXPECT_EQ(pixels.at(100, 5), White) << "outside the paint rectangle nothing changes";
}

TEST(BannerPaint, AnAmpersandIsDrawnAsItStands)
{
    Surface withAmpersand(400, 100);
    Surface without(400, 100);
    const RECT all{0, 0, 400, 100};
    PaintBanner(withAmpersand.dc(), all, L"A&&&B");
    PaintBanner(without.dc(), all, L"AB");
    const RECT wide = bench::BoundingBoxOf(withAmpersand.Read(), Yellow);
    const RECT narrow = bench::BoundingBoxOf(without.Read(), Yellow);
    EXPECT_GT(wide.right - wide.left, narrow.right - narrow.left + ExpectedTextRect(L"&&").right / 2);
}

// The banner drawn straight onto the surface in one piece, clipped to the paint rectangle: what
// a paint composed off screen must come to.
void DrawInOnePiece(HDC dc, const RECT& paint, const std::wstring& text)
{
    const int saved = SaveDC(dc);
    IntersectClipRect(dc, paint.left, paint.top, paint.right, paint.bottom);
    FillRect(dc, &paint, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    RECT textRect = ExpectedTextRect(text);
    SetTextColor(dc, RGB(255, 255, 0));
    SetBkMode(dc, TRANSPARENT);
    DrawTextW(dc, text.c_str(), -1, &textRect, DT_NOCLIP | DT_NOPREFIX);
    RestoreDC(dc, saved);
}

struct Memory
{
    SIZE_T resident = 0;
    SIZE_T peak = 0;
};

// Under Wine the process's own figures are the Linux ones (VmRSS, VmHWM).
Memory MemoryNow()
{
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    Memory memory;
    if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters))
    {
        memory.resident = counters.WorkingSetSize;
        memory.peak = counters.PeakWorkingSetSize;
    }
    return memory;
}

TEST(BannerPaint, LargeScreensArePaintedAsInOnePieceWithinAFewMegabytes)
{
    struct Case
    {
        LONG width, height;
        RECT paint;
    };
    for (const Case& c : {Case{800, 300, {0, 0, 800, 300}}, Case{3840, 2160, {3, 7, 3840, 2100}},
                          Case{7680, 4320, {0, 0, 7680, 4320}}})
    {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        Surface painted(c.width, c.height);
        Surface expected(c.width, c.height);
        DrawInOnePiece(expected.dc(), c.paint, Windows10Text);
        GdiFlush();

        // Both surfaces are resident now, and larger than anything before: the peak can only
        // move if the paint itself needs more.
        const Memory before = MemoryNow();
        PaintBanner(painted.dc(), c.paint, Windows10Text);
        const Memory after = MemoryNow();
        ASSERT_GT(before.resident, 0u);
        EXPECT_LT(after.peak - std::max(before.peak, before.resident), SIZE_T{8} << 20)
            << "bytes of peak growth during the paint";
        EXPECT_TRUE(painted.SameAs(expected));
    }
}
}
