#include "ViewerWindow.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "AgentWorker.h"
#include "Controls.h"
#include "Commands.h"
#include "PictureWindow.h"
#include "session/DisplayText.h"
#include "session/Names.h"
#include "session/ScopedResource.h"
#include "session/SystemError.h"
#include "session/WindowFramework.h"

namespace viewer
{
namespace
{
constexpr const wchar_t* Title = L"Quillon session 0 windows";

constexpr UINT WM_VIEWER_RESULTS = WM_APP + 1;   // the worker has something new for the window
constexpr int ListId = 1;
constexpr int CloseId = 2;
constexpr int StatusId = 3;
constexpr int PictureId = 4;
constexpr int ControlsId = 5;
constexpr int ControlsLabelId = 6;

using ViewerWindowTraits = CWinTraits<WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, 0>;

// The session 0 windows in a list, the selected one's controls under it, its picture beside them,
// a button that asks the selected window to close.
class ViewerWindow : public CWindowImpl<ViewerWindow, CWindow, ViewerWindowTraits>
{
public:
    static const WNDCLASSEXW& GetWndClassInfo();

    explicit ViewerWindow(uint32_t selected) : initial_(selected) {}

    // Hidden until Show; null when the window or one of its parts cannot be created, with
    // GetLastError telling why.
    HWND Create(CWindowClasses& classes);
    void Show(int show);

    BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult,
                              DWORD dwMsgMapID = 0) override;
    void OnFinalMessage(HWND hWnd) override;

private:
    LRESULT OnCreate();
    bool CreateControls();
    void Layout();
    void UpdateVisibility();
    bool OnCommand(WORD id, WORD code);
    void OnResults();
    void ShowList(std::vector<agent::WindowEntry> list);
    void ShowControls(std::vector<agent::Control> controls, const std::wstring& problem);
    void PressChosenControl();
    void ShowPictureStatus();
    void Select(uint32_t window);

    CWindowClasses* classes_ = nullptr;
    const uint32_t initial_;
    DWORD createError_ = ERROR_SUCCESS;
    bool shown_ = false;
    ScopedGdiObject font_{&DeleteObject, nullptr};
    HWND list_ = nullptr;
    HWND close_ = nullptr;
    HWND statusLabel_ = nullptr;
    HWND controlsLabel_ = nullptr;
    HWND controlsList_ = nullptr;
    PictureWindow picture_;
    // Ended once the window and its children are gone: it never posts to a destroyed window.
    std::optional<AgentWorker> worker_;

    std::vector<agent::WindowEntry> windows_;
    std::vector<agent::Control> controls_;   // of the selected window, as the list shows them
    std::wstring controlsProblem_;           // why the list shows none: the agent could not tell them
    uint32_t selected_ = 0;
    std::wstring status_;
};

const WNDCLASSEXW& ViewerWindow::GetWndClassInfo()
{
    static const WNDCLASSEXW wc = [] {
        WNDCLASSEXW info{};
        info.cbSize = sizeof info;
        info.lpfnWndProc = &CWindowImplBaseT::WindowProc;
        info.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        info.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
        info.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        info.lpszClassName = ViewerWindowClass;
        return info;
    }();
    return wc;
}

HWND ViewerWindow::Create(CWindowClasses& classes)
{
    classes_ = &classes;
    const RECT place{CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT + 1100, CW_USEDEFAULT + 720};
    const HWND window = CWindowImpl::Create(classes, nullptr, place, Title);
    // Ending the worker of a window that failed in its creation may have changed the error.
    if (window == nullptr && createError_ != ERROR_SUCCESS)
        SetLastError(createError_);
    return window;
}

LRESULT ViewerWindow::OnCreate()
{
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0))
        font_.reset(CreateFontIndirectW(&metrics.lfMessageFont));
    worker_.emplace(m_hWnd, WM_VIEWER_RESULTS);
    if (CreateControls())
        return 0;
    createError_ = GetLastError();
    return -1;
}

