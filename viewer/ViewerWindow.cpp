#include "ViewerWindow.h"

#include <windowsx.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "Commands.h"
#include "agent/AgentClient.h"
#include "agent/CaptureSchedule.h"
#include "session/Names.h"
#include "session/SystemError.h"

namespace
{
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr const wchar_t* MainClass = ViewerWindowClass;
constexpr const wchar_t* ImageClass = L"QuillonViewerImage";
constexpr const wchar_t* Title = L"Quillon session 0 windows";

constexpr UINT WM_VIEWER_RESULTS = WM_APP + 1;   // the worker has something new for the window
constexpr int ListId = 1;
constexpr int CloseId = 2;
constexpr int StatusId = 3;
constexpr int ImageId = 4;

constexpr milliseconds ListPeriod(1000);
constexpr milliseconds ConnectPeriod(2000);

struct Input
{
    enum Kind
    {
        Click,
        Text,
        Key,
        Close
    } kind = Click;
    uint32_t window = 0;
    int32_t x = 0;
    int32_t y = 0;
    bool right = false;
    bool twice = false;
    std::wstring text;
    uint16_t key = 0;

    static Input To(Kind kind, uint32_t window)
    {
        Input input;
        input.kind = kind;
        input.window = window;
        return input;
    }
};

// What the window and its worker share, under the mutex. The worker owns the connection and
// makes every agent call, so no call can hold up the window.
struct Shared
{
    std::mutex mutex;
    std::condition_variable wake;
    HWND notify = nullptr;

    // Window to worker.
    bool stop = false;
    bool visible = false;
    bool poke = false;   // the selection changed: capture at once
    uint32_t selected = 0;
    std::deque<Input> inputs;

    // Worker to window.
    std::optional<std::vector<agent::WindowEntry>> list;
    std::optional<agent::Image> image;
    uint32_t imageWindow = 0;
    std::optional<std::wstring> status;
};

std::wstring Words(const std::exception& error)
{
    std::wstring text = from_utf8(error.what());
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
        text.pop_back();
    return text;
}

// Failures after which the connection cannot be trusted to be in step any more.
bool ConnectionLost(const std::system_error& error)
{
    switch (error.code().value())
    {
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
    case ERROR_PIPE_NOT_CONNECTED:
    case ERROR_BAD_PIPE:
    case ERROR_INVALID_HANDLE:
    case ERROR_INVALID_DATA:
    case ERROR_SEM_TIMEOUT:
    case ERROR_TIMEOUT:
    case WAIT_TIMEOUT:
        return true;
    default:
        return false;
    }
}

void Worker(std::shared_ptr<Shared> shared)
{
    std::optional<agent::Client> client;
    Clock::time_point nextConnect = Clock::now();
    Clock::time_point nextList = Clock::now();
    agent::CaptureSchedule capture;
    uint32_t capturedWindow = 0;
    uint64_t hash = 0;

    std::unique_lock<std::mutex> lock(shared->mutex);
    for (;;)
    {
        Clock::time_point due = Clock::now() + milliseconds(1000);
        if (shared->visible)
            due = !client ? nextConnect : std::min(nextList, shared->selected != 0 ? capture.Due() : nextList);
        shared->wake.wait_until(lock, due, [&] { return shared->stop || shared->poke || !shared->inputs.empty(); });
        if (shared->stop)
            return;
        const bool visible = shared->visible;
        const uint32_t selected = shared->selected;
        if (shared->poke || !shared->inputs.empty())
            capture.Restart();
        shared->poke = false;
        std::deque<Input> inputs;
        inputs.swap(shared->inputs);
        lock.unlock();

        std::optional<std::vector<agent::WindowEntry>> list;
        std::optional<agent::Image> image;
        std::optional<std::wstring> status;
        const Clock::time_point now = Clock::now();
        try
        {
            if (!client && (visible || !inputs.empty()) && now >= nextConnect)
            {
                nextConnect = now + ConnectPeriod;
                client.emplace(agent::Client::Connect());
                status = L"";
                nextList = now;
                hash = 0;
            }
            if (client)
            {
                for (const Input& input : inputs)
                {
                    switch (input.kind)
                    {
                    case Input::Click:
                        client->Click(input.window, input.x, input.y, input.right, input.twice);
                        break;
                    case Input::Text:
                        client->Text(input.window, input.text);
                        break;
                    case Input::Key:
                        client->Key(input.window, input.key);
                        break;
                    case Input::Close:
                        client->Close(input.window);
                        nextList = now;
                        break;
                    }
                }
                if (visible && Clock::now() >= nextList)
                {
                    nextList = Clock::now() + ListPeriod;
                    list = client->List();
                }
                if (visible && selected != 0 && Clock::now() >= capture.Due())
                {
                    const Clock::time_point started = Clock::now();
                    if (selected != capturedWindow)
                        hash = 0;
                    agent::Image captured = client->Capture(selected, hash);
                    capturedWindow = selected;
                    const bool changed = !captured.unchanged &&
                                         captured.pixels.size() == static_cast<size_t>(captured.width) * captured.height;
                    if (changed)
                    {
                        hash = captured.hash;
                        image = std::move(captured);
                    }
                    capture.Asked(started, changed);
                }
            }
        }
        catch (const std::system_error& error)
        {
            status = Words(error);
            if (!client || ConnectionLost(error))
                client.reset();
            // A window that failed (gone, hung) is not asked again at once.
            capture.DelayUntil(Clock::now() + ListPeriod);
        }
        catch (const std::exception& error)
        {
            status = Words(error);
            client.reset();
        }

        lock.lock();
        const bool news = list || image || status;
        if (list)
            shared->list = std::move(list);
        if (image)
        {
            shared->image = std::move(image);
            shared->imageWindow = capturedWindow;
        }
        if (status)
            shared->status = std::move(status);
        if (news)
            PostMessageW(shared->notify, WM_VIEWER_RESULTS, 0, 0);
    }
}

class Viewer
{
public:
    Viewer() : shared_(std::make_shared<Shared>()) {}

