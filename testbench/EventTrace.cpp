#include "EventTrace.h"

#include <cstdio>
#include <map>

#include "BenchClient.h"

namespace bench
{
namespace
{
int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// One line "TTTT:KIND:eventlog:ReportEventW L\"TEXT\"[...]"; false for any other line.
bool Parse(const std::string& line, TracedString& traced)
{
    const size_t kindStart = line.find(':');
    if (kindStart == std::string::npos)
        return false;
    const size_t kindEnd = line.find(':', kindStart + 1);
    static const std::string channel = ":eventlog:ReportEventW L\"";
    if (kindEnd == std::string::npos || line.compare(kindEnd, channel.size(), channel) != 0)
        return false;
    traced.thread = std::stoul(line.substr(0, kindStart), nullptr, 16);
    traced.kind = line.substr(kindStart + 1, kindEnd - kindStart - 1);
    traced.text.clear();
    size_t at = kindEnd + channel.size();
    while (at < line.size() && line[at] != '"')
    {
        char c = line[at++];
        if (c != '\\' || at >= line.size())
        {
            traced.text += static_cast<wchar_t>(static_cast<unsigned char>(c));
            continue;
        }
        c = line[at++];
        if (c == 'n')
            traced.text += L'\n';
        else if (c == 'r')
            traced.text += L'\r';
        else if (c == 't')
            traced.text += L'\t';
        else if (HexDigit(c) >= 0 && at + 3 <= line.size())
        {
            wchar_t unit = static_cast<wchar_t>(HexDigit(c));
            for (int i = 0; i < 3; ++i)
                unit = static_cast<wchar_t>(unit * 16 + HexDigit(line[at++]));
            traced.text += unit;
        }
        else
            traced.text += static_cast<wchar_t>(c);
    }
    traced.cut = line.compare(at, 4, "\"...") == 0;
    return true;
}

bool Matches(const TracedString& traced, const std::wstring& expected)
{
    return traced.cut ? expected.compare(0, traced.text.size(), traced.text) == 0 : traced.text == expected;
}
}

EventTrace::EventTrace()
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (GetFileAttributesExW(LogPath().c_str(), GetFileExInfoStandard, &data))
        start_ = (static_cast<LONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::wstring EventTrace::LogPath()
{
    // Tests run from bin/, the bench's programs from testbench/: both in the build folder.
    const std::wstring folder = ProgramDirectory();
    return folder.substr(0, folder.rfind(L'\\')) + L"\\logs\\wineboot.log";
}

std::vector<TracedString> EventTrace::Strings() const
{
    std::vector<TracedString> strings;
    const HANDLE file = CreateFileW(LogPath().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return strings;
    LARGE_INTEGER offset{};
    offset.QuadPart = start_;
    std::string text;
    if (SetFilePointerEx(file, offset, nullptr, FILE_BEGIN))
    {
        char buffer[64 * 1024];
        DWORD read = 0;
        while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0)
            text.append(buffer, read);
    }
    CloseHandle(file);
    // A line still being written has no line feed yet: it is read next time.
    size_t begin = 0;
    for (size_t end = text.find('\n'); end != std::string::npos; begin = end + 1, end = text.find('\n', begin))
    {
        TracedString traced;
        if (Parse(text.substr(begin, end - begin), traced))
            strings.push_back(traced);
    }
    return strings;
}

bool EventTrace::Find(const char* kind, const std::vector<std::wstring>& leading, size_t count,
                      std::vector<std::wstring>* strings) const
{
    // Threads write their lines whole: an event's strings are consecutive among its thread's.
    std::map<DWORD, std::vector<TracedString>> byThread;
    for (const TracedString& traced : Strings())
        byThread[traced.thread].push_back(traced);
    for (const auto& entry : byThread)
    {
        const std::vector<TracedString>& traced = entry.second;
        for (size_t first = 0; first + count <= traced.size(); ++first)
        {
            size_t matched = 0;
            while (matched < count && traced[first + matched].kind == kind &&
                   (matched >= leading.size() || Matches(traced[first + matched], leading[matched])))
                ++matched;
            if (matched < count)
                continue;
            if (strings != nullptr)
            {
                strings->clear();
                for (size_t i = 0; i < count; ++i)
                    strings->push_back(traced[first + i].text);
            }
            return true;
        }
    }
    return false;
}

bool EventTrace::WaitFor(const char* kind, const std::vector<std::wstring>& leading, size_t count, DWORD timeoutMs,
                         std::vector<std::wstring>* strings) const
{
    return WaitUntil([&] { return Find(kind, leading, count, strings); }, timeoutMs, 100);
}

std::string EventTrace::Dump() const
{
    std::string text;
    for (const TracedString& traced : Strings())
    {
        char thread[16];
        snprintf(thread, sizeof thread, "%04lx:", static_cast<unsigned long>(traced.thread));
        text += thread + traced.kind + ": " + Narrow(traced.text) + (traced.cut ? "..." : "") + "\n";
    }
    return text;
}
}
