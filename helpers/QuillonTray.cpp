// QuillonTray.exe: a notification-area icon that tells the user that the session 0 shell is
// running. One copy per session. It ends when its window (class "QuillonTray") is asked to
// close, from the icon's menu, or when the event Global\QuillonTray_QuitAll is set, which asks
// every copy in every session to quit.
//
// The copy in session 0 runs as the service and can create global objects, so it is the one
// that creates the event; copies in users' sessions may only open it, and look for it every
// second while it does not exist yet.
//
// The control tool sets the event and never resets it. Every copy that has the event open waits
// on it from the thread pool all the time, so a request reaches it at once, its menu open or
// not. A copy that finds the event set when it starts takes the request for one made before it
// (the service starts its own copy again after a request, and must not see it quit at once): it
// leaves the event set for a grace time longer than any running copy needs to see it, then
// resets it if it may, and only then starts listening. A copy that opens the event only later
// and finds it set was running when the request came, and quits.
//
// The copy in session 0 is also the session 0 agent (agent/AgentServer.h): it runs as the
// service's own account at the service's own integrity level, which input to the windows of
// interactive services needs (the system drops messages sent up the integrity levels).

#include <windows.h>
#include <sddl.h>
#include <shellapi.h>
#include <wtsapi32.h>

#include <string>

#include "agent/AgentServer.h"
#include "session/SystemLibraries.h"

namespace
{
constexpr const wchar_t* QuitAllName = L"Global\\QuillonTray_QuitAll";
constexpr UINT WM_TRAY_ICON = WM_APP + 1;
constexpr UINT WM_TRAY_QUIT_ALL = WM_APP + 2;
constexpr UINT_PTR QuitAllTimer = 1;
constexpr UINT QuitAllPollMs = 1000;
// Longer than the look-up interval, so that a copy still looking for the event sees the request.
constexpr ULONGLONG OldRequestGraceMs = 3000;
// A copy whose window does not end on request within this time ends anyway.
constexpr DWORD QuitAllBackstopMs = 1500;
constexpr UINT ExitCommand = 1;

HANDLE quitAll = nullptr;
bool mayResetQuitAll = false;
HANDLE quitAllWait = nullptr;
bool oldRequest = false;
ULONGLONG oldRequestSeen = 0;
HWND trayWindow = nullptr;
HANDLE uiThread = nullptr;
bool menuOpen = false;
bool quitAfterMenu = false;

// The session this copy runs in, as Terminal Services tells it.
DWORD OwnSession()
{
    LPWSTR buffer = nullptr;
    DWORD bytes = 0;
    if (WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, WTSSessionId, &buffer, &bytes))
    {
        const DWORD session = buffer != nullptr && bytes >= sizeof(DWORD) ? *reinterpret_cast<DWORD*>(buffer) : 0;
        WTSFreeMemory(buffer);
        return session;
    }
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    return session;
}

// One copy per session. The session is part of the name for systems where sessions share one
// object namespace; where Local\ is per session already it changes nothing.
HANDLE ClaimSession()
{
    const std::wstring name = L"Local\\QuillonTray-" + std::to_wstring(OwnSession());
    return CreateMutexW(nullptr, FALSE, name.c_str());
}
UINT taskbarCreated = 0;

// System and administrators may set the event; every signed-in account may wait on it.
HANDLE CreateQuitAll()
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;OW)(A;;0x100000;;;AU)",
                                                             SDDL_REVISION_1, &descriptor, nullptr))
        attributes.lpSecurityDescriptor = descriptor;
    const HANDLE event = CreateEventW(&attributes, TRUE, FALSE, QuitAllName);
    LocalFree(descriptor);
    return event;
}

HANDLE OpenQuitAll()
{
    if (const HANDLE created = CreateQuitAll())
    {
        mayResetQuitAll = true;
        return created;
    }
    mayResetQuitAll = false;
    return OpenEventW(SYNCHRONIZE, FALSE, QuitAllName);
}

