#pragma once

// The audit trail as the bench sees it. Wine's ReportEventW writes no event log: it traces each
// string of an event on the eventlog channel, one line per string, information as trace:,
// warnings as warn:, errors as err: ("0130:warn:eventlog:ReportEventW L\"...\""), each string
// escaped as Wine's debugstr_w does and cut after some 300 characters ("..." follows). The
// bench boots its prefix with WINEDEBUG=-all,+eventlog, so the service and every program it
// starts trace into logs/wineboot.log of the build folder (testbench/lib.sh), read from here.

#include <windows.h>

#include <string>
#include <vector>

namespace bench
{
// One traced string of an event.
struct TracedString
{
    DWORD thread = 0;
    std::string kind;     // "trace", "warn" or "err"
    std::wstring text;    // unescaped; only the start of the string when cut
    bool cut = false;
};

class EventTrace
{
public:
    // Reads only what is traced from now on.
    EventTrace();

    static std::wstring LogPath();

    // Every string traced since, in the log's order.
    std::vector<TracedString> Strings() const;

    // The strings of an event of the kind (the kind tells its type: warn for a warning, err for
    // an error) whose first strings are `leading`: `count` strings that one thread traced one
    // after the other. False when there is none.
    bool Find(const char* kind, const std::vector<std::wstring>& leading, size_t count,
              std::vector<std::wstring>* strings = nullptr) const;
    bool WaitFor(const char* kind, const std::vector<std::wstring>& leading, size_t count, DWORD timeoutMs,
                 std::vector<std::wstring>* strings = nullptr) const;

    // The traced strings since, one per line, for a test's failure message.
    std::string Dump() const;

private:
    LONGLONG start_ = 0;
};
}
