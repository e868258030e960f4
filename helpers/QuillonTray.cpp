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
//
// The copies in users' sessions follow the agent's feed of session 0 windows on a thread that
// waits in the agent until something changes: a window that appears is announced once with a
// notification, and again on a flash at most once a minute; the icon and its tip show how many
// windows wait. The notification and the menu start QuillonViewer.exe from this program's
// folder, elevated; the menu also switches the console to session 0 where Windows can.

#include <windows.h>
#include <sddl.h>
#include <shellapi.h>
#include <wtsapi32.h>

#include <algorithm>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "agent/AgentClient.h"
#include "agent/AgentServer.h"
#include "agent/Announcements.h"
#include "session/CrashDump.h"
#include "session/Names.h"
#include "session/Paths.h"
#include "session/ScopedResource.h"
#include "session/SystemLibraries.h"

namespace
{
constexpr UINT WM_TRAY_ICON = WM_APP + 1;
constexpr UINT WM_TRAY_QUIT_ALL = WM_APP + 2;
constexpr UINT_PTR QuitAllTimer = 1;
constexpr UINT QuitAllPollMs = 1000;
// Longer than the look-up interval, so that a copy still looking for the event sees the request.
constexpr ULONGLONG OldRequestGraceMs = 3000;
// A copy whose window does not end on request within this time ends anyway.
constexpr DWORD QuitAllBackstopMs = 1500;
constexpr UINT ExitCommand = 1;
constexpr UINT ShowViewerCommand = 2;
constexpr UINT ShowSession0Command = 3;
constexpr UINT WM_TRAY_FEED = WM_APP + 3;   // lParam: an agent::Feed the handler deletes

// The feed: how long one request waits in the agent, and the pause before connecting again.
constexpr DWORD FeedWaitMs = 25000;
constexpr DWORD FeedRetryMs = 5000;
constexpr const wchar_t* NoticeTitle = L"A service is showing a window";

HANDLE quitAll = nullptr;
bool mayResetQuitAll = false;
HANDLE quitAllWait = nullptr;
bool oldRequest = false;
ULONGLONG oldRequestSeen = 0;
HWND trayWindow = nullptr;
HANDLE uiThread = nullptr;
bool menuOpen = false;
bool quitAfterMenu = false;
DWORD ownSession = 0;
agent::Server* agentServer = nullptr;
UINT shellHookMessage = 0;
HANDLE feedStop = nullptr;

agent::Announcements announcements;
size_t waiting = 0;
uint32_t lastNoticed = 0;   // the window of the last notification, which a click opens

// The session this copy runs in, as Terminal Services tells it.
DWORD OwnSession()
{
    LPWSTR buffer = nullptr;
    DWORD bytes = 0;
    if (WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, WTSSessionId, &buffer, &bytes))
    {
        const ScopedWtsMemory owner = MakeScopedWtsMemory(buffer);
        return buffer != nullptr && bytes >= sizeof(DWORD) ? *reinterpret_cast<DWORD*>(buffer) : 0;
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
    ScopedLocal<PSECURITY_DESCRIPTOR> descriptor = MakeScopedLocal<PSECURITY_DESCRIPTOR>(nullptr);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;OW)(A;;0x100000;;;AU)",
                                                             SDDL_REVISION_1, descriptor.put(), nullptr))
        attributes.lpSecurityDescriptor = descriptor.get();
    return CreateEventW(&attributes, TRUE, FALSE, QuitAllEventName);
}

HANDLE OpenQuitAll()
{
    if (const HANDLE created = CreateQuitAll())
    {
        mayResetQuitAll = true;
        return created;
    }
    mayResetQuitAll = false;
    return OpenEventW(SYNCHRONIZE, FALSE, QuitAllEventName);
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
    if (waiting == 0)
    {
        data.hIcon = LoadIconW(nullptr, IDI_INFORMATION);
        lstrcpynW(data.szTip, L"Quillon: the session 0 shell is running", ARRAYSIZE(data.szTip));
    }
    else
    {
        data.hIcon = LoadIconW(nullptr, IDI_WARNING);
        const std::wstring tip = L"Quillon: " + std::to_wstring(waiting) +
                                 (waiting == 1 ? L" service window waiting" : L" service windows waiting");
        lstrcpynW(data.szTip, tip.c_str(), ARRAYSIZE(data.szTip));
    }
    return data;
}