    ~Viewer()
    {
        // The window is gone by now; the worker ends after its current call, which is bounded.
        if (worker_.joinable())
        {
            {
                std::lock_guard<std::mutex> lock(shared_->mutex);
                shared_->stop = true;
            }
            shared_->wake.notify_all();
            worker_.join();
        }
        if (font_ != nullptr)
            DeleteObject(font_);
    }

    bool Create(HINSTANCE instance, int show, uint32_t selected);
    static LRESULT CALLBACK MainProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK ImageProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

private:
    LRESULT OnMain(UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT OnImage(UINT message, WPARAM wParam, LPARAM lParam);
    void Layout();
    void UpdateVisibility();
    void OnResults();
    void ShowList(std::vector<agent::WindowEntry> list);
    void Select(uint32_t window);
    void Send(Input input);
    void UpdateScrollBars();
    void Scroll(int bar, int request, int thumb);
    void PaintImage(HDC dc);

    std::shared_ptr<Shared> shared_;
    std::thread worker_;
    HWND main_ = nullptr;
    HWND list_ = nullptr;
    HWND close_ = nullptr;
    HWND statusLabel_ = nullptr;
    HWND image_ = nullptr;
    HFONT font_ = nullptr;

    std::vector<agent::WindowEntry> windows_;
    uint32_t selected_ = 0;
    agent::Image picture_;
    std::wstring status_;
    int scrollX_ = 0;
    int scrollY_ = 0;
};

Viewer* viewer = nullptr;   // the program has one window, on one thread

bool Viewer::Create(HINSTANCE instance, int show, uint32_t selected)
{
    WNDCLASSEXW main{};
    main.cbSize = sizeof main;
    main.lpfnWndProc = &MainProc;
    main.hInstance = instance;
    main.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    main.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    main.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    main.lpszClassName = MainClass;
    WNDCLASSEXW image{};
    image.cbSize = sizeof image;
    image.style = CS_DBLCLKS;
    image.lpfnWndProc = &ImageProc;
    image.hInstance = instance;
    image.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    image.lpszClassName = ImageClass;
    if (RegisterClassExW(&main) == 0 || RegisterClassExW(&image) == 0)
        return false;

    main_ = CreateWindowExW(0, MainClass, Title, WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, CW_USEDEFAULT, CW_USEDEFAULT,
                            1100, 720, nullptr, nullptr, instance, nullptr);
    if (main_ == nullptr)
        return false;
    shared_->notify = main_;
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0))
        font_ = CreateFontIndirectW(&metrics.lfMessageFont);

