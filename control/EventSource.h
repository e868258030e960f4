#pragma once

#include <string>

// The audit trail's event source "Quillon" in the Application log: its key names the message
// file, QuillonTray.exe beside the service's program, and the event types it writes.
void register_event_source(const std::wstring& service_program);
// Deletes the key with everything in it; a source that is not registered is no failure.
void remove_event_source();
