#pragma once

#include <windows.h>

#include <string>

#include "session/Names.h"
#include "session/ScopedResource.h"

// Longest time the tool waits for the service to leave a pending state after a stop.
constexpr DWORD StopWaitLimitMs = 30000;

ScopedServiceHandle open_ui0detect_service(DWORD access);
void enable_interactive_services();
// The quoted or bare path of Quillon.exe in the tool's folder. Raises a system error when the
// tool's path is unknown, the image path would not fit in MAX_PATH, or an account that is not an
// administrator can change the folder (see session/FolderSecurity.h).
std::wstring service_image_path();
void replace_ui0detect_image(const std::wstring& image_path);
void restore_ui0detect_image();

// Windows 10 1803 and later, Windows 11 and Server 2019 and later register no UI0Detect entry.
// There the tool creates one as earlier Windows registered it and marks it as its own; the mark
// is believed only while no account but administrators can write the entry's key.
bool ui0detect_exists();
bool ui0detect_created_by_quillon();
void create_ui0detect_service(const std::wstring& image_path);
// Deletes an entry the tool created and waits a bounded time until the manager has dropped it.
void remove_ui0detect_service();
void stop_ui0detect_service(bool start_again);
void signal_tray_quit_all();
void send_revert_control();

// The procedures the command line selects.
void replace_procedure();
void restore_procedure();
void install_procedure();
void uninstall_procedure();
void restart_procedure();
void start_procedure();
void stop_procedure();
void revert_procedure();