    list_ = CreateWindowExW(WS_EX_CLIENTEDGE, L"LISTBOX", nullptr,
                            WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | LBS_NOTIFY | LBS_USETABSTOPS |
                                LBS_NOINTEGRALHEIGHT,
                            0, 0, 0, 0, main_, reinterpret_cast<HMENU>(ListId), instance, nullptr);
    close_ = CreateWindowExW(0, L"BUTTON", L"Close window", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 0,
                             0, 0, 0, main_, reinterpret_cast<HMENU>(CloseId), instance, nullptr);
    statusLabel_ = CreateWindowExW(0, L"STATIC", L"Connecting to the session 0 agent...",
                                   WS_CHILD | WS_VISIBLE | SS_LEFTNOWORDWRAP | SS_NOPREFIX, 0, 0, 0, 0, main_,
                                   reinterpret_cast<HMENU>(StatusId), instance, nullptr);
    image_ = CreateWindowExW(WS_EX_CLIENTEDGE, ImageClass, nullptr,
                             WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_HSCROLL | WS_VSCROLL, 0, 0, 0, 0, main_,
                             reinterpret_cast<HMENU>(ImageId), instance, nullptr);
    if (list_ == nullptr || close_ == nullptr || statusLabel_ == nullptr || image_ == nullptr)
        return false;
    for (HWND child : {list_, close_, statusLabel_})
        SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    // Title, then program, then process id.
    const int stops[] = {110, 170};
    SendMessageW(list_, LB_SETTABSTOPS, 2, reinterpret_cast<LPARAM>(stops));
    EnableWindow(close_, FALSE);

    Layout();
    Select(selected);
    worker_ = std::thread(&Worker, shared_);
    ShowWindow(main_, show);
    UpdateWindow(main_);
    UpdateVisibility();
    return true;
}

LRESULT CALLBACK Viewer::MainProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (viewer != nullptr && viewer->main_ == window)
        return viewer->OnMain(message, wParam, lParam);
    return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT CALLBACK Viewer::ImageProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (viewer != nullptr && viewer->image_ == window)
        return viewer->OnImage(message, wParam, lParam);
    return DefWindowProcW(window, message, wParam, lParam);
}

void Viewer::Layout()
{
    RECT client;
    GetClientRect(main_, &client);
    const int margin = 8;
    const int listWidth = 360;
    const int buttonHeight = 28;
    const int statusHeight = 20;
    MoveWindow(list_, margin, margin, listWidth, client.bottom - 3 * margin - buttonHeight, TRUE);
    MoveWindow(close_, margin, client.bottom - margin - buttonHeight, 120, buttonHeight, TRUE);
    const int left = 2 * margin + listWidth;
    MoveWindow(statusLabel_, left, margin, client.right - left - margin, statusHeight, TRUE);
    MoveWindow(image_, left, margin + statusHeight + 4, client.right - left - margin,
               client.bottom - 2 * margin - statusHeight - 4, TRUE);
}

void Viewer::UpdateVisibility()
{
    const bool visible = IsWindowVisible(main_) && !IsIconic(main_);
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        if (shared_->visible == visible)
            return;
        shared_->visible = visible;
        shared_->poke = visible;
    }
    shared_->wake.notify_all();
}

void Viewer::Send(Input input)
{
    if (input.window == 0)
        return;
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        // A hung agent must not make the queue grow without end.
        if (shared_->inputs.size() >= 256)
            return;
        shared_->inputs.push_back(std::move(input));
    }
    shared_->wake.notify_all();
}

void Viewer::Select(uint32_t window)
{
    if (window == selected_)
        return;
    selected_ = window;
    picture_ = agent::Image();
    scrollX_ = scrollY_ = 0;
    UpdateScrollBars();
    InvalidateRect(image_, nullptr, TRUE);
    EnableWindow(close_, window != 0);
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->selected = window;
        shared_->poke = true;
        shared_->image.reset();
    }
    shared_->wake.notify_all();
}

