// Fails on purpose, with the service's own crash-dump handling installed as the service does.
//   BenchCrash ui|pool|together|fault|window|wait|moved REPORT [FOLDER]
// ui: a C++ exception thrown from a window procedure on the thread running the message loop;
// pool: thrown from a thread-pool wait callback; together: thrown on two threads at once;
// fault: an access violation; window: thrown by a handler of a window of the service's window
// framework, for a message sent from another thread; wait: thrown by the callback of the
// service's WaitRegistration; moved: the LocalLow folder of the account is redirected to FOLDER
// after start-up, then a thread-pool callback throws. Before failing, each failing thread
// appends its id in decimal, one per line, to REPORT; in the window and wait modes it does so
// only once the exception has unwound the handler, which it does only when caught at the
// handler's edge. Exit code 99 when nothing failed within 30 s, or at once when the system
// swallowed the exception.

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <stdexcept>
#include <string>

#include "session/CrashDump.h"
#include "service/WaitRegistration.h"
#include "session/WindowFramework.h"

namespace
{
const wchar_t* reportPath = L"";
HANDLE go = nullptr;
HANDLE ready[2] = {};

// Two threads reporting at once must not write over each other's line: an append through two
// handles is not atomic under Wine.
SRWLOCK reportLock = SRWLOCK_INIT;

void ReportThread()
{
    AcquireSRWLockExclusive(&reportLock);
    const HANDLE file = CreateFileW(reportPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
    {
        ReleaseSRWLockExclusive(&reportLock);
        return;
    }
    char line[32];
    const int length = std::snprintf(line, sizeof line, "%lu\n", GetCurrentThreadId());
    DWORD written = 0;
    WriteFile(file, line, static_cast<DWORD>(length), &written, nullptr);
    CloseHandle(file);
    ReleaseSRWLockExclusive(&reportLock);
}

// Reports the thread as the stack unwinds past it. A C++ exception that nothing catches does not
// unwind it: MinGW's DWARF unwinder (32-bit) finds no handler and calls std::terminate on the
// whole stack, which the crash-dump handling turns into the same dump and exit code as a catch
// would; so the report is what tells a caught exception from one that would have escaped.
struct ReportWhenUnwound
{
    ~ReportWhenUnwound() { ReportThread(); }
};

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_APP)
    {
        ReportThread();
        throw std::runtime_error("thrown on the UI thread");
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void CALLBACK ThrowingWaitCallback(PVOID, BOOLEAN)
{
    ReportThread();
    throw std::runtime_error("thrown from a thread-pool callback");
}

DWORD WINAPI ThrowTogether(LPVOID index)
{
    ReportThread();
    SetEvent(ready[reinterpret_cast<ULONG_PTR>(index)]);
    WaitForSingleObject(go, INFINITE);
    throw std::runtime_error("thrown at the same moment as another thread");
}

class ThrowingWindow : public CWindowImpl<ThrowingWindow>
{
public:
    static const WNDCLASSEXW& GetWndClassInfo()
    {
        static const WNDCLASSEXW wc = [] {
            WNDCLASSEXW info{};
            info.cbSize = sizeof info;
            info.lpfnWndProc = &CWindowImplBaseT::WindowProc;
            info.lpszClassName = L"QuillonBenchThrowingWindow";
            return info;
        }();
        return wc;
    }

    BOOL ProcessWindowMessage(HWND, UINT uMsg, WPARAM, LPARAM, LRESULT& lResult, DWORD) override
    {
        if (uMsg != WM_APP)
            return FALSE;
        const ReportWhenUnwound report;
        lResult = 0;
        throw std::runtime_error("thrown by a window handler");
    }
};

DWORD WINAPI SendToWindow(LPVOID window)
{
    SendMessageW(static_cast<HWND>(window), WM_APP, 0, 0);
    // Back here only when the exception went nowhere.
    ExitProcess(99);
}

// Handles the thread's messages; 99 when nothing ended the process within 30 s.
int PumpFor30Seconds()
{
    SetTimer(nullptr, 0, 30000, nullptr);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0)
    {
        if (msg.message == WM_TIMER)
            return 99;
        DispatchMessageW(&msg);
    }
    return 99;
}

int RunFrameworkWindow()
{
    CWindowClasses classes(GetModuleHandleW(nullptr));
    ThrowingWindow window;
    const RECT rect{0, 0, 1, 1};
    if (window.Create(classes, nullptr, rect, L"", WS_POPUP) == nullptr)
        return 98;
    // A message sent from another thread reaches the handler through the system's own callback
    // machinery, which is where an exception may be swallowed.
    CreateThread(nullptr, 0, &SendToWindow, window.m_hWnd, 0, nullptr);
    return PumpFor30Seconds();
}

int RunUi(HINSTANCE instance)
{
    WNDCLASSW wc{};
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = instance;
    wc.lpszClassName = L"QuillonBenchCrash";
    RegisterClassW(&wc);
    const HWND window = CreateWindowExW(0, wc.lpszClassName, L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, instance,
                                        nullptr);
    if (window == nullptr)
        return 98;
    PostMessageW(window, WM_APP, 0, 0);
    return PumpFor30Seconds();
}
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int)
{
    InstallCrashDumpHandling(L"Quillon");
    if (__argc < 3)
        return 2;
    const std::wstring mode = __wargv[1];
    reportPath = __wargv[2];

    if (mode == L"ui")
        return RunUi(instance);
    if (mode == L"window")
        return RunFrameworkWindow();
    if (mode == L"moved")
    {
        // Where the shell would now put the account's LocalLow folder: not where the dump goes.
        if (__argc < 4)
            return 2;
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders",
                          0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
            return 97;
        const std::wstring folder = __wargv[3];
        RegSetValueExW(key, L"{A520A1A4-1780-4FF6-BD18-167343C5AF16}", 0, REG_EXPAND_SZ,
                       reinterpret_cast<const BYTE*>(folder.c_str()), static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
    }

    go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    WaitRegistration registration;
    if (mode == L"wait")
    {
        registration.Register(CreateEventW(nullptr, TRUE, TRUE, nullptr), [] {
            const ReportWhenUnwound report;
            throw std::runtime_error("thrown by a wait registration's callback");
        });
    }
    else if (mode == L"pool" || mode == L"moved")
    {
        HANDLE wait = nullptr;
        SetEvent(go);
        RegisterWaitForSingleObject(&wait, go, &ThrowingWaitCallback, nullptr, INFINITE, WT_EXECUTEONLYONCE);
    }
    else if (mode == L"together")
    {
        // Both threads wait at the same gate, then fail as one.
        for (ULONG_PTR i = 0; i < 2; ++i)
        {
            ready[i] = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            CreateThread(nullptr, 0, &ThrowTogether, reinterpret_cast<LPVOID>(i), 0, nullptr);
        }
        WaitForMultipleObjects(2, ready, TRUE, 10000);
        SetEvent(go);
    }
    else if (mode == L"fault")
    {
        ReportThread();
        *static_cast<volatile int*>(nullptr) = 1;
    }
    Sleep(30000);
    return 99;
}