// A title is any program's text: no control characters, and cut to what the field holds.
std::wstring Printable(const std::wstring& text, size_t limit)
{
    std::wstring clean = text;
    for (wchar_t& c : clean)
        if (c < L' ' || c == 0x7F)
            c = L' ';
    if (clean.size() > limit)
        clean = clean.substr(0, limit > 0 ? limit - 1 : 0) + L"\u2026";
    return clean;
}

void Announce(HWND window, const agent::FeedWindow& shown)
{
    NOTIFYICONDATAW data = IconData(window);
    data.uFlags = NIF_INFO;
    data.dwInfoFlags = NIIF_INFO;
    lstrcpynW(data.szInfoTitle, NoticeTitle, ARRAYSIZE(data.szInfoTitle));
    const std::wstring program = Printable(shown.program.empty() ? L"an unknown program" : shown.program, 64);
    const std::wstring tail = L"\nProgram: " + program;
    const size_t room = ARRAYSIZE(data.szInfo) - 1 - tail.size();
    const std::wstring text = Printable(shown.title.empty() ? L"(no title)" : shown.title, room) + tail;
    lstrcpynW(data.szInfo, text.c_str(), ARRAYSIZE(data.szInfo));
    Shell_NotifyIconW(NIM_MODIFY, &data);
    lastNoticed = shown.window;
}

// Announces new windows, and flashes not announced within the minute; updates the count.
void OnFeed(HWND window, const agent::Feed& feed)
{
    if (waiting != feed.windows.size())
    {
        waiting = feed.windows.size();
        NOTIFYICONDATAW data = IconData(window);
        Shell_NotifyIconW(NIM_MODIFY, &data);
    }
    for (const size_t index : announcements.Update(feed, GetTickCount64()))
        Announce(window, feed.windows[index]);
}

// Follows the agent's feed until feedStop is set; a lost or refused connection is tried again.
DWORD WINAPI FeedThread(void*)
{
    do
    {
        try
        {
            agent::Client client = agent::Client::Connect(FeedRetryMs, true);
            uint32_t sequence = 0;
            while (WaitForSingleObject(feedStop, 0) == WAIT_TIMEOUT)
            {
                auto feed = std::make_unique<agent::Feed>(client.Watch(sequence, FeedWaitMs));
                if (feed->sequence == sequence)
                    continue;
                sequence = feed->sequence;
                if (PostMessageW(trayWindow, WM_TRAY_FEED, 0, reinterpret_cast<LPARAM>(feed.get())))
                    feed.release();
            }
        }
        catch (const std::system_error&)
        {
            // No agent (the service is stopped or starting), or it went: try again later.
        }
    } while (WaitForSingleObject(feedStop, FeedRetryMs) == WAIT_TIMEOUT);
    return 0;
}

// The viewer beside this program, elevated (the system asks the user), with the window selected.
void StartViewer(HWND window, uint32_t selected)
{
    std::wstring viewer;
    if (!PathBesideProgram(ViewerImage, viewer))
        return;
    wchar_t parameters[32] = {};
    if (selected != 0)
        wsprintfW(parameters, L"--select 0x%08X", selected);
    SHELLEXECUTEINFOW execute{};
    execute.cbSize = sizeof execute;
    execute.fMask = SEE_MASK_NOASYNC;
    execute.hwnd = window;
    execute.lpVerb = L"runas";
    execute.lpFile = viewer.c_str();
    execute.lpParameters = parameters;
    execute.nShow = SW_SHOWNORMAL;
    // A refused elevation is the user's answer: nothing more to say.
    ShellExecuteExW(&execute);
}

