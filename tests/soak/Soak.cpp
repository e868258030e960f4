#include "Soak.h"

#include <cstdlib>
#include <cstring>

#include "BenchClient.h"
#include "ProcessFigures.h"

namespace soak
{
bool Full()
{
    const char* value = std::getenv("QUILLON_SOAK");
    return value != nullptr && std::string(value) == "full";
}

int Count(int ci, int full)
{
    return Full() ? full : ci;
}


ServiceFigures FiguresOf(DWORD pid)
{
    ServiceFigures result;
    figures::Process process;
    if (pid == 0 || !figures::Of(pid, &process))
        return result;
    result.valid = true;
    result.handles = process.handles;
    result.threads = process.threads;
    result.privateBytes = process.privateBytes;
    result.workingSet = process.workingSet;
    return result;
}

long long LinuxAnonKb(const std::string& commandLinePart)
{
    char prefix[1024] = "";
    if (GetEnvironmentVariableA("WINEPREFIX", prefix, sizeof prefix) == 0)
        return -1;
    const std::string wanted = std::string("WINEPREFIX=") + prefix;
    WIN32_FIND_DATAW entry{};
    const HANDLE find = FindFirstFileW(L"Z:\\proc\\*", &entry);
    if (find == INVALID_HANDLE_VALUE)
        return -1;
    long long found = -1;
    do
    {
        const std::wstring name = entry.cFileName;
        if (name.empty() || name.find_first_not_of(L"0123456789") != std::wstring::npos)
            continue;
        // Linux's /proc through Wine's drive Z:; its files say size 0 but read to the end.
        const std::wstring folder = L"Z:\\proc\\" + name;
        if (bench::ReadFileBytes(folder + L"\\cmdline").find(commandLinePart) == std::string::npos)
            continue;
        const std::string environment = bench::ReadFileBytes(folder + L"\\environ");
        bool ours = false;
        for (size_t at = 0; at < environment.size(); at += std::strlen(environment.c_str() + at) + 1)
            ours = ours || std::strcmp(environment.c_str() + at, wanted.c_str()) == 0;
        if (!ours)
            continue;
        const std::string status = bench::ReadFileBytes(folder + L"\\status");
        const size_t at = status.find("RssAnon:");
        if (at != std::string::npos)
            found = std::strtoll(status.c_str() + at + 8, nullptr, 10);
        break;
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    return found;
}

std::wstring CrashDumpPath()
{
    const std::wstring folder = bench::LocalLowFolder();
    return folder.empty() ? folder : folder + L"\\Quillon.dmp";
}
}
