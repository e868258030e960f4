// Shows what a service shows on its desktop and waits for an answer: a message box "Bench
// question" (OK/Cancel), a dialog "Bench licence" with an edit box and OK, and a plain window
// "Bench plain". Each answer is appended to the result file as one UTF-8 line:
//     box=<id the box returned>
//     dialog=<id the dialog ended with> text=<what the edit box held>
//     plain=closed
// The program ends when all three are gone, or after two minutes.
//
//     BenchDialogs RESULT_FILE
//     BenchDialogs --hang MILLISECONDS    a window "Bench hung" whose thread sleeps that long
//     BenchDialogs --canvas moving|still SECONDS
//                                         an 800x600 window "Bench moving", whose whole picture
//                                         changes every 16 ms, or "Bench still", which never
//                                         changes; it ends when closed or after SECONDS
//     BenchDialogs --lookalikes SECONDS   windows under the class names of Quillon's own windows
//                                         ("Bench shell class", "Bench taskbar class", "Bench
//                                         tray class") and "Bench \u202Egnp.exe\t\u2066x", a
//                                         title with bidirectional controls and a tab; it ends
//                                         after SECONDS
//     BenchDialogs --station STATION RESULT_FILE
//                                         on the window station STATION (opened, or made when
//                                         there is none of the name), desktop Default: a dialog
//                                         "Bench station dialog" (a static text, an edit box, a
//                                         check box "&Keep trying" checked, a default button
//                                         "&Retry", a button "Cancel") and a plain window "Bench
//                                         station plain"; the dialog's answer is the line
//                                             station=<id the dialog ended with> text=<edit box> check=<0|1>

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "DialogTemplate.h"

namespace
{
constexpr WORD EditId = 100;
constexpr WORD CheckId = 101;
std::wstring resultFile;
CRITICAL_SECTION resultLock;
LONG open = 3;

void Report(const std::wstring& line)
{
    EnterCriticalSection(&resultLock);
    const int size = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(size > 0 ? size - 1 : 0, '\0');
    if (size > 1)
        WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, &utf8[0], size, nullptr, nullptr);
    if (FILE* file = _wfopen(resultFile.c_str(), L"ab"))
    {
        std::fprintf(file, "%s\n", utf8.c_str());
        std::fclose(file);
    }
    LeaveCriticalSection(&resultLock);
}

void Ended()
{
    if (InterlockedDecrement(&open) == 0)
        ExitProcess(0);
}

INT_PTR CALLBACK LicenceProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    if (message == WM_INITDIALOG)
        return TRUE;
    if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL))
    {
        wchar_t text[256] = {};
        GetDlgItemTextW(dialog, EditId, text, ARRAYSIZE(text));
        Report(L"dialog=" + std::to_wstring(LOWORD(wParam)) + L" text=" + text);
        EndDialog(dialog, LOWORD(wParam));
        return TRUE;
    }
    return FALSE;
}

DWORD WINAPI LicenceThread(void*)
{
    // Top left, away from the centred message box: each shows whole on the screen.
    bench::DialogTemplate dialog;
    dialog.Header(DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_VISIBLE, L"Bench licence", 10, 10, 180, 60, 8,
                  L"MS Shell Dlg");
    dialog.Item(ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, 10, 10, 160, 14, EditId, 0x0081, L"");
    dialog.Item(BS_DEFPUSHBUTTON | WS_TABSTOP, 65, 36, 50, 14, IDOK, 0x0080, L"OK");
    DialogBoxIndirectParamW(GetModuleHandleW(nullptr), dialog.get(), nullptr, LicenceProc, 0);
    Ended();
    return 0;
}

DWORD WINAPI QuestionThread(void*)
{
    const int answer = MessageBoxW(nullptr, L"Continue with the bench?", L"Bench question", MB_OKCANCEL);
    Report(L"box=" + std::to_wstring(answer));
    Ended();
    return 0;
}

