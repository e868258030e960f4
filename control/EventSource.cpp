#include "EventSource.h"

#include <windows.h>
#include <shlwapi.h>

#include "session/Names.h"
#include "session/Paths.h"
#include "session/ScopedResource.h"
#include "session/SystemError.h"

void register_event_source(const std::wstring& service_program)
{
    constexpr const char* context = "Couldn't register the event source Quillon";
    const std::wstring messageFile = FolderOf(service_program) + L"\\" + TrayImage;
    ScopedKey key = MakeScopedKey(nullptr);
    LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, EventSourceKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     KEY_SET_VALUE, nullptr, key.put(), nullptr);
    if (status == ERROR_SUCCESS)
        status = RegSetValueExW(key.get(), L"EventMessageFile", 0, REG_EXPAND_SZ,
                                reinterpret_cast<const BYTE*>(messageFile.c_str()),
                                static_cast<DWORD>((messageFile.size() + 1) * sizeof(wchar_t)));
    // Error, warning and information.
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    if (status == ERROR_SUCCESS)
        status = RegSetValueExW(key.get(), L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                                sizeof types);
    if (status != ERROR_SUCCESS)
        throw_system_error(static_cast<DWORD>(status), context);
}

void remove_event_source()
{
    const DWORD status = SHDeleteKeyW(HKEY_LOCAL_MACHINE, EventSourceKey);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
        throw_system_error(status, "Couldn't remove the event source Quillon");
}
