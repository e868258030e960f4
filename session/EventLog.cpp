#include "EventLog.h"

#include <sddl.h>

#include "Names.h"
#include "ScopedResource.h"

namespace eventlog
{
namespace
{
// Registered at the first event and kept for the life of the process: a source handle is cheap,
// and deregistering it as the program ends would race with events still being written.
HANDLE Source() noexcept
{
    static const HANDLE source = RegisterEventSourceW(nullptr, EventSourceName);
    return source;
}

// The top two bits of a message id are its severity.
WORD TypeOf(DWORD messageId) noexcept
{
    switch (messageId >> 30)
    {
    case 1:
        return EVENTLOG_INFORMATION_TYPE;
    case 2:
        return EVENTLOG_WARNING_TYPE;
    case 3:
        return EVENTLOG_ERROR_TYPE;
    default:
        return EVENTLOG_SUCCESS;
    }
}
}

void Report(DWORD messageId, const std::wstring& userSid, std::initializer_list<const wchar_t*> strings) noexcept
{
    const HANDLE source = Source();
    if (source == nullptr)
        return;
    ScopedLocal<PSID> sid = MakeScopedLocal<PSID>(nullptr);
    if (!userSid.empty())
        ConvertStringSidToSidW(userSid.c_str(), sid.put());
    ReportEventW(source, TypeOf(messageId), 0, messageId, sid.get(), static_cast<WORD>(strings.size()), 0,
                 const_cast<LPCWSTR*>(strings.begin()), nullptr);
}
}
