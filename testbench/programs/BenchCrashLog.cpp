// The bench prefix's post-mortem debugger (AeDebug): a program that crashes without a filter of
// its own would otherwise start Wine's debugger, whose crash dialog waits for an answer that no
// one on a test machine gives. This one appends a line naming the crashed program to a log and
// ends without attaching, so the crashed process ends too.
//
//   BenchCrashLog.exe LOG PID EVENT     (AeDebug: "...BenchCrashLog.exe" "LOG" %ld %ld)

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    int count = 0;
    wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
    if (args == nullptr || count < 3)
        return 2;
    const DWORD pid = static_cast<DWORD>(wcstoul(args[2], nullptr, 10));

    std::wstring image = L"(image unknown)";
    if (const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid))
    {
        wchar_t path[MAX_PATH * 2] = {};
        DWORD size = MAX_PATH * 2;
        if (QueryFullProcessImageNameW(process, 0, path, &size))
            image = path;
        CloseHandle(process);
    }

    SYSTEMTIME now = {};
    GetSystemTime(&now);
    char line[MAX_PATH * 8];
    const int length = std::snprintf(line, sizeof line, "%02u:%02u:%02u crashed: process %lu, %ls\n", now.wHour,
                                     now.wMinute, now.wSecond, static_cast<unsigned long>(pid), image.c_str());
    const HANDLE log = CreateFileW(args[1], FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (log == INVALID_HANDLE_VALUE || length <= 0)
        return 3;
    DWORD written = 0;
    WriteFile(log, line, static_cast<DWORD>(length < static_cast<int>(sizeof line) ? length : sizeof line - 1),
              &written, nullptr);
    CloseHandle(log);
    return 0;
}
