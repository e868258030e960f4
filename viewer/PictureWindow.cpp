#include "PictureWindow.h"

#include <windowsx.h>

#include <algorithm>

#include "session/GdiScope.h"

namespace viewer
{
namespace
{
constexpr const wchar_t* PictureClass = L"QuillonViewerImage";
constexpr int LineStep = 20;
constexpr const wchar_t* DrawnNote =
    L"This picture was drawn from the window's structure (its controls' places, texts and states): "
    L"the platform did not draw the window, which may look different.";

bool IsPassedOnKey(WPARAM key)
{
    switch (key)
    {
    case VK_RETURN:
    case VK_ESCAPE:
    case VK_TAB:
    case VK_BACK:
    case VK_UP:
    case VK_DOWN:
    case VK_LEFT:
    case VK_RIGHT:
    case VK_DELETE:
    case VK_HOME:
    case VK_END:
    case VK_PRIOR:
    case VK_NEXT:
        return true;
    default:
        return false;
    }
}
}

const WNDCLASSEXW& PictureWindow::GetWndClassInfo()
{
    static const WNDCLASSEXW wc = [] {
        WNDCLASSEXW info{};
        info.cbSize = sizeof info;
        info.style = CS_DBLCLKS;
        info.lpfnWndProc = &CWindowImplBaseT::WindowProc;
        info.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        info.lpszClassName = PictureClass;
        return info;
    }();
    return wc;
}

HWND PictureWindow::Create(CWindowClasses& classes, HWND parent, UINT id, HGDIOBJ font, AgentWorker& worker)
{
    worker_ = &worker;
    font_ = font;
    return CWindowImpl::Create(classes, parent, RECT{}, nullptr,
                               WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_HSCROLL | WS_VSCROLL, WS_EX_CLIENTEDGE,
                               reinterpret_cast<HMENU>(static_cast<UINT_PTR>(id)));
}

void PictureWindow::Show(uint32_t window)
{
    window_ = window;
    picture_ = agent::Image();
    scrollX_ = scrollY_ = 0;
    UpdateScrollBars();
    InvalidateRect(m_hWnd, nullptr, TRUE);
}

void PictureWindow::SetPicture(agent::Image picture)
{
    const bool resized = picture.width != picture_.width || picture.height != picture_.height;
    picture_ = std::move(picture);
    if (resized)
        UpdateScrollBars();
    InvalidateRect(m_hWnd, nullptr, resized);
}

void PictureWindow::SetPlaceholder(std::wstring text)
{
    placeholder_ = std::move(text);
    if (picture_.pixels.empty())
        InvalidateRect(m_hWnd, nullptr, TRUE);
}

void PictureWindow::UpdateScrollBars()
{
    RECT client;
    GetClientRect(m_hWnd, &client);
    SCROLLINFO info{};
    info.cbSize = sizeof info;
    info.fMask = SIF_RANGE | SIF_PAGE | SIF_POS | SIF_DISABLENOSCROLL;
    const auto set = [&](int bar, int size, LONG page, int& position) {
        info.nMax = size - 1;
        info.nPage = page;
        position = std::max(0, std::min(position, size - static_cast<int>(page)));
        info.nPos = position;
        SetScrollInfo(m_hWnd, bar, &info, TRUE);
    };
    set(SB_HORZ, static_cast<int>(picture_.width), client.right, scrollX_);
    set(SB_VERT, static_cast<int>(picture_.height), client.bottom, scrollY_);
}

void PictureWindow::Scroll(int bar, int request, int thumb)
{
    SCROLLINFO info{};
    info.cbSize = sizeof info;
    info.fMask = SIF_ALL;
    GetScrollInfo(m_hWnd, bar, &info);
    int position = info.nPos;
    switch (request)
    {
    case SB_LINEUP: position -= LineStep; break;
    case SB_LINEDOWN: position += LineStep; break;
    case SB_PAGEUP: position -= static_cast<int>(info.nPage); break;
    case SB_PAGEDOWN: position += static_cast<int>(info.nPage); break;
    case SB_THUMBTRACK:
    case SB_THUMBPOSITION: position = thumb; break;
    default: return;
    }
    position = std::max(0, std::min(position, info.nMax - static_cast<int>(info.nPage) + 1));
    (bar == SB_HORZ ? scrollX_ : scrollY_) = position;
    info.fMask = SIF_POS;
    info.nPos = position;
    SetScrollInfo(m_hWnd, bar, &info, TRUE);
    InvalidateRect(m_hWnd, nullptr, FALSE);
}

void PictureWindow::OnPaint()
{
    const PaintScope paint(m_hWnd);
    const HDC dc = paint.dc();
    RECT client;
    GetClientRect(m_hWnd, &client);
    const HBRUSH background = GetSysColorBrush(COLOR_APPWORKSPACE);
    if (picture_.pixels.empty())
    {
        FillRect(dc, &client, background);
        if (!placeholder_.empty())
        {
            SetBkMode(dc, TRANSPARENT);
            SetTextColor(dc, GetSysColor(COLOR_WINDOW));
            const SelectionScope font(dc, font_);
            RECT box = client;
            InflateRect(&box, -16, -16);
            DrawTextW(dc, placeholder_.c_str(), static_cast<int>(placeholder_.size()), &box,
                      DT_WORDBREAK | DT_NOPREFIX);
        }
        return;
    }
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = static_cast<LONG>(picture_.width);
    info.bmiHeader.biHeight = -static_cast<LONG>(picture_.height);   // rows top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    SetDIBitsToDevice(dc, -scrollX_, -scrollY_, picture_.width, picture_.height, 0, 0, 0, picture_.height,
                      picture_.pixels.data(), &info, DIB_RGB_COLORS);
    // The area right of and below the picture.
    const int right = static_cast<int>(picture_.width) - scrollX_;
    const int bottom = static_cast<int>(picture_.height) - scrollY_;
    RECT beside{right, 0, client.right, client.bottom};
    if (beside.left < beside.right)
        FillRect(dc, &beside, background);
    RECT below{0, bottom, std::min<LONG>(right, client.right), client.bottom};
    if (below.top < below.bottom)
        FillRect(dc, &below, background);
    // A drawn picture must not pass for the window: it says so under itself.
    if (picture_.drawn)
    {
        RECT note{4, std::max(bottom, 0) + 4, client.right - 4, client.bottom};
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, GetSysColor(COLOR_WINDOW));
        const SelectionScope font(dc, font_);
        DrawTextW(dc, DrawnNote, -1, &note, DT_WORDBREAK | DT_NOPREFIX);
    }
}