bool ViewerWindow::CreateControls()
{
    const HINSTANCE instance = classes_->Instance();
    const auto id = [](int number) { return reinterpret_cast<HMENU>(static_cast<INT_PTR>(number)); };
    list_ = CreateWindowExW(WS_EX_CLIENTEDGE, L"LISTBOX", nullptr,
                            WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | LBS_NOTIFY | LBS_USETABSTOPS |
                                LBS_NOINTEGRALHEIGHT,
                            0, 0, 0, 0, m_hWnd, id(ListId), instance, nullptr);
    close_ = CreateWindowExW(0, L"BUTTON", L"Close window", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 0,
                             0, 0, 0, m_hWnd, id(CloseId), instance, nullptr);
    statusLabel_ = CreateWindowExW(0, L"STATIC", L"Connecting to the session 0 agent...",
                                   WS_CHILD | WS_VISIBLE | SS_LEFTNOWORDWRAP | SS_NOPREFIX, 0, 0, 0, 0, m_hWnd,
                                   id(StatusId), instance, nullptr);
    controlsLabel_ = CreateWindowExW(0, L"STATIC", L"Controls (double-click or Enter on a button presses it):",
                                     WS_CHILD | WS_VISIBLE | SS_LEFTNOWORDWRAP | SS_NOPREFIX, 0, 0, 0, 0, m_hWnd,
                                     id(ControlsLabelId), instance, nullptr);
    // Enter on a row reaches the window as WM_VKEYTOITEM.
    controlsList_ = CreateWindowExW(WS_EX_CLIENTEDGE, L"LISTBOX", nullptr,
                                    WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | LBS_NOTIFY | LBS_USETABSTOPS |
                                        LBS_NOINTEGRALHEIGHT | LBS_WANTKEYBOARDINPUT,
                                    0, 0, 0, 0, m_hWnd, id(ControlsId), instance, nullptr);
    if (list_ == nullptr || close_ == nullptr || statusLabel_ == nullptr || controlsLabel_ == nullptr ||
        controlsList_ == nullptr || picture_.Create(*classes_, m_hWnd, PictureId, font_.get(), *worker_) == nullptr)
        return false;
    for (HWND child : {list_, close_, statusLabel_, controlsLabel_, controlsList_})
        SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);
    // Title, then program, then process id.
    const int stops[] = {110, 170};
    SendMessageW(list_, LB_SETTABSTOPS, 2, reinterpret_cast<LPARAM>(stops));
    // Class, then text, then states.
    const int controlStops[] = {50, 150};
    SendMessageW(controlsList_, LB_SETTABSTOPS, 2, reinterpret_cast<LPARAM>(controlStops));
    EnableWindow(close_, FALSE);
    return true;
}

void ViewerWindow::Show(int show)
{
    Layout();
    Select(initial_);
    shown_ = true;
    ShowWindow(show);
    UpdateWindow();
    UpdateVisibility();
}

void ViewerWindow::OnFinalMessage(HWND)
{
    worker_.reset();
    // A window that failed in its creation ends no message loop: the caller reports the failure.
    if (shown_)
        PostQuitMessage(0);
}

void ViewerWindow::Layout()
{
    RECT client;
    GetClientRect(m_hWnd, &client);
    const int margin = 8;
    const int listWidth = 360;
    const int buttonHeight = 28;
    const int statusHeight = 20;
    // The windows above, the selected one's controls below them.
    const int columnHeight = client.bottom - 3 * margin - buttonHeight;
    const int listHeight = std::max(0, columnHeight * 11 / 20);
    const int controlsTop = margin + listHeight + margin;
    ::MoveWindow(list_, margin, margin, listWidth, listHeight, TRUE);
    ::MoveWindow(controlsLabel_, margin, controlsTop, listWidth, statusHeight, TRUE);
    ::MoveWindow(controlsList_, margin, controlsTop + statusHeight,
                 listWidth, std::max(0, margin + columnHeight - controlsTop - statusHeight), TRUE);
    ::MoveWindow(close_, margin, client.bottom - margin - buttonHeight, 120, buttonHeight, TRUE);
    const int left = 2 * margin + listWidth;
    ::MoveWindow(statusLabel_, left, margin, client.right - left - margin, statusHeight, TRUE);
    picture_.MoveWindow(left, margin + statusHeight + 4, client.right - left - margin,
                        client.bottom - 2 * margin - statusHeight - 4);
}

void ViewerWindow::UpdateVisibility()
{
    if (worker_)
        worker_->SetVisible(IsWindowVisible(m_hWnd) && !IsIconic(m_hWnd));
}

