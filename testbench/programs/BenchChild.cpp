// Started by the launchers under test: tells what it got, then waits to be told to end.
// The report, "<own image path>.report" (UTF-16, one "key=value" per line), appears whole.
// Every handle named in __inherited_handles is taken for an event and set, so that the parent
// sees the handle really arrived. The copy ends when the event "Local\BenchChildQuit-<pid>"
// is set, or after a minute so that nothing is left behind.

#include <windows.h>
#include <sddl.h>

#include <cwchar>
#include <string>

namespace
{
std::wstring ObjectName(HANDLE object)
{
    wchar_t name[256] = {};
    DWORD needed = 0;
    if (!GetUserObjectInformationW(object, UOI_NAME, name, sizeof name, &needed))
        return L"?";
    return name;
}

std::wstring TokenText()
{
    std::wstring text;
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return L"user=?\nintegrity=?\n";
    BYTE buffer[512];
    DWORD needed = 0;
    text += L"user=";
    if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &needed))
    {
        wchar_t* sid = nullptr;
        if (ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid))
        {
            text += sid;
            LocalFree(sid);
        }
    }
    text += L"\nintegrity=";
    if (GetTokenInformation(token, TokenIntegrityLevel, buffer, sizeof buffer, &needed))
    {
        PSID sid = reinterpret_cast<TOKEN_MANDATORY_LABEL*>(buffer)->Label.Sid;
        wchar_t rid[16];
        swprintf(rid, 16, L"%lx", *GetSidSubAuthority(sid, *GetSidSubAuthorityCount(sid) - 1));
        text += rid;
    }
    text += L"\n";
    CloseHandle(token);
    return text;
}

std::wstring HandlesText()
{
    wchar_t list[1024] = {};
    if (GetEnvironmentVariableW(L"__inherited_handles", list, 1024) == 0)
        return L"";
    std::wstring text;
    for (wchar_t* cursor = list; *cursor != L'\0';)
    {
        wchar_t* end = nullptr;
        const unsigned long value = wcstoul(cursor, &end, 16);
        if (end == cursor)
            break;
        wchar_t line[64];
        if (SetEvent(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(value))))
            swprintf(line, 64, L"handle=%lx:set\n", value);
        else
            swprintf(line, 64, L"handle=%lx:error %lu\n", value, GetLastError());
        text += line;
        cursor = (*end == L',') ? end + 1 : end;
    }
    return text;
}
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    wchar_t image[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, image, MAX_PATH);
    const DWORD pid = GetCurrentProcessId();

    wchar_t quitName[64];
    swprintf(quitName, 64, L"Local\\BenchChildQuit-%lu", pid);
    const HANDLE quit = CreateEventW(nullptr, TRUE, FALSE, quitName);

    std::wstring report;
    DWORD session = 0xFFFFFFFF;
    ProcessIdToSessionId(pid, &session);
    wchar_t line[64];
    swprintf(line, 64, L"pid=%lu\nsession=%lu\n", pid, session);
    report += line;
    report += L"commandline=" + std::wstring(GetCommandLineW()) + L"\n";
    report += L"desktop=" + ObjectName(GetProcessWindowStation()) + L"\\" +
              ObjectName(GetThreadDesktop(GetCurrentThreadId())) + L"\n";
    wchar_t directory[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, directory);
    report += L"directory=" + std::wstring(directory) + L"\n";
    report += TokenText();
    report += HandlesText();
    if (const wchar_t* block = GetEnvironmentStringsW())
    {
        for (const wchar_t* entry = block; *entry != L'\0'; entry += wcslen(entry) + 1)
            report += L"env=" + std::wstring(entry) + L"\n";
        FreeEnvironmentStringsW(const_cast<wchar_t*>(block));
    }

    const std::wstring reportPath = std::wstring(image) + L".report";
    const std::wstring partPath = reportPath + L".part";
    const HANDLE file = CreateFileW(partPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE)
    {
        DWORD written = 0;
        WriteFile(file, report.data(), static_cast<DWORD>(report.size() * sizeof(wchar_t)), &written, nullptr);
        CloseHandle(file);
        MoveFileExW(partPath.c_str(), reportPath.c_str(), MOVEFILE_REPLACE_EXISTING);
    }

    if (quit != nullptr)
        WaitForSingleObject(quit, 60000);
    return 0;
}