void PictureWindow::OnClick(LPARAM at, bool right, bool twice)
{
    SetFocus(m_hWnd);
    if (picture_.pixels.empty())
        return;
    const int x = GET_X_LPARAM(at) + scrollX_;
    const int y = GET_Y_LPARAM(at) + scrollY_;
    if (x >= static_cast<int>(picture_.width) || y >= static_cast<int>(picture_.height))
        return;
    Input input = Input::To(Input::Click, window_);
    input.x = x;
    input.y = y;
    input.right = right;
    input.twice = twice;
    worker_->Send(std::move(input));
}

bool PictureWindow::OnKey(WPARAM key)
{
    if (!IsPassedOnKey(key))
        return false;
    Input input = Input::To(Input::Key, window_);
    input.key = static_cast<uint16_t>(key);
    worker_->Send(std::move(input));
    return true;
}

BOOL PictureWindow::ProcessWindowMessage(HWND, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult, DWORD)
{
    lResult = 0;
    switch (uMsg)
    {
    case WM_PAINT:
        OnPaint();
        return TRUE;
    case WM_ERASEBKGND:
        lResult = 1;
        return TRUE;
    case WM_SIZE:
        UpdateScrollBars();
        return TRUE;
    case WM_HSCROLL:
    case WM_VSCROLL:
        Scroll(uMsg == WM_HSCROLL ? SB_HORZ : SB_VERT, LOWORD(wParam), HIWORD(wParam));
        return TRUE;
    case WM_MOUSEWHEEL:
        Scroll(SB_VERT, GET_WHEEL_DELTA_WPARAM(wParam) > 0 ? SB_LINEUP : SB_LINEDOWN, 0);
        return TRUE;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
    case WM_RBUTTONDOWN:
    case WM_RBUTTONDBLCLK:
        OnClick(lParam, uMsg == WM_RBUTTONDOWN || uMsg == WM_RBUTTONDBLCLK,
                uMsg == WM_LBUTTONDBLCLK || uMsg == WM_RBUTTONDBLCLK);
        return TRUE;
    case WM_GETDLGCODE:
        lResult = DLGC_WANTALLKEYS | DLGC_WANTARROWS | DLGC_WANTCHARS | DLGC_WANTTAB;
        return TRUE;
    case WM_KEYDOWN:
        return OnKey(wParam);
    case WM_CHAR:
        // Control characters arrive as the keys above.
        if (wParam >= L' ' && wParam != 0x7F)
        {
            Input input = Input::To(Input::Text, window_);
            input.text.assign(1, static_cast<wchar_t>(wParam));
            worker_->Send(std::move(input));
        }
        return TRUE;
    default:
        return FALSE;
    }
}
}