void ViewerWindow::Select(uint32_t window)
{
    if (window == selected_)
        return;
    selected_ = window;
    ShowControls({}, std::wstring());
    picture_.Show(window);
    picture_.SetPlaceholder(window == 0 ? status_ : std::wstring());
    EnableWindow(close_, window != 0);
    worker_->Select(window);
}

void ViewerWindow::ShowList(std::vector<agent::WindowEntry> list)
{
    const auto same = [](const agent::WindowEntry& a, const agent::WindowEntry& b) {
        return a.window == b.window && a.processId == b.processId && a.program == b.program && a.title == b.title &&
               a.place == b.place;
    };
    if (list.size() == windows_.size() && std::equal(list.begin(), list.end(), windows_.begin(), same))
        return;
    windows_ = std::move(list);
    SendMessageW(list_, WM_SETREDRAW, FALSE, 0);
    SendMessageW(list_, LB_RESETCONTENT, 0, 0);
    int selectedIndex = -1;
    for (const agent::WindowEntry& entry : windows_)
    {
        // A window off the console's desktop (a service's own window station) says where it is,
        // by its station alone where the desktop is the usual one.
        std::wstring place;
        if (!entry.place.empty() && entry.place != agent::InteractivePlace)
        {
            const std::wstring usual = L"\\Default";
            const bool onUsual = entry.place.size() > usual.size() &&
                                 entry.place.compare(entry.place.size() - usual.size(), usual.size(), usual) == 0;
            place = L"[" + DisplayText(onUsual ? entry.place.substr(0, entry.place.size() - usual.size()) : entry.place) +
                    L"] ";
        }
        const std::wstring line = place + (entry.title.empty() ? L"(no title)" : DisplayText(entry.title)) + L"\t" +
                                  DisplayText(entry.program) + L"\t" + std::to_wstring(entry.processId);
        const LRESULT index = SendMessageW(list_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line.c_str()));
        if (index >= 0)
        {
            SendMessageW(list_, LB_SETITEMDATA, index, entry.window);
            if (entry.window == selected_)
                selectedIndex = static_cast<int>(index);
        }
    }
    SendMessageW(list_, LB_SETCURSEL, selectedIndex, 0);
    SendMessageW(list_, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(list_, nullptr, TRUE);
    if (selectedIndex < 0)
        Select(0);
}

void ViewerWindow::ShowControls(std::vector<agent::Control> controls, const std::wstring& problem)
{
    const auto same = [](const agent::Control& a, const agent::Control& b) {
        return a.control == b.control && a.state == b.state && a.className == b.className && a.text == b.text;
    };
    if (problem == controlsProblem_ && controls.size() == controls_.size() &&
        std::equal(controls.begin(), controls.end(), controls_.begin(), same))
        return;
    const LRESULT chosen = SendMessageW(controlsList_, LB_GETCURSEL, 0, 0);
    const uint32_t chosenControl = chosen >= 0 && static_cast<size_t>(chosen) < controls_.size() ? controls_[chosen].control : 0;
    controls_ = std::move(controls);
    controlsProblem_ = problem;
    SendMessageW(controlsList_, WM_SETREDRAW, FALSE, 0);
    SendMessageW(controlsList_, LB_RESETCONTENT, 0, 0);
    for (size_t i = 0; i < controls_.size(); ++i)
    {
        const agent::Control& control = controls_[i];
        const std::wstring line =
            DisplayText(control.className) + L"\t" + DisplayText(control.text) + L"\t" + StateWords(control.state);
        SendMessageW(controlsList_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line.c_str()));
        if (control.control == chosenControl)
            SendMessageW(controlsList_, LB_SETCURSEL, i, 0);
    }
    if (!problem.empty())
        SendMessageW(controlsList_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(problem.c_str()));
    SendMessageW(controlsList_, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(controlsList_, nullptr, TRUE);
}

void ViewerWindow::PressChosenControl()
{
    const LRESULT chosen = SendMessageW(controlsList_, LB_GETCURSEL, 0, 0);
    if (chosen < 0 || static_cast<size_t>(chosen) >= controls_.size() || !IsPressable(controls_[chosen]))
        return;
    Input input = Input::To(Input::Press, selected_);
    input.control = controls_[chosen].control;
    worker_->Send(std::move(input));
}

