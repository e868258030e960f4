// QuillonTray.exe: a notification-area icon that tells the user that the session 0 shell is
// running. One copy per session. It ends when its window (class "QuillonTray") is asked to
// close, from the icon's menu, or when the event Global\QuillonTray_QuitAll is set, which asks
// every copy in every session to quit.
//
// The copy in session 0 runs as the service and can create global objects, so it is the one
// that creates the event; copies in users' sessions may only open it, and wait for it to appear
// while it does not exist yet.
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
constexpr UINT_PTR OpenQuitAllTimer = 1;
constexpr UINT ExitCommand = 1;

HANDLE quitAll = nullptr;

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
    if (event != nullptr)
    {
        // A request that is still set belongs to copies that have gone: a copy started after
        // it, the service's restart of its own copy among them, must not quit at once.
        ResetEvent(event);
    }
    LocalFree(descriptor);
    return event;
}

HANDLE OpenQuitAll()
{
    if (const HANDLE created = CreateQuitAll())
        return created;
    return OpenEventW(SYNCHRONIZE, FALSE, QuitAllName);
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
    const UINT chosen = static_cast<UINT>(
        TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, cursor.x, cursor.y, 0, window, nullptr));
    DestroyMenu(menu);
    if (chosen == ExitCommand)
        DestroyWindow(window);
}

LRESULT CALLBACK TrayWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message)
    {
    case WM_CREATE: {
        NOTIFYICONDATAW data = IconData(window);
        Shell_NotifyIconW(NIM_ADD, &data);
        if (quitAll == nullptr)
            SetTimer(window, OpenQuitAllTimer, 5000, nullptr);
        return 0;
    }
    case WM_TIMER:
        if (wParam == OpenQuitAllTimer && quitAll == nullptr)
        {
            quitAll = OpenQuitAll();
            if (quitAll != nullptr)
                KillTimer(window, OpenQuitAllTimer);
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

    quitAll = OpenQuitAll();
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

    // A name taken by someone else leaves the tray without the agent, and says nothing.
    agent::Server server;
    if (OwnSession() == 0)
        server.Start();

    MSG msg{};
    for (;;)
    {
        const DWORD count = quitAll != nullptr ? 1 : 0;
        const DWORD woken = MsgWaitForMultipleObjects(count, &quitAll, FALSE, INFINITE, QS_ALLINPUT);
        if (count == 1 && woken == WAIT_OBJECT_0 && IsWindow(window))
            DestroyWindow(window);
        bool quit = false;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        {
            if (msg.message == WM_QUIT)
            {
                quit = true;
                break;
            }
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (quit)
            break;
    }
    server.Stop();
    if (quitAll != nullptr)
        CloseHandle(quitAll);
    CloseHandle(single);
    return static_cast<int>(msg.wParam);
}
