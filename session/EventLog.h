#pragma once

// Events of the source "Quillon" in the Application log, written with the classic ReportEventW.
// Their texts are the message table compiled into QuillonTray.exe (agent/AuditMessages.mc),
// which the source's registration names; the strings fill its inserts.

#include <windows.h>

#include <initializer_list>
#include <string>

namespace eventlog
{
// Writes one event. Its type follows the severity of messageId (informational, warning, error);
// userSid, a SID string, is the event's user (none when empty or not a SID). Never fails the
// caller: an event that cannot be written is lost.
void Report(DWORD messageId, const std::wstring& userSid, std::initializer_list<const wchar_t*> strings) noexcept;
}