bool IsSet(HANDLE event)
{
    return WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

void CALLBACK OnQuitAll(PVOID, BOOLEAN)
{
    PostMessageW(trayWindow, WM_TRAY_QUIT_ALL, 0, 0);
    // A UI thread that no message reaches must not keep this copy alive.
    if (WaitForSingleObject(uiThread, QuitAllBackstopMs) == WAIT_TIMEOUT)
        ExitProcess(0);
}

// At start: a request already made is an old one, made before this copy.
void OpenQuitAllAtStart()
{
    quitAll = OpenQuitAll();
    if (quitAll != nullptr && IsSet(quitAll))
    {
        oldRequest = true;
        oldRequestSeen = GetTickCount64();
    }
}

// Looks for the event, retires an old request, and starts listening once it can. Returns false
// when a request came while this copy ran.
bool WatchQuitAll()
{
    if (quitAllWait != nullptr)
        return true;
    if (quitAll == nullptr)
    {
        // The event did not exist when this copy started: a request on it is a new one.
        quitAll = OpenQuitAll();
        if (quitAll == nullptr)
            return true;
        if (IsSet(quitAll))
            return false;
    }
    if (oldRequest)
    {
        // Without the right to reset it, a copy waits for one that has it.
        if (IsSet(quitAll) && (!mayResetQuitAll || GetTickCount64() - oldRequestSeen < OldRequestGraceMs))
            return true;
        if (IsSet(quitAll))
            ResetEvent(quitAll);
        oldRequest = false;
    }
    if (!RegisterWaitForSingleObject(&quitAllWait, quitAll, &OnQuitAll, nullptr, INFINITE, WT_EXECUTEONLYONCE))
        quitAllWait = nullptr;
    else
        KillTimer(trayWindow, QuitAllTimer);
    return true;
}

NOTIFYICONDATAW IconData(HWND window)
{
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof data;
    data.hWnd = window;
    data.uID = 1;
    data.uFlags = NIF_ICON | NIF_TIP | NIF_MESSAGE;
    data.uCallbackMessage = WM_TRAY_ICON;
    data.hIcon = LoadIconW(nullptr, IDI_INFORMATION);
    lstrcpynW(data.szTip, L"Quillon: the session 0 shell is running", ARRAYSIZE(data.szTip));
    return data;
}

void ShowMenu(HWND window)
{
    const HMENU menu = CreatePopupMenu();
    if (menu == nullptr)
        return;
    AppendMenuW(menu, MF_STRING, ExitCommand, L"E&xit");
    POINT cursor{};
    GetCursorPos(&cursor);
    // The menu closes when the user clicks elsewhere only if the window is in the foreground.
    SetForegroundWindow(window);
    menuOpen = true;
    const UINT chosen = static_cast<UINT>(
        TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, cursor.x, cursor.y, 0, window, nullptr));
    menuOpen = false;
    DestroyMenu(menu);
    if (chosen == ExitCommand || quitAfterMenu)
        DestroyWindow(window);
}

LRESULT CALLBACK TrayWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message)
    {
    case WM_CREATE: {
        NOTIFYICONDATAW data = IconData(window);
        Shell_NotifyIconW(NIM_ADD, &data);
        return 0;
    }
    case WM_TIMER:
        if (wParam == QuitAllTimer && !WatchQuitAll())
            DestroyWindow(window);
        return 0;
    case WM_TRAY_QUIT_ALL:
        // The menu's modal loop dispatches this too: end the menu, and the window once it has.
        if (menuOpen)
        {
            quitAfterMenu = true;
            EndMenu();
        }
        else
        {
            DestroyWindow(window);
        }
        return 0;
    case WM_TRAY_ICON:
        if (lParam == WM_RBUTTONUP || lParam == WM_CONTEXTMENU)
            ShowMenu(window);
        return 0;
    case WM_CLOSE:
        DestroyWindow(window);
        return 0;
    case WM_ENDSESSION:
        if (wParam)
            DestroyWindow(window);
        return 0;
    case WM_DESTROY: {
        NOTIFYICONDATAW data = IconData(window);
        Shell_NotifyIconW(NIM_DELETE, &data);
        PostQuitMessage(0);
        return 0;
    }
    default:
        // The taskbar was started again: our icon went with the old one.
        if (message == taskbarCreated && taskbarCreated != 0)
        {
            NOTIFYICONDATAW data = IconData(window);
            Shell_NotifyIconW(NIM_ADD, &data);
            return 0;
        }
        return DefWindowProcW(window, message, wParam, lParam);
    }
}
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int)
{
    KeepDllSearchInSystemFolder();
    const HANDLE single = ClaimSession();
    if (single == nullptr || GetLastError() == ERROR_ALREADY_EXISTS)
        return 0;

    OpenQuitAllAtStart();
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &uiThread, SYNCHRONIZE, FALSE, 0);
    taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");

    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = TrayWindowProc;
    wc.hInstance = instance;
    wc.lpszClassName = L"QuillonTray";
    if (RegisterClassExW(&wc) == 0)
        return 1;
    const HWND window = CreateWindowExW(WS_EX_TOOLWINDOW, wc.lpszClassName, L"Quillon", WS_POPUP, 0, 0, 0, 0, nullptr,
                                        nullptr, instance, nullptr);
    if (window == nullptr)
        return 1;
    trayWindow = window;
    if (!WatchQuitAll())
        DestroyWindow(window);
    else if (quitAllWait == nullptr)
        SetTimer(window, QuitAllTimer, QuitAllPollMs, nullptr);

    // A name taken by someone else leaves the tray without the agent, and says nothing.
    agent::Server server;
    if (OwnSession() == 0)
        server.Start();

    MSG msg{};
    while (GetMessageW(&msg, nullptr, 0, 0) > 0)
    {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    server.Stop();
    // The event and the wait on it go with the process: a callback under way may still use them.
    CloseHandle(single);
    return static_cast<int>(msg.wParam);
}