using SwitchFunction = BOOLEAN(WINAPI*)();

// Windows' own switch of the console to the services session, where winsta.dll of the system
// folder still has it.
SwitchFunction SwitchToServicesSession()
{
    static const SwitchFunction function = [] {
        const HMODULE module = LoadSystemLibrary(L"winsta.dll");
        return module == nullptr ? nullptr
                                 : reinterpret_cast<SwitchFunction>(reinterpret_cast<void*>(
                                       GetProcAddress(module, "WinStationSwitchToServicesSession")));
    }();
    return function;
}

bool CanShowSession0()
{
    return ownSession != 0 && WTSGetActiveConsoleSessionId() == ownSession && SwitchToServicesSession() != nullptr;
}

// The menu's commands; also taken as WM_COMMAND, as the window's own commands.
void RunCommand(HWND window, UINT command)
{
    if (command == ExitCommand)
        DestroyWindow(window);
    else if (command == ShowViewerCommand && ownSession != 0)
        StartViewer(window, 0);
    else if (command == ShowSession0Command && CanShowSession0())
        SwitchToServicesSession()();
}

void ShowMenu(HWND window)
{
    const HMENU menu = CreatePopupMenu();
    if (menu == nullptr)
        return;
    if (ownSession != 0)
        AppendMenuW(menu, MF_STRING, ShowViewerCommand, L"&Show service windows...");
    if (CanShowSession0())
        AppendMenuW(menu, MF_STRING, ShowSession0Command, L"Show session &0");
    if (ownSession != 0)
        AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
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
    if (quitAfterMenu)
        DestroyWindow(window);
    else
        RunCommand(window, chosen);
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
        else if (lParam == NIN_BALLOONUSERCLICK && ownSession != 0)
            StartViewer(window, lastNoticed);
        return 0;
    case WM_TRAY_FEED: {
        const std::unique_ptr<agent::Feed> feed(reinterpret_cast<agent::Feed*>(lParam));
        if (feed)
            OnFeed(window, *feed);
        return 0;
    }
    case WM_COMMAND:
        if (HIWORD(wParam) == 0 && lParam == 0)
            RunCommand(window, LOWORD(wParam));
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
        if (message == shellHookMessage && shellHookMessage != 0)
        {
            if (wParam == ShellFlash && agentServer != nullptr)
                agentServer->NoteFlash(reinterpret_cast<HWND>(lParam));
            return 0;
        }
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
    // The session 0 copy reads what other programs' windows hold: a fault there must leave a dump.
    InstallCrashDumpHandling(L"QuillonTray");
    const ScopedHandle single = MakeScopedHandle(ClaimSession());
    if (!single || GetLastError() == ERROR_ALREADY_EXISTS)
        return 0;

    ownSession = OwnSession();
    OpenQuitAllAtStart();
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &uiThread, SYNCHRONIZE, FALSE, 0);
    taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");

    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = TrayWindowProc;
    wc.hInstance = instance;
    wc.lpszClassName = TrayWindowClass;
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
    if (ownSession == 0 && server.Start())
    {
        agentServer = &server;
        // Windows tells a flash to the shell hook windows of the desktop.
        shellHookMessage = RegisterWindowMessageW(L"SHELLHOOK");
        RegisterShellHookWindow(window);
    }
    if (ownSession != 0)
    {
        feedStop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (feedStop != nullptr)
        {
            // Nothing waits for the thread: it ends with the process.
            const ScopedHandle feed = MakeScopedHandle(CreateThread(nullptr, 0, FeedThread, nullptr, 0, nullptr));
        }
    }

    MSG msg{};
    while (GetMessageW(&msg, nullptr, 0, 0) > 0)
    {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    // A feed request under way goes with the process.
    if (feedStop != nullptr)
        SetEvent(feedStop);
    if (agentServer != nullptr)
        DeregisterShellHookWindow(window);
    agentServer = nullptr;
    server.Stop();
    // The event and the wait on it go with the process: a callback under way may still use them.
    return static_cast<int>(msg.wParam);
}