// The selected window's name, process and size over its picture.
void ViewerWindow::ShowPictureStatus()
{
    const agent::Image& picture = picture_.Picture();
    for (const agent::WindowEntry& entry : windows_)
        if (entry.window == selected_)
        {
            std::wstring status = format_window_id(entry.window) + L"   " + DisplayText(entry.program) +
                                  L"   pid " + std::to_wstring(entry.processId) + L"   " +
                                  std::to_wstring(picture.width) + L" x " + std::to_wstring(picture.height);
            // Not what the window looks like: the platform drew nothing there.
            if (picture.drawn)
                status += L"   drawn from its structure";
            if (!entry.place.empty() && entry.place != agent::InteractivePlace)
                status += L"   on " + DisplayText(entry.place);
            SetWindowTextW(statusLabel_, status.c_str());
        }
}

void ViewerWindow::OnResults()
{
    Results results = worker_->TakeResults();
    if (results.status)
    {
        status_ = *results.status;
        if (status_.empty())
            status_ = L"Connected to the session 0 agent.";
        SetWindowTextW(statusLabel_, status_.c_str());
        picture_.SetPlaceholder(selected_ == 0 ? status_ : std::wstring());
    }
    if (results.list)
    {
        ShowList(std::move(*results.list));
        if (selected_ == 0)
            SetWindowTextW(statusLabel_, (std::to_wstring(windows_.size()) +
                                          L" windows on the session 0 desktop. Select one to see it.")
                                             .c_str());
    }
    if (results.image && results.imageWindow == selected_ && selected_ != 0)
    {
        picture_.SetPicture(std::move(*results.image));
        ShowPictureStatus();
    }
    if (results.controls && results.controlsWindow == selected_ && selected_ != 0)
        ShowControls(std::move(*results.controls), results.controlsProblem);
}

bool ViewerWindow::OnCommand(WORD id, WORD code)
{
    if (id == ListId && code == LBN_SELCHANGE)
    {
        const LRESULT index = SendMessageW(list_, LB_GETCURSEL, 0, 0);
        Select(index >= 0 ? static_cast<uint32_t>(SendMessageW(list_, LB_GETITEMDATA, index, 0)) : 0);
        return true;
    }
    if (id == ControlsId && code == LBN_DBLCLK)
    {
        PressChosenControl();
        return true;
    }
    if (id == CloseId && code == BN_CLICKED)
    {
        worker_->Send(Input::To(Input::Close, selected_));
        return true;
    }
    return false;
}

BOOL ViewerWindow::ProcessWindowMessage(HWND, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult, DWORD)
{
    lResult = 0;
    switch (uMsg)
    {
    case WM_CREATE:
        lResult = OnCreate();
        return TRUE;
    case WM_SIZE:
        Layout();
        UpdateVisibility();
        return TRUE;
    case WM_SHOWWINDOW:
    case WM_WINDOWPOSCHANGED:
        lResult = DefWindowProc(uMsg, wParam, lParam);
        UpdateVisibility();
        return TRUE;
    case WM_COMMAND:
        return OnCommand(LOWORD(wParam), HIWORD(wParam));
    case WM_VIEWER_RESULTS:
        OnResults();
        return TRUE;
    case WM_VKEYTOITEM:
        // -1: the list box moves its selection as usual; -2: the key was handled here.
        lResult = -1;
        if (reinterpret_cast<HWND>(lParam) == controlsList_ && LOWORD(wParam) == VK_RETURN)
        {
            PressChosenControl();
            lResult = -2;
        }
        return TRUE;
    default:
        return FALSE;
    }
}
}
}

int run_viewer_window(HINSTANCE instance, int show, uint32_t selected)
{
    CWindowClasses classes(instance);
    viewer::ViewerWindow window(selected);
    if (window.Create(classes) == nullptr)
    {
        const std::wstring text = L"The window could not be created: " + from_utf8(win32_message(GetLastError()));
        MessageBoxW(nullptr, text.c_str(), viewer::Title, MB_ICONERROR | MB_OK);
        return 1;
    }
    window.Show(show);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0)
    {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}
