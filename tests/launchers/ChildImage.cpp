#include "ChildImage.h"

#include <sddl.h>
#include <tlhelp32.h>

#include <algorithm>

#include <BenchClient.h>

std::wstring ChildReport::Variable(const std::wstring& name) const
{
    const std::wstring prefix = name + L"=";
    for (const std::wstring& entry : environment)
        if (entry.compare(0, prefix.size(), prefix) == 0)
            return entry.substr(prefix.size());
    return L"<absent>";
}

ChildImage::ChildImage(std::wstring name) : name_(std::move(name)), path_(bench::ProgramDirectory() + L"\\" + name_)
{
    const std::wstring source = bench::ProgramDirectory() + L"\\..\\testbench\\BenchChild.exe";
    DeleteFileW((path_ + L".report").c_str());
    copied_ = CopyFileW(source.c_str(), path_.c_str(), FALSE) != FALSE;
}

ChildImage::~ChildImage()
{
    for (const DWORD pid : started_)
        EndChild(pid);
    const std::wstring report = path_ + L".report";
    bench::WaitUntil([&] { return DeleteFileW(path_.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND; }, 5000);
    DeleteFileW(report.c_str());
}

bool ChildImage::WaitForReport(ChildReport& report, DWORD timeoutMs)
{
    const std::wstring reportPath = path_ + L".report";
    std::wstring text;
    const bool arrived = bench::WaitUntil(
        [&] {
            const HANDLE file = CreateFileW(reportPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                            nullptr, OPEN_EXISTING, 0, nullptr);
            if (file == INVALID_HANDLE_VALUE)
                return false;
            const DWORD size = GetFileSize(file, nullptr);
            text.assign(size / sizeof(wchar_t), L'\0');
            DWORD read = 0;
            ReadFile(file, text.data(), size, &read, nullptr);
            CloseHandle(file);
            return true;
        },
        timeoutMs);
    if (!arrived)
        return false;
    DeleteFileW(reportPath.c_str());

    report = ChildReport{};
    size_t start = 0;
    while (start < text.size())
    {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos)
            end = text.size();
        const std::wstring line = text.substr(start, end - start);
        start = end + 1;
        const size_t equals = line.find(L'=');
        if (equals == std::wstring::npos)
            continue;
        const std::wstring key = line.substr(0, equals), value = line.substr(equals + 1);
        if (key == L"pid")
            report.pid = wcstoul(value.c_str(), nullptr, 10);
        else if (key == L"commandline")
            report.commandLine = value;
        else if (key == L"desktop")
            report.desktop = value;
        else if (key == L"directory")
            report.directory = value;
        else if (key == L"user")
            report.user = value;
        else if (key == L"handle")
            report.handles.push_back(value);
        else if (key == L"env")
            report.environment.push_back(value);
    }
    if (report.pid != 0)
        started_.push_back(report.pid);
    return true;
}

bool EndChild(DWORD pid, DWORD timeoutMs)
{
    const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (process == nullptr)
        return true;
    const std::wstring name = L"Local\\BenchChildQuit-" + std::to_wstring(pid);
    if (const HANDLE quit = OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str()))
    {
        SetEvent(quit);
        CloseHandle(quit);
    }
    const bool ended = WaitForSingleObject(process, timeoutMs) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}

int CountProcesses(const std::wstring& imageName)
{
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return -1;
    int count = 0;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        count += imageName == entry.szExeFile ? 1 : 0;
    CloseHandle(snapshot);
    return count;
}

std::wstring OwnUserSid()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return L"?";
    BYTE buffer[512];
    DWORD needed = 0;
    std::wstring text = L"?";
    wchar_t* sid = nullptr;
    if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &needed) &&
        ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid))
    {
        text = sid;
        LocalFree(sid);
    }
    CloseHandle(token);
    return text;
}

bool RewrittenAtStart(const std::wstring& entry)
{
    static const wchar_t* const names[] = {L"PROCESSOR_ARCHITECTURE=", L"PROCESSOR_ARCHITEW6432=", L"SystemRoot=",
                                           L"SystemDrive="};
    for (const wchar_t* name : names)
        if (_wcsnicmp(entry.c_str(), name, wcslen(name)) == 0)
            return true;
    return false;
}

std::vector<std::wstring> SharedEntries(const std::vector<std::wstring>& from, const std::vector<std::wstring>& in)
{
    std::vector<std::wstring> shared;
    for (const std::wstring& entry : from)
        if (!RewrittenAtStart(entry) && std::find(in.begin(), in.end(), entry) != in.end())
            shared.push_back(entry);
    return shared;
}
