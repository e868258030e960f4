#pragma once

#include <windows.h>

#include "session/ScopedResource.h"

// The Windows service entry whose image the tool replaces, and the user-defined control code
// that makes the running service return the console to the user's session.
constexpr const wchar_t* Ui0DetectServiceName = L"UI0Detect";
constexpr DWORD RevertSessionControl = 129;

// Longest time the tool waits for the service to leave a pending state after a stop.
constexpr DWORD StopWaitLimitMs = 30000;

ScopedServiceHandle open_ui0detect_service(DWORD access);
void enable_interactive_services();
void replace_ui0detect_image();
void restore_ui0detect_image();
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
