// Fails on purpose, with the service's own crash-dump handling installed as the service does.
//   BenchCrash ui|pool|together|fault REPORT
// ui: a C++ exception thrown from a window procedure on the thread running the message loop;
// pool: thrown from a thread-pool wait callback; together: thrown on two threads at once;
// fault: an access violation. Before failing, each failing thread appends its id in decimal,
// one per line, to REPORT. Exit code 99 when nothing failed within 30 s.

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <stdexcept>
#include <string>

#include "service/CrashDump.h"

namespace
{
const wchar_t* reportPath = L"";
HANDLE go = nullptr;
HANDLE ready[2] = {};

void ReportThread()
{
    const HANDLE file = CreateFileW(reportPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    char line[32];
    const int length = std::snprintf(line, sizeof line, "%lu\n", GetCurrentThreadId());
    DWORD written = 0;
    WriteFile(file, line, static_cast<DWORD>(length), &written, nullptr);
    CloseHandle(file);
}

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
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int)
{
    InstallCrashDumpHandling();
    if (__argc < 3)
        return 2;
    const std::wstring mode = __wargv[1];
    reportPath = __wargv[2];

    if (mode == L"ui")
        return RunUi(instance);

    go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (mode == L"pool")
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
