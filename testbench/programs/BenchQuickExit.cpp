// A helper that ends at once, as one that fails at start or finds another copy holding its lock.
// Each start appends one line, its tick count in milliseconds, to "<own image path>.starts", so
// that a test can count the starts it never sees running.

#include <windows.h>

#include <cstdio>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    wchar_t path[MAX_PATH + 8] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return 2;
    wcscat_s(path, L".starts");
    const HANDLE log = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (log == INVALID_HANDLE_VALUE)
        return 3;
    char line[32];
    const int size = std::snprintf(line, sizeof line, "%llu\n", GetTickCount64());
    DWORD written = 0;
    WriteFile(log, line, static_cast<DWORD>(size), &written, nullptr);
    CloseHandle(log);
    return 1;
}