LRESULT CALLBACK PlainProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message)
    {
    case WM_CLOSE:
        Report(L"plain=closed");
        DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        Ended();
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

HWND PlainWindow(const wchar_t* title, int x, int y)
{
    WNDCLASSW wc{};
    wc.lpfnWndProc = PlainProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = L"BenchPlain";
    RegisterClassW(&wc);
    const HWND window = CreateWindowExW(0, wc.lpszClassName, title, WS_OVERLAPPEDWINDOW | WS_VISIBLE, x, y, 300, 200,
                                        nullptr, nullptr, wc.hInstance, nullptr);
    UpdateWindow(window);
    return window;
}

// The canvas draws the same picture for WM_PAINT and for a capture (WM_PRINTCLIENT): a colour and
// a bar that move with the frame count.
LONG frame = 0;

void DrawCanvas(HWND window, HDC dc)
{
    RECT client;
    GetClientRect(window, &client);
    const HBRUSH background = CreateSolidBrush(RGB((frame * 3) & 0xFF, 96, 160));
    FillRect(dc, &client, background);
    DeleteObject(background);
    const LONG width = client.right > 40 ? client.right - 40 : 1;
    const RECT bar{(frame * 8) % width, 0, (frame * 8) % width + 40, client.bottom};
    FillRect(dc, &bar, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
}

LRESULT CALLBACK CanvasProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message)
    {
    case WM_TIMER:
        ++frame;
        InvalidateRect(window, nullptr, FALSE);
        return 0;
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT:
    {
        PAINTSTRUCT paint;
        const HDC dc = BeginPaint(window, &paint);
        DrawCanvas(window, dc);
        EndPaint(window, &paint);
        return 0;
    }
    case WM_PRINTCLIENT:
        DrawCanvas(window, reinterpret_cast<HDC>(wParam));
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

int Canvas(bool moving, DWORD seconds)
{
    WNDCLASSW wc{};
    wc.lpfnWndProc = CanvasProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = L"BenchCanvas";
    RegisterClassW(&wc);
    const HWND window = CreateWindowExW(0, wc.lpszClassName, moving ? L"Bench moving" : L"Bench still",
                                        WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_VISIBLE, moving ? 40 : 80,
                                        moving ? 40 : 80, 800, 600, nullptr, nullptr, wc.hInstance, nullptr);
    if (window == nullptr)
        return 1;
    if (moving)
        SetTimer(window, 1, 16, nullptr);
    UpdateWindow(window);
    const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(seconds) * 1000;
    MSG msg{};
    for (ULONGLONG now = GetTickCount64(); now < end; now = GetTickCount64())
    {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        {
            if (msg.message == WM_QUIT)
                return 0;
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    return 0;
}

void Pump(DWORD forMs)
{
    const ULONGLONG end = GetTickCount64() + forMs;
    MSG msg{};
    for (ULONGLONG now = GetTickCount64(); now < end; now = GetTickCount64())
    {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

int Lookalikes(DWORD seconds)
{
    const struct
    {
        const wchar_t* className;
        const wchar_t* title;
    } windows[] = {{L"$$$UI0Background", L"Bench shell class"},
                   {L"Shell_TrayWnd", L"Bench taskbar class"},
                   {L"QuillonTray", L"Bench tray class"},
                   {L"BenchLookalike", L"Bench \u202Egnp.exe\t\u2066x"}};
    int x = 700;
    for (const auto& window : windows)
    {
        WNDCLASSW wc{};
        wc.lpfnWndProc = DefWindowProcW;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
        wc.lpszClassName = window.className;
        RegisterClassW(&wc);
        if (CreateWindowExW(0, window.className, window.title, WS_OVERLAPPEDWINDOW | WS_VISIBLE, x, 600, 200, 100,
                            nullptr, nullptr, wc.hInstance, nullptr) == nullptr)
            return 1;
        x += 40;
    }
    Pump(seconds * 1000);
    return 0;
}

INT_PTR CALLBACK StationProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    if (message == WM_INITDIALOG)
    {
        CheckDlgButton(dialog, CheckId, BST_CHECKED);
        return TRUE;
    }
    if (message == WM_COMMAND && (LOWORD(wParam) == IDRETRY || LOWORD(wParam) == IDCANCEL))
    {
        wchar_t text[256] = {};
        GetDlgItemTextW(dialog, EditId, text, ARRAYSIZE(text));
        Report(L"station=" + std::to_wstring(LOWORD(wParam)) + L" text=" + text +
               L" check=" + std::to_wstring(IsDlgButtonChecked(dialog, CheckId)));
        EndDialog(dialog, LOWORD(wParam));
        return TRUE;
    }
    return FALSE;
}

HDESK stationDesktop = nullptr;

DWORD WINAPI StationDialogThread(void*)
{
    // Before the thread's first window: a thread with a window cannot change desktops.
    if (!SetThreadDesktop(stationDesktop))
        ExitProcess(3);
    bench::DialogTemplate dialog;
    dialog.Header(DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_VISIBLE, L"Bench station dialog", 10, 10, 200,
                  90, 8, L"MS Shell Dlg");
    dialog.Item(SS_LEFT, 10, 8, 180, 10, 0xFFFF, 0x0082, L"The bench service cannot reach its server.");
    dialog.Item(ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, 10, 22, 180, 14, EditId, 0x0081, L"");
    dialog.Item(BS_AUTOCHECKBOX | WS_TABSTOP, 10, 42, 100, 12, CheckId, 0x0080, L"&Keep trying");
    dialog.Item(BS_DEFPUSHBUTTON | WS_TABSTOP, 80, 66, 50, 14, IDRETRY, 0x0080, L"&Retry");
    dialog.Item(BS_PUSHBUTTON | WS_TABSTOP, 140, 66, 50, 14, IDCANCEL, 0x0080, L"Cancel");
    DialogBoxIndirectParamW(GetModuleHandleW(nullptr), dialog.get(), nullptr, StationProc, 0);
    Ended();
    return 0;
}

// The windows of a service that is not interactive: on a window station of its own.
int OnStation(const wchar_t* name)
{
    HWINSTA station = OpenWindowStationW(name, FALSE, WINSTA_ALL_ACCESS);
    if (station == nullptr)
        station = CreateWindowStationW(name, 0, WINSTA_ALL_ACCESS, nullptr);
    if (station == nullptr || !SetProcessWindowStation(station))
        return 3;
    stationDesktop = OpenDesktopW(L"Default", 0, FALSE, GENERIC_ALL);
    if (stationDesktop == nullptr)
        stationDesktop = CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    if (stationDesktop == nullptr || !SetThreadDesktop(stationDesktop))
        return 3;
    open = 2;
    CloseHandle(CreateThread(nullptr, 0, StationDialogThread, nullptr, 0, nullptr));
    PlainWindow(L"Bench station plain", 420, 20);
    Pump(120000);
    return 1;
}
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == nullptr || count < 2)
        return 2;
    if (count >= 3 && std::wstring(arguments[1]) == L"--hang")
    {
        const DWORD sleepMs = static_cast<DWORD>(_wtoi(arguments[2]));
        PlainWindow(L"Bench hung", 600, 400);
        Pump(500);
        Sleep(sleepMs);
        Pump(1000);
        return 0;
    }
    if (std::wstring(arguments[1]) == L"--lookalikes")
        return Lookalikes(count >= 3 ? static_cast<DWORD>(_wtoi(arguments[2])) : 60);
    if (count >= 4 && std::wstring(arguments[1]) == L"--canvas")
        return Canvas(std::wstring(arguments[2]) == L"moving", static_cast<DWORD>(_wtoi(arguments[3])));
    InitializeCriticalSection(&resultLock);
    if (count >= 4 && std::wstring(arguments[1]) == L"--station")
    {
        resultFile = arguments[3];
        return OnStation(arguments[2]);
    }
    resultFile = arguments[1];
    CloseHandle(CreateThread(nullptr, 0, QuestionThread, nullptr, 0, nullptr));
    CloseHandle(CreateThread(nullptr, 0, LicenceThread, nullptr, 0, nullptr));
    PlainWindow(L"Bench plain", 20, 400);
    Pump(120000);
    return 1;
}
