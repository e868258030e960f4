// The taskbar of the users' sessions, as far as notification icons go: a window of the class
// "Shell_TrayWnd" that takes what Shell_NotifyIconW sends it (WM_COPYDATA) and records icons,
// tips and notifications in the bench's shared state, per simulated session of the sending
// program.
//
//     BenchTaskbar            runs until its window is closed
//     BenchTaskbar --print    prints the notifications recorded so far, one per line:
//                             SESSION<TAB>TITLE<TAB>TEXT (line breaks of the text as " / ")
//
// Shell_NotifyIconW finds the first window of the class in the desktop's z-order; Wine's own
// explorer and QuillonExplorer.exe keep one too, so this one is made topmost (and stays hidden,
// so that no one lists it as a window on the screen). It exits with 2 when it is not the one
// found.
//
// Wine's shell32 sends its own packed record (dwData: the NIM_ code); its layout is below.

#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "BenchState.h"
#include "TermSrv.h"

namespace
{
#pragma pack(push, 4)
struct WineNotifyData
{
    LONG hWnd;
    UINT uID;
    UINT uFlags;
    UINT uCallbackMessage;
    WCHAR szTip[128];
    DWORD dwState;
    DWORD dwStateMask;
    WCHAR szInfo[256];
    UINT uTimeout;
    WCHAR szInfoTitle[64];
    DWORD dwInfoFlags;
    GUID guidItem;
    UINT width, height, planes, bpp;   // of the icon's bitmaps
    // the icon's mask and colour bits follow
};
#pragma pack(pop)
static_assert(sizeof(WineNotifyData) == 960, "Wine 8's notify_data");

template <size_t N>
void Copy(WCHAR (&to)[N], const WCHAR* from, size_t units)
{
    size_t length = 0;
    while (length < units && length + 1 < N && from[length] != L'\0')
        ++length;
    std::memcpy(to, from, length * sizeof(WCHAR));
    to[length] = L'\0';
}

DWORD Fnv(const BYTE* bytes, size_t size)
{
    DWORD hash = 2166136261u;
    for (size_t i = 0; i < size; ++i)
        hash = (hash ^ bytes[i]) * 16777619u;
    return hash;
}

benchstate::TrayIcon* IconOf(benchstate::Taskbar& taskbar, DWORD window, UINT id, bool add)
{
    benchstate::TrayIcon* free = nullptr;
    for (benchstate::TrayIcon& icon : taskbar.icons)
    {
        if (icon.inUse && icon.window == window && icon.id == id)
            return &icon;
        if (!icon.inUse && free == nullptr)
            free = &icon;
    }
    if (!add || free == nullptr)
        return nullptr;
    ZeroMemory(free, sizeof *free);
    free->inUse = TRUE;
    free->window = window;
    free->id = id;
    return free;
}

void Record(DWORD message, const BYTE* bytes, size_t size)
{
    BenchState* state = OpenBenchState();
    if (state == nullptr || size < sizeof(WineNotifyData))
        return;
    WineNotifyData data;
    std::memcpy(&data, bytes, sizeof data);
    const DWORD window = static_cast<DWORD>(data.hWnd);
    DWORD processId = 0;
    GetWindowThreadProcessId(reinterpret_cast<HWND>(static_cast<ULONG_PTR>(window)), &processId);
    const DWORD session = bench::termsrv::SessionOfProcess(processId);
    benchstate::Taskbar& taskbar = state->taskbar;

    if (message == NIM_DELETE)
    {
        if (benchstate::TrayIcon* icon = IconOf(taskbar, window, data.uID, false))
            icon->inUse = FALSE;
        return;
    }
    benchstate::TrayIcon* icon = IconOf(taskbar, window, data.uID, message == NIM_ADD);
    if (icon == nullptr)
        return;
    icon->session = session;
    if (data.uFlags & NIF_MESSAGE)
        icon->callbackMessage = data.uCallbackMessage;
    if (data.uFlags & NIF_TIP)
        Copy(icon->tip, data.szTip, 128);
    if (data.uFlags & NIF_ICON)
    {
        const DWORD hash = Fnv(bytes + sizeof data, size - sizeof data);
        if (icon->iconHash != 0 && icon->iconHash != hash)
            InterlockedIncrement(&icon->iconChanges);
        icon->iconHash = hash;
    }
    if (data.uFlags & NIF_INFO)
    {
        benchstate::Notice& notice = taskbar.notice[taskbar.notices % benchstate::MaxNotices];
        notice.session = session;
        notice.window = window;
        Copy(notice.title, data.szInfoTitle, 64);
        Copy(notice.text, data.szInfo, 256);
        InterlockedIncrement(&taskbar.notices);
    }
}

LRESULT CALLBACK TaskbarProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message)
    {
    case WM_COPYDATA: {
        const auto* copy = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        if (copy != nullptr && copy->lpData != nullptr)
            Record(static_cast<DWORD>(copy->dwData), static_cast<const BYTE*>(copy->lpData), copy->cbData);
        return TRUE;
    }
    case WM_CLOSE:
        DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

int Print()
{
    BenchState* state = OpenBenchState();
    if (state == nullptr)
        return 1;
    const LONG count = state->taskbar.notices;
    for (LONG i = count > benchstate::MaxNotices ? count - benchstate::MaxNotices : 0; i < count; ++i)
    {
        const benchstate::Notice& notice = state->taskbar.notice[i % benchstate::MaxNotices];
        std::wstring text = notice.text;
        for (size_t at = text.find(L'\n'); at != std::wstring::npos; at = text.find(L'\n', at))
            text.replace(at, 1, L" / ");
        std::wprintf(L"%lu\t%ls\t%ls\n", static_cast<unsigned long>(notice.session), notice.title, text.c_str());
    }
    return 0;
}
}

int wmain(int argc, wchar_t** argv)
{
    if (argc > 1 && std::wstring(argv[1]) == L"--print")
        return Print();
    BenchState* state = OpenBenchState();
    if (state == nullptr)
        return 1;
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = TaskbarProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"Shell_TrayWnd";
    if (RegisterClassExW(&wc) == 0)
        return 1;
    const HWND window = CreateWindowExW(WS_EX_TOOLWINDOW | WS_EX_TOPMOST, wc.lpszClassName, L"", WS_POPUP, 0, 0, 0, 0,
                                        nullptr, nullptr, wc.hInstance, nullptr);
    if (window == nullptr)
        return 1;
    SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    if (FindWindowW(L"Shell_TrayWnd", nullptr) != window)
        return 2;
    state->taskbar.window = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(window));
    // Programs started before it gave their icons to another taskbar: as after a shell's
    // restart, they add them again here.
    SendMessageTimeoutW(HWND_BROADCAST, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0, SMTO_ABORTIFHUNG, 2000,
                        nullptr);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0)
        DispatchMessageW(&msg);
    state->taskbar.window = 0;
    return 0;
}
