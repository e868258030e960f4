#include "WindowActions.h"

#include <algorithm>

#include "Protocol.h"
#include "session/GdiScope.h"
#include "session/Names.h"
#include "session/Paths.h"
#include "session/ProcessLookup.h"
#include "session/ScopedResource.h"

namespace agent::windows
{
namespace
{
// The account a process runs as; empty when its token cannot be read.
std::vector<BYTE> UserOf(HANDLE process)
{
    ScopedHandle token = MakeScopedHandle(nullptr);
    if (!OpenProcessToken(process, TOKEN_QUERY, token.put()))
        return {};
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<BYTE> user(size);
    if (size == 0 || !GetTokenInformation(token.get(), TokenUser, user.data(), size, &size))
        return {};
    return user;
}

bool SameUser(const std::vector<BYTE>& a, const std::vector<BYTE>& b)
{
    return !a.empty() && !b.empty() &&
           EqualSid(reinterpret_cast<const TOKEN_USER*>(a.data())->User.Sid,
                    reinterpret_cast<const TOKEN_USER*>(b.data())->User.Sid) != FALSE;
}

// The service's process as the service manager knows it; 0 when it does not run.
DWORD ServiceProcess()
{
    ScopedServiceHandle manager = MakeScopedServiceHandle(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ScopedServiceHandle service = MakeScopedServiceHandle(
        manager ? OpenServiceW(manager.get(), Ui0DetectServiceName, SERVICE_QUERY_STATUS) : nullptr);
    SERVICE_STATUS_PROCESS status{};
    DWORD bytes = 0;
    if (!service || !QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                          sizeof status, &bytes))
        return 0;
    return status.dwProcessId;
}

// Quillon's own windows are known by their processes, never by class or program name, which
// any program may take: the agent's own (the session 0 tray), the service's (its shell
// window), and the explorer helper's, which runs the program of the agent's own folder under
// the agent's own account (the service's: no user can start a process as that).
class OwnProcesses
{
public:
    OwnProcesses() : service_(ServiceProcess()), user_(UserOf(GetCurrentProcess()))
    {
        // Unknown, no process is taken for the helper.
        if (!PathBesideProgram(ExplorerImage, explorer_))
            explorer_.clear();
    }

    // The window's process is one of them; otherwise its bare image name, for the list.
    bool Own(DWORD processId, std::wstring& program) const
    {
        if (processId == GetCurrentProcessId() || (service_ != 0 && processId == service_))
            return true;
        ScopedHandle process =
            MakeScopedHandle(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
        if (!process)
            return false;
        const std::wstring image = process_image_path(process.get());
        program = FileNameOf(image);
        return !explorer_.empty() &&
               CompareStringOrdinal(image.c_str(), -1, explorer_.c_str(), -1, TRUE) == CSTR_EQUAL &&
               SameUser(UserOf(process.get()), user_);
    }

private:
    DWORD service_;
    std::vector<BYTE> user_;
    std::wstring explorer_;
};

struct Listing
{
    OwnProcesses own;
    std::vector<Listed> windows;
};

BOOL CALLBACK AddWindow(HWND window, LPARAM parameter)
{
    auto& listing = *reinterpret_cast<Listing*>(parameter);
    if (!IsWindowVisible(window))
        return TRUE;
    Listed entry;
    entry.window = window;
    GetWindowThreadProcessId(window, &entry.processId);
    if (listing.own.Own(entry.processId, entry.program))
        return TRUE;
    // Read from the window manager, not asked of the window: a hung window cannot hold the list.
    wchar_t title[512] = {};
    const int length = InternalGetWindowText(window, title, ARRAYSIZE(title));
    entry.title.assign(title, length > 0 ? length : 0);
    listing.windows.push_back(std::move(entry));
    return TRUE;
}

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

}

uint32_t IdOf(HWND window)
{
    return static_cast<uint32_t>(reinterpret_cast<ULONG_PTR>(window));
}

std::vector<Listed> List(HDESK desktop)
{
    Listing listing;
    EnumDesktopWindows(desktop, AddWindow, reinterpret_cast<LPARAM>(&listing));
    return listing.windows;
}

HWND Find(HDESK desktop, uint32_t id)
{
    for (const Listed& entry : List(desktop))
        if (IdOf(entry.window) == id)
            return entry.window;
    return nullptr;
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
        const ScopedWindowDc screen(nullptr, GetDC(nullptr));
        const ScopedDc memory = MakeScopedDc(CreateCompatibleDC(screen.get()));
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        void* bits = nullptr;
        const ScopedGdiObject bitmap =
            MakeScopedGdiObject(CreateDIBSection(screen.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
        if (!memory || !bitmap || bits == nullptr)
            return ERROR_NOT_ENOUGH_MEMORY;
        auto* const pixels = static_cast<uint32_t*>(bits);
        const size_t count = static_cast<size_t>(width) * height;
        std::fill(pixels, pixels + count, Untouched);
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
            if (std::find(pixels, pixels + count, Untouched) != pixels + count)
            {
                const ScopedWindowDc own(window, GetWindowDC(window));
                if (own)
                {
                    BitBlt(memory.get(), 0, 0, width, height, own.get(), 0, 0, SRCCOPY);
                    GdiFlush();
                }
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
