#include "TrayWindow.h"

#include <shellapi.h>

#include "TrayConsoleSwitch.h"
#include "session/Names.h"
#include "session/Paths.h"
#include "session/ScopedResource.h"
#include "session/SystemLibraries.h"

namespace
{
constexpr const wchar_t* WindowTitle = L"Quillon";
constexpr UINT_PTR QuitLookTimer = 1;
constexpr UINT ExitCommand = 1;
constexpr UINT ShowViewerCommand = 2;
constexpr UINT ShowSession0Command = 3;

using SwitchFunction = BOOLEAN(WINAPI*)();
using ScopedMenu = ScopedResource<HMENU, BOOL(WINAPI*)(HMENU)>;

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
}

const WNDCLASSEXW& TrayWindow::GetWndClassInfo()
{
    static const WNDCLASSEXW wc = [] {
        WNDCLASSEXW info{};
        info.cbSize = sizeof info;
        info.lpfnWndProc = &CWindowImplBaseT::WindowProc;
        info.lpszClassName = TrayWindowClass;
        return info;
    }();
    return wc;
}

HWND TrayWindow::Create(CWindowClasses& classes)
{
    taskbarCreated_ = RegisterWindowMessageW(L"TaskbarCreated");
    // A token does not change: its groups are read once.
    administrator_ = MayShowSessionZero(ReadOwnToken());
    return CWindowImpl::Create(classes, nullptr, RECT{}, WindowTitle);
}

void TrayWindow::Begin()
{
    LookForQuit();
    if (m_hWnd == nullptr)
        return;
    if (ownSession_ != 0)
    {
        feed_.Start(m_hWnd);
    }
    else if (!agent_.Start(m_hWnd))
    {
        // A tray without its agent would hold the session's place until the next boot.
        exitCode_ = static_cast<int>(TrayAgentNameTakenExitCode);
        DestroyWindow();
    }
}

void TrayWindow::LookForQuit()
{
    switch (quit_.Look(m_hWnd))
    {
    case TrayQuit::State::Quit:
        DestroyWindow();
        break;
    case TrayQuit::State::Listening:
        KillTimer(QuitLookTimer);
        break;
    case TrayQuit::State::Looking:
        SetTimer(QuitLookTimer, TrayQuit::LookIntervalMs, nullptr);
        break;
    }
}

// The viewer beside this program, elevated (the system asks the user), with the window selected.
void TrayWindow::StartViewer(uint32_t selected)
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
    execute.hwnd = m_hWnd;
    execute.lpVerb = L"runas";
    execute.lpFile = viewer.c_str();
    execute.lpParameters = parameters;
    execute.nShow = SW_SHOWNORMAL;
    // A refused elevation is the user's answer: nothing more to say.
    ShellExecuteExW(&execute);
}

// Asked as the menu is built and again as the command runs: any program of the session can
// post the command.
bool TrayWindow::CanShowSession0() const
{
    return ownSession_ != 0 && administrator_ && WTSGetActiveConsoleSessionId() == ownSession_ &&
           SwitchToServicesSession() != nullptr;
}

// The menu's commands; also taken as WM_COMMAND, as the window's own commands.
void TrayWindow::RunCommand(UINT command)
{
    if (command == ExitCommand)
        DestroyWindow();
    else if (command == ShowViewerCommand && ownSession_ != 0)
        StartViewer(0);
    else if (command == ShowSession0Command && CanShowSession0())
        SwitchToServicesSession()();
}

void TrayWindow::ShowMenu()
{
    ScopedMenu owner(&DestroyMenu, CreatePopupMenu());
    if (!owner)
        return;
    const HMENU menu = owner.get();
    if (ownSession_ != 0)
        AppendMenuW(menu, MF_STRING, ShowViewerCommand, L"&Show service windows...");
    if (CanShowSession0())
        AppendMenuW(menu, MF_STRING, ShowSession0Command, L"Show session &0");
    if (ownSession_ != 0)
        AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, ExitCommand, L"E&xit");
    POINT cursor{};
    GetCursorPos(&cursor);
    // The menu closes when the user clicks elsewhere only if the window is in the foreground.
    SetForegroundWindow(m_hWnd);
    quit_.MenuOpened();
    const UINT chosen = static_cast<UINT>(
        TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, cursor.x, cursor.y, 0, m_hWnd, nullptr));
    const bool quit = quit_.MenuClosed();
    owner.reset();
    if (quit)
        DestroyWindow();
    else
        RunCommand(chosen);
}

void TrayWindow::OnIcon(LPARAM event)
{
    if (event == WM_RBUTTONUP || event == WM_CONTEXTMENU)
        ShowMenu();
    else if (event == NIN_BALLOONUSERCLICK && ownSession_ != 0)
        StartViewer(feed_.LastNoticed());
}

BOOL TrayWindow::ProcessWindowMessage(HWND, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult, DWORD)
{
    lResult = 0;
    switch (uMsg)
    {
    case WM_CREATE:
        feed_.AddIcon(m_hWnd);
        return TRUE;
    case WM_TIMER:
        if (wParam == QuitLookTimer)
            LookForQuit();
        return TRUE;
    case WM_TRAY_QUIT_ALL:
        // The menu's modal loop dispatches this too: the menu ends first, and the window once it has.
        quit_.OnRequest(m_hWnd);
        return TRUE;
    case WM_TRAY_ICON:
        OnIcon(lParam);
        return TRUE;
    case WM_TRAY_FEED:
        feed_.OnFeed(m_hWnd);
        return TRUE;
    case WM_COMMAND:
        if (HIWORD(wParam) == 0 && lParam == 0)
            RunCommand(LOWORD(wParam));
        return TRUE;
    case WM_CLOSE:
        DestroyWindow();
        return TRUE;
    case WM_ENDSESSION:
        if (wParam)
            DestroyWindow();
        return TRUE;
    case WM_DESTROY:
        feed_.RemoveIcon(m_hWnd);
        PostQuitMessage(exitCode_);
        return TRUE;
    default:
        if (agent_.OnShellHook(uMsg, wParam, lParam))
            return TRUE;
        // The taskbar was started again: our icon went with the old one.
        if (uMsg == taskbarCreated_ && taskbarCreated_ != 0)
        {
            feed_.AddIcon(m_hWnd);
            return TRUE;
        }
        return FALSE;
    }
}