void Viewer::ShowList(std::vector<agent::WindowEntry> list)
{
    const auto same = [](const agent::WindowEntry& a, const agent::WindowEntry& b) {
        return a.window == b.window && a.processId == b.processId && a.program == b.program && a.title == b.title;
    };
    if (list.size() == windows_.size() && std::equal(list.begin(), list.end(), windows_.begin(), same))
        return;
    windows_ = std::move(list);
    SendMessageW(list_, WM_SETREDRAW, FALSE, 0);
    SendMessageW(list_, LB_RESETCONTENT, 0, 0);
    int selectedIndex = -1;
    for (const agent::WindowEntry& entry : windows_)
    {
        std::wstring line = (entry.title.empty() ? L"(no title)" : entry.title) + L"\t" + entry.program + L"\t" +
                            std::to_wstring(entry.processId);
        for (wchar_t& c : line)
            if (c < L' ' && c != L'\t')
                c = L' ';
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

void Viewer::OnResults()
{
    std::optional<std::vector<agent::WindowEntry>> list;
    std::optional<agent::Image> image;
    uint32_t imageWindow = 0;
    std::optional<std::wstring> status;
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        list.swap(shared_->list);
        image.swap(shared_->image);
        imageWindow = shared_->imageWindow;
        status.swap(shared_->status);
    }
    if (status)
    {
        status_ = *status;
        if (status_.empty())
            status_ = L"Connected to the session 0 agent.";
        SetWindowTextW(statusLabel_, status_.c_str());
        if (picture_.pixels.empty())
            InvalidateRect(image_, nullptr, TRUE);
    }
    if (list)
    {
        ShowList(std::move(*list));
        if (selected_ == 0)
            SetWindowTextW(statusLabel_, (std::to_wstring(windows_.size()) +
                                          L" windows on the session 0 desktop. Select one to see it.")
                                             .c_str());
    }
    if (image && imageWindow == selected_ && selected_ != 0)
    {
        const bool resized = image->width != picture_.width || image->height != picture_.height;
        picture_ = std::move(*image);
        if (resized)
            UpdateScrollBars();
        InvalidateRect(image_, nullptr, resized);
        for (const agent::WindowEntry& entry : windows_)
            if (entry.window == selected_)
                SetWindowTextW(statusLabel_, (format_window_id(entry.window) + L"   " + entry.program + L"   pid " +
                                              std::to_wstring(entry.processId) + L"   " +
                                              std::to_wstring(picture_.width) + L" x " +
                                              std::to_wstring(picture_.height))
                                                 .c_str());
    }
}

LRESULT Viewer::OnMain(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message)
    {
    case WM_SIZE:
        Layout();
        UpdateVisibility();
        return 0;
    case WM_SHOWWINDOW:
    case WM_WINDOWPOSCHANGED:
    {
        const LRESULT result = DefWindowProcW(main_, message, wParam, lParam);
        UpdateVisibility();
        return result;
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == ListId && HIWORD(wParam) == LBN_SELCHANGE)
        {
            const LRESULT index = SendMessageW(list_, LB_GETCURSEL, 0, 0);
            Select(index >= 0 ? static_cast<uint32_t>(SendMessageW(list_, LB_GETITEMDATA, index, 0)) : 0);
            return 0;
        }
        if (LOWORD(wParam) == CloseId && HIWORD(wParam) == BN_CLICKED)
        {
            Send(Input::To(Input::Close, selected_));
            return 0;
        }
        break;
    case WM_VIEWER_RESULTS:
        OnResults();
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(main_, message, wParam, lParam);
}

void Viewer::UpdateScrollBars()
{
    RECT client;
    GetClientRect(image_, &client);
    SCROLLINFO info{};
    info.cbSize = sizeof info;
    info.fMask = SIF_RANGE | SIF_PAGE | SIF_POS | SIF_DISABLENOSCROLL;
    info.nMax = static_cast<int>(picture_.width) - 1;
    info.nPage = client.right;
    scrollX_ = std::max(0, std::min(scrollX_, static_cast<int>(picture_.width) - static_cast<int>(client.right)));
    info.nPos = scrollX_;
    SetScrollInfo(image_, SB_HORZ, &info, TRUE);
    info.nMax = static_cast<int>(picture_.height) - 1;
    info.nPage = client.bottom;
    scrollY_ = std::max(0, std::min(scrollY_, static_cast<int>(picture_.height) - static_cast<int>(client.bottom)));
    info.nPos = scrollY_;
    SetScrollInfo(image_, SB_VERT, &info, TRUE);
}

void Viewer::Scroll(int bar, int request, int thumb)
{
    SCROLLINFO info{};
    info.cbSize = sizeof info;
    info.fMask = SIF_ALL;
    GetScrollInfo(image_, bar, &info);
    int position = info.nPos;
    switch (request)
    {
    case SB_LINEUP: position -= 20; break;
    case SB_LINEDOWN: position += 20; break;
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
    SetScrollInfo(image_, bar, &info, TRUE);
    InvalidateRect(image_, nullptr, FALSE);
}

void Viewer::PaintImage(HDC dc)
{
    RECT client;
    GetClientRect(image_, &client);
    if (picture_.pixels.empty())
    {
        FillRect(dc, &client, GetSysColorBrush(COLOR_APPWORKSPACE));
        const std::wstring text = selected_ == 0 ? status_ : L"";
        if (!text.empty())
        {
            SetBkMode(dc, TRANSPARENT);
            SetTextColor(dc, GetSysColor(COLOR_WINDOW));
            const HGDIOBJ old = SelectObject(dc, font_);
            RECT box = client;
            InflateRect(&box, -16, -16);
            DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &box, DT_WORDBREAK | DT_NOPREFIX);
            SelectObject(dc, old);
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
    const HBRUSH background = GetSysColorBrush(COLOR_APPWORKSPACE);
    RECT beside{right, 0, client.right, client.bottom};
    if (beside.left < beside.right)
        FillRect(dc, &beside, background);
    RECT below{0, bottom, std::min<LONG>(right, client.right), client.bottom};
    if (below.top < below.bottom)
        FillRect(dc, &below, background);
}

LRESULT Viewer::OnImage(UINT message, WPARAM wParam, LPARAM lParam)
{
    const auto at = [&](bool right, bool twice) {
        SetFocus(image_);
        if (picture_.pixels.empty())
            return;
        const int x = GET_X_LPARAM(lParam) + scrollX_;
        const int y = GET_Y_LPARAM(lParam) + scrollY_;
        if (x < static_cast<int>(picture_.width) && y < static_cast<int>(picture_.height))
        {
            Input input = Input::To(Input::Click, selected_);
            input.x = x;
            input.y = y;
            input.right = right;
            input.twice = twice;
            Send(std::move(input));
        }
    };
    switch (message)
    {
    case WM_PAINT:
    {
        PAINTSTRUCT paint;
        const HDC dc = BeginPaint(image_, &paint);
        PaintImage(dc);
        EndPaint(image_, &paint);
        return 0;
    }
    case WM_ERASEBKGND:
        return 1;
    case WM_SIZE:
        UpdateScrollBars();
        return 0;
    case WM_HSCROLL:
        Scroll(SB_HORZ, LOWORD(wParam), HIWORD(wParam));
        return 0;
    case WM_VSCROLL:
        Scroll(SB_VERT, LOWORD(wParam), HIWORD(wParam));
        return 0;
    case WM_MOUSEWHEEL:
        Scroll(SB_VERT, GET_WHEEL_DELTA_WPARAM(wParam) > 0 ? SB_LINEUP : SB_LINEDOWN, 0);
        return 0;
    case WM_LBUTTONDOWN:
        at(false, false);
        return 0;
    case WM_LBUTTONDBLCLK:
        at(false, true);
        return 0;
    case WM_RBUTTONDOWN:
        at(true, false);
        return 0;
    case WM_RBUTTONDBLCLK:
        at(true, true);
        return 0;
    case WM_GETDLGCODE:
        return DLGC_WANTALLKEYS | DLGC_WANTARROWS | DLGC_WANTCHARS | DLGC_WANTTAB;
    case WM_KEYDOWN:
        switch (wParam)
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
        {
            Input input = Input::To(Input::Key, selected_);
            input.key = static_cast<uint16_t>(wParam);
            Send(std::move(input));
            return 0;
        }
        }
        break;
    case WM_CHAR:
        // Control characters arrive as the keys above.
        if (wParam >= L' ' && wParam != 0x7F)
        {
            Input input = Input::To(Input::Text, selected_);
            input.text.assign(1, static_cast<wchar_t>(wParam));
            Send(std::move(input));
        }
        return 0;
    }
    return DefWindowProcW(image_, message, wParam, lParam);
}
}

int run_viewer_window(HINSTANCE instance, int show, uint32_t selected)
{
    Viewer window;
    viewer = &window;
    if (!window.Create(instance, show, selected))
    {
        const std::wstring text = L"The window could not be created: " + from_utf8(win32_message(GetLastError()));
        MessageBoxW(nullptr, text.c_str(), Title, MB_ICONERROR | MB_OK);
        viewer = nullptr;
        return 1;
    }
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0)
    {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    viewer = nullptr;
    return static_cast<int>(message.wParam);
}
