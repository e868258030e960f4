#include "WindowActions.h"

#include <algorithm>
#include <cwchar>

#include "Protocol.h"
#include "session/GdiScope.h"
#include "session/ScopedResource.h"

namespace agent::windows
{
namespace
{
void Post(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    PostMessageW(window, message, wParam, lParam);
}

// The control that takes keyboard input in the window: its thread's focus when that lies in
// the window, else the window itself.
HWND FocusIn(HWND window)
{
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    const DWORD thread = GetWindowThreadProcessId(window, nullptr);
    if (thread != 0 && GetGUIThreadInfo(thread, &info) && info.hwndFocus != nullptr &&
        (info.hwndFocus == window || IsChild(window, info.hwndFocus)))
        return info.hwndFocus;
    return window;
}

// A window that does not take messages for WindowTimeoutMs is not asked to draw: a drawing
// call has no time limit of its own.
bool Answers(HWND window)
{
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG | SMTO_BLOCK, WindowTimeoutMs, &result) != 0;
}

// No drawing call writes this (GDI leaves the alpha byte 0, the compositor makes it 0xFF).
constexpr uint32_t Untouched = 0x01FE01FEu;

bool ClassIs(HWND window, const wchar_t* name)
{
    wchar_t className[64] = {};
    return GetClassNameW(window, className, ARRAYSIZE(className)) > 0 &&
           CompareStringOrdinal(className, -1, name, -1, TRUE) == CSTR_EQUAL;
}

LONG StyleOf(HWND window)
{
    return GetWindowLongW(window, GWL_STYLE);
}

bool IsCheckable(LONG buttonType)
{
    switch (buttonType)
    {
    case BS_CHECKBOX: case BS_AUTOCHECKBOX: case BS_3STATE: case BS_AUTO3STATE: case BS_RADIOBUTTON:
    case BS_AUTORADIOBUTTON:
        return true;
    default:
        return false;
    }
}

// Shown when it and every parent up to the window have the style bit (IsWindowVisible asks the
// window's station as well, which Wine reads as hidden where there is no display).
bool VisibleUpTo(HWND control, HWND window)
{
    for (HWND at = control; at != nullptr; at = GetParent(at))
    {
        if ((StyleOf(at) & WS_VISIBLE) == 0)
            return false;
        if (at == window)
            break;
    }
    return true;
}

struct Children
{
    std::vector<HWND> windows;
};

BOOL CALLBACK AddChild(HWND child, LPARAM parameter)
{
    auto& children = reinterpret_cast<Children*>(parameter)->windows;
    children.push_back(child);
    return children.size() < MaxControls;
}

// Every child window at any depth, in the window's order.
std::vector<HWND> ChildrenOf(HWND window)
{
    Children children;
    EnumChildWindows(window, AddChild, reinterpret_cast<LPARAM>(&children));
    return children.windows;
}

// Asked of the control while the time lasts, else read from the window manager, which a hung
// control cannot hold up (a control drawing its own text has none there).
std::wstring TextOf(HWND control, ULONGLONG deadline)
{
    std::vector<wchar_t> buffer(MaxControlTextUnits + 1, L'\0');
    const ULONGLONG now = GetTickCount64();
    DWORD_PTR length = 0;
    if (now < deadline &&
        SendMessageTimeoutW(control, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()),
                            SMTO_ABORTIFHUNG | SMTO_BLOCK, static_cast<UINT>(deadline - now), &length) != 0)
    {
        buffer.back() = L'\0';
        return std::wstring(buffer.data(), std::min<size_t>(length, std::wcslen(buffer.data())));
    }
    const int read = InternalGetWindowText(control, buffer.data(), static_cast<int>(buffer.size()));
    return std::wstring(buffer.data(), read > 0 ? std::min<size_t>(read, MaxControlTextUnits) : 0);
}

// The answer of a message asked while the time lasts; fallback when it did not come.
LRESULT AskBounded(HWND window, UINT message, ULONGLONG deadline, LRESULT fallback)
{
    const ULONGLONG now = GetTickCount64();
    DWORD_PTR result = 0;
    if (now >= deadline || SendMessageTimeoutW(window, message, 0, 0, SMTO_ABORTIFHUNG | SMTO_BLOCK,
                                               static_cast<UINT>(deadline - now), &result) == 0)
        return fallback;
    return static_cast<LRESULT>(result);
}

// The picture of a window that the platform does not draw (a station without display), from
// what Describe tells of it: frame and title, each control by its kind and state, and a strip
// that says the picture is drawn.
void DrawStructure(HWND window, const RECT& rect, const std::vector<Control>& controls, HDC dc, LONG width,
                   LONG height)
{
    RECT whole{0, 0, width, height};
    FillRect(dc, &whole, GetSysColorBrush(COLOR_BTNFACE));
    DrawEdge(dc, &whole, EDGE_RAISED, BF_RECT);
    const HGDIOBJ font = SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
    SetBkMode(dc, TRANSPARENT);

    POINT client{0, 0};
    ClientToScreen(window, &client);
    const LONG clientTop = client.y - rect.top;
    if (clientTop > 8)
    {
        RECT title{3, 3, width - 3, clientTop - 1};
        const ScopedGdiObject bar = MakeScopedGdiObject(CreateSolidBrush(RGB(0, 84, 153)));
        FillRect(dc, &title, static_cast<HBRUSH>(bar.get()));
        wchar_t text[256] = {};
        const int length = InternalGetWindowText(window, text, ARRAYSIZE(text));
        title.left += 6;
        SetTextColor(dc, RGB(255, 255, 255));
        DrawTextW(dc, text, length, &title, DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_END_ELLIPSIS);
    }

    for (const Control& control : controls)
    {
        if ((control.state & ControlVisible) == 0)
            continue;
        const HWND handle = reinterpret_cast<HWND>(static_cast<LONG_PTR>(static_cast<int32_t>(control.control)));
        RECT box{control.left, control.top, control.right, control.bottom};
        SetTextColor(dc, GetSysColor((control.state & ControlEnabled) != 0 ? COLOR_BTNTEXT : COLOR_GRAYTEXT));
        const wchar_t* text = control.text.c_str();
        const int length = static_cast<int>(control.text.size());
        const LONG style = StyleOf(handle);
        if (CompareStringOrdinal(control.className.c_str(), -1, L"Button", -1, TRUE) == CSTR_EQUAL)
        {
            const LONG type = style & BS_TYPEMASK;
            if (type == BS_GROUPBOX)
            {
                RECT frame = box;
                frame.top += 6;
                DrawEdge(dc, &frame, EDGE_ETCHED, BF_RECT);
                RECT label{box.left + 8, box.top, box.right - 8, box.top + 14};
                DrawTextW(dc, text, length, &label, DT_SINGLELINE | DT_VCENTER | DT_END_ELLIPSIS);
            }
            else if (IsCheckable(type))
            {
                const LONG side = 13;
                const LONG top = (box.top + box.bottom - side) / 2;
                RECT mark{box.left, top, box.left + side, top + side};
                const bool radio = type == BS_RADIOBUTTON || type == BS_AUTORADIOBUTTON;
                UINT state = radio ? DFCS_BUTTONRADIO : DFCS_BUTTONCHECK;
                if ((control.state & ControlIndeterminate) != 0)
                    state = DFCS_BUTTON3STATE | DFCS_CHECKED;
                else if ((control.state & ControlChecked) != 0)
                    state |= DFCS_CHECKED;
                if ((control.state & ControlEnabled) == 0)
                    state |= DFCS_INACTIVE;
                DrawFrameControl(dc, &mark, DFC_BUTTON, state);
                RECT label{box.left + side + 4, box.top, box.right, box.bottom};
                DrawTextW(dc, text, length, &label, DT_SINGLELINE | DT_VCENTER | DT_END_ELLIPSIS);
            }
            else
            {
                RECT face = box;
                if ((control.state & ControlDefault) != 0)
                {
                    FrameRect(dc, &face, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
                    InflateRect(&face, -1, -1);
                }
                FillRect(dc, &face, GetSysColorBrush(COLOR_BTNFACE));
                DrawEdge(dc, &face, EDGE_RAISED, BF_RECT);
                DrawTextW(dc, text, length, &face, DT_SINGLELINE | DT_VCENTER | DT_CENTER | DT_END_ELLIPSIS);
            }
        }
        else if (CompareStringOrdinal(control.className.c_str(), -1, L"Edit", -1, TRUE) == CSTR_EQUAL)
        {
            FillRect(dc, &box, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
            DrawEdge(dc, &box, EDGE_SUNKEN, BF_RECT);
            RECT inner = box;
            InflateRect(&inner, -3, -2);
            const UINT format = (style & ES_MULTILINE) != 0 ? DT_WORDBREAK : DT_SINGLELINE | DT_VCENTER;
            DrawTextW(dc, text, length, &inner, format | DT_NOPREFIX | DT_EDITCONTROL);
        }
        else if (CompareStringOrdinal(control.className.c_str(), -1, L"Static", -1, TRUE) == CSTR_EQUAL)
        {
            const UINT prefix = (style & SS_NOPREFIX) != 0 ? DT_NOPREFIX : 0;
            DrawTextW(dc, text, length, &box, DT_WORDBREAK | prefix);
        }
        else
        {
            FrameRect(dc, &box, GetSysColorBrush(COLOR_BTNSHADOW));
            RECT inner = box;
            InflateRect(&inner, -2, -2);
            DrawTextW(dc, text, length, &inner, DT_WORDBREAK | DT_NOPREFIX);
        }
    }

    // Whoever looks at the picture is told it is not the window's own.
    const LONG stripHeight = std::min<LONG>(18, height);
    RECT strip{0, height - stripHeight, width, height};
    const ScopedGdiObject yellow = MakeScopedGdiObject(CreateSolidBrush(RGB(255, 230, 120)));
    FillRect(dc, &strip, static_cast<HBRUSH>(yellow.get()));
    SetTextColor(dc, RGB(0, 0, 0));
    strip.left += 4;
    DrawTextW(dc, L"Drawn from the window's structure: the system does not show this window", -1, &strip,
              DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_END_ELLIPSIS);
    SelectObject(dc, font);
    GdiFlush();
}

}

uint32_t IdOf(HWND window)
{
    return static_cast<uint32_t>(reinterpret_cast<ULONG_PTR>(window));
}

uint64_t HashOf(uint32_t width, uint32_t height, const std::vector<uint32_t>& pixels)
{
    uint64_t hash = 14695981039346656037ull;
    const auto mix = [&hash](const void* data, size_t size) {
        const auto* bytes = static_cast<const uint8_t*>(data);
        for (size_t i = 0; i < size; ++i)
        {
            hash ^= bytes[i];
            hash *= 1099511628211ull;
        }
    };
    mix(&width, sizeof width);
    mix(&height, sizeof height);
    if (!pixels.empty())
        mix(pixels.data(), pixels.size() * sizeof(uint32_t));
    return hash == 0 ? 1 : hash;
}

DWORD Capture(HWND window, Picture& picture)
{
    if (!Answers(window))
        return IsWindow(window) ? ERROR_TIMEOUT : ERROR_INVALID_WINDOW_HANDLE;
    RECT rect{};
    if (!GetWindowRect(window, &rect))
        return GetLastError();
    const LONG width = std::min<LONG>(rect.right - rect.left, MaxCaptureSide);
    const LONG height = std::min<LONG>(rect.bottom - rect.top, MaxCaptureSide);
    picture = Picture{};
    if (width > 0 && height > 0)
    {
        // No screen DC: a station without display has none to be compatible with.
        const ScopedDc memory = MakeScopedDc(CreateCompatibleDC(nullptr));
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        void* bits = nullptr;
        const ScopedGdiObject bitmap =
            MakeScopedGdiObject(CreateDIBSection(memory.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
        if (!memory || !bitmap || bits == nullptr)
            return ERROR_NOT_ENOUGH_MEMORY;
        auto* const pixels = static_cast<uint32_t*>(bits);
        const size_t count = static_cast<size_t>(width) * height;
        std::fill(pixels, pixels + count, Untouched);
        const auto untouched = [&] { return std::find(pixels, pixels + count, Untouched) != pixels + count; };
        {
            const SelectionScope selected(memory.get(), bitmap.get());
            // The window draws itself: this works while it is covered and while the console
            // shows another session. PW_RENDERFULLCONTENT (2) takes content that only the
            // compositor has; older systems do not know the flag.
            if (!PrintWindow(window, memory.get(), 2))
                PrintWindow(window, memory.get(), 0);
            GdiFlush();
            // A system whose print leaves part of the window undrawn (Wine draws neither the
            // frame nor the child controls) keeps a surface per window: its own pixels are the
            // best there are.
            bool copied = !untouched();
            if (!copied)
            {
                const ScopedWindowDc own(window, GetWindowDC(window));
                copied = own && BitBlt(memory.get(), 0, 0, width, height, own.get(), 0, 0, SRCCOPY);
                GdiFlush();
                copied = copied && !untouched();
            }
            // Neither drew the window (a station without display: Wine's print says it did and
            // draws nothing, the copy fails): what is left would be passed off as the window.
            if (!copied)
            {
                std::vector<Control> controls;
                Describe(window, controls);
                DrawStructure(window, rect, controls, memory.get(), width, height);
                picture.drawn = true;
            }
        }
        picture.pixels.assign(pixels, pixels + count);
        for (uint32_t& pixel : picture.pixels)
            pixel |= 0xFF000000u;
        picture.width = static_cast<uint32_t>(width);
        picture.height = static_cast<uint32_t>(height);
    }
    picture.hash = HashOf(picture.width, picture.height, picture.pixels);
    return 0;
}

DWORD Describe(HWND window, std::vector<Control>& controls)
{
    RECT windowRect{};
    if (!GetWindowRect(window, &windowRect))
        return GetLastError();
    // Every question to the window's controls shares the window's time.
    const ULONGLONG deadline = GetTickCount64() + WindowTimeoutMs;
    GUITHREADINFO thread{};
    thread.cbSize = sizeof thread;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &thread))
        thread.hwndFocus = nullptr;
    int defaultId = -1;
    if (ClassIs(window, L"#32770"))
    {
        // DM_GETDEFID means something else to a window that is no dialog.
        const LRESULT answer = AskBounded(window, DM_GETDEFID, deadline, 0);
        if (HIWORD(answer) == DC_HASDEFID)
            defaultId = LOWORD(answer);
    }
    controls.clear();
    for (const HWND child : ChildrenOf(window))
    {
        Control control;
        control.control = IdOf(child);
        control.id = static_cast<uint32_t>(GetDlgCtrlID(child)) & 0xFFFF;
        wchar_t className[256] = {};
        const int classLength = GetClassNameW(child, className, ARRAYSIZE(className));
        control.className.assign(className, classLength > 0 ? classLength : 0);
        const LONG style = StyleOf(child);
        const bool button = CompareStringOrdinal(className, -1, L"Button", -1, TRUE) == CSTR_EQUAL;
        const LONG buttonType = style & BS_TYPEMASK;
        if (CompareStringOrdinal(className, -1, L"Edit", -1, TRUE) == CSTR_EQUAL && (style & ES_PASSWORD) != 0)
            control.state |= ControlTextWithheld;
        else
            control.text = TextOf(child, deadline);
        RECT rect{};
        if (GetWindowRect(child, &rect))
        {
            control.left = rect.left - windowRect.left;
            control.top = rect.top - windowRect.top;
            control.right = rect.right - windowRect.left;
            control.bottom = rect.bottom - windowRect.top;
        }
        if ((style & WS_DISABLED) == 0)
            control.state |= ControlEnabled;
        if (VisibleUpTo(child, window))
            control.state |= ControlVisible;
        if (button && IsCheckable(buttonType))
        {
            const LRESULT check = AskBounded(child, BM_GETCHECK, deadline, BST_UNCHECKED);
            if (check == BST_CHECKED)
                control.state |= ControlChecked;
            else if (check == BST_INDETERMINATE)
                control.state |= ControlIndeterminate;
        }
        if (thread.hwndFocus == child)
            control.state |= ControlFocused;
        if (button && (buttonType == BS_DEFPUSHBUTTON ||
                       (defaultId >= 0 && GetParent(child) == window && GetDlgCtrlID(child) == defaultId)))
            control.state |= ControlDefault;
        controls.push_back(std::move(control));
    }
    return 0;
}

DWORD Press(HWND window, uint32_t control)
{
    HWND button = nullptr;
    for (const HWND child : ChildrenOf(window))
        if (IdOf(child) == control)
            button = child;
    if (button == nullptr)
        return ERROR_INVALID_WINDOW_HANDLE;
    const LONG style = StyleOf(button);
    if (!ClassIs(button, L"Button") || (style & BS_TYPEMASK) == BS_GROUPBOX || (style & WS_DISABLED) != 0 ||
        !VisibleUpTo(button, window))
        return ERROR_INVALID_PARAMETER;
    // Handled by the button's own thread as a click of its own, whichever thread posts it.
    return PostMessageW(button, BM_CLICK, 0, 0) ? 0 : GetLastError();
}

DWORD Close(HWND window)
{
    return PostMessageW(window, WM_CLOSE, 0, 0) ? 0 : GetLastError();
}

DWORD Click(HWND window, int32_t x, int32_t y, bool right, bool twice)
{
    RECT rect{};
    if (!GetWindowRect(window, &rect))
        return GetLastError();
    if (x < 0 || y < 0 || x >= rect.right - rect.left || y >= rect.bottom - rect.top)
        return ERROR_INVALID_PARAMETER;
    const POINT screen{rect.left + x, rect.top + y};
    // Down to the deepest enabled visible control under the point, as the mouse would hit it.
    HWND target = window;
    for (int depth = 0; depth < 32; ++depth)
    {
        POINT client = screen;
        ScreenToClient(target, &client);
        const HWND child =
            ChildWindowFromPointEx(target, client, CWP_SKIPINVISIBLE | CWP_SKIPDISABLED | CWP_SKIPTRANSPARENT);
        if (child == nullptr || child == target)
            break;
        target = child;
    }
    POINT client = screen;
    ScreenToClient(target, &client);
    const LPARAM at = MAKELPARAM(static_cast<WORD>(client.x), static_cast<WORD>(client.y));
    const UINT down = right ? WM_RBUTTONDOWN : WM_LBUTTONDOWN;
    const UINT up = right ? WM_RBUTTONUP : WM_LBUTTONUP;
    const UINT doubled = right ? WM_RBUTTONDBLCLK : WM_LBUTTONDBLCLK;
    const WPARAM held = right ? MK_RBUTTON : MK_LBUTTON;
    Post(target, WM_MOUSEMOVE, 0, at);
    Post(target, down, held, at);
    Post(target, up, 0, at);
    if (twice)
    {
        Post(target, doubled, held, at);
        Post(target, up, 0, at);
    }
    return 0;
}

DWORD Type(HWND window, const std::wstring& text)
{
    const HWND focus = FocusIn(window);
    for (const wchar_t unit : text)
        if (!PostMessageW(focus, WM_CHAR, unit, 1))
            return GetLastError();
    return 0;
}

DWORD PressKey(HWND window, uint16_t virtualKey)
{
    if (virtualKey == 0 || virtualKey > 0xFE)
        return ERROR_INVALID_PARAMETER;
    const HWND focus = FocusIn(window);
    LPARAM down = 1 | (static_cast<LPARAM>(MapVirtualKeyW(virtualKey, MAPVK_VK_TO_VSC)) << 16);
    switch (virtualKey)
    {
    case VK_LEFT: case VK_RIGHT: case VK_UP: case VK_DOWN: case VK_INSERT: case VK_DELETE:
    case VK_HOME: case VK_END: case VK_PRIOR: case VK_NEXT:
        down |= 1 << 24;   // extended key
        break;
    default:
        break;
    }
    const LPARAM up = down | static_cast<LPARAM>(0xC0000000u);
    if (!PostMessageW(focus, WM_KEYDOWN, virtualKey, down))
        return GetLastError();
    // The target's own loop turns the key into its character (TranslateMessage) or hands it to
    // the dialog manager (IsDialogMessage), as with a key typed on its desktop.
    PostMessageW(focus, WM_KEYUP, virtualKey, up);
    return 0;
}
}
