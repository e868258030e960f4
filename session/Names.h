#pragma once

#include <windows.h>

// Names by which Quillon's programs find, start, signal and recognise each other. Copies of
// different versions meet (a tray left running across an update, the tool of one version and
// the service of another): each spelling is a contract and stays as it is.

// The Windows service entry whose program Quillon replaces, and the user-defined control code
// that makes the running service return the console to the user's session.
constexpr const wchar_t* Ui0DetectServiceName = L"UI0Detect";
constexpr DWORD RevertSessionControl = 129;

// The shipped programs, which sit in one folder.
constexpr const wchar_t* ServiceImage = L"Quillon.exe";
constexpr const wchar_t* ControlImage = L"QuillonControl.exe";
constexpr const wchar_t* ExplorerImage = L"QuillonExplorer.exe";
constexpr const wchar_t* TrayImage = L"QuillonTray.exe";
constexpr const wchar_t* ViewerImage = L"QuillonViewer.exe";
// All of them: whoever can change one of these can run code as LocalSystem or as an elevated
// administrator.
constexpr const wchar_t* ShippedPrograms[] = {ServiceImage, ControlImage, ExplorerImage, TrayImage, ViewerImage};

// Window classes: the shell's desktop window; the explorer helper's, which is the class of
// Windows' taskbar (what programs look for); the tray helper's; the viewer's main window.
constexpr const wchar_t* ShellWindowClass = L"$$$UI0Background";
constexpr const wchar_t* ExplorerWindowClass = L"Shell_TrayWnd";
constexpr const wchar_t* TrayWindowClass = L"QuillonTray";
constexpr const wchar_t* ViewerWindowClass = L"QuillonViewer";

// The exit code of the session 0 tray that could not take the agent's pipe name (someone else
// holds it): the service starts the tray again after its pause, and the agent comes up once
// the name is free. (ERROR_PIPE_BUSY: all instances of the pipe are taken.)
constexpr DWORD TrayAgentNameTakenExitCode = 231;

// Set by the control tool, it asks every copy of the tray in every session to quit.
constexpr const wchar_t* QuitAllEventName = L"Global\\QuillonTray_QuitAll";

// The event source of the audit trail in the Application log, which the control tool registers
// with QuillonTray.exe as its message file, and the key of that registration under HKLM.
constexpr const wchar_t* EventSourceName = L"Quillon";
constexpr const wchar_t* EventSourceKey = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Quillon";

// The shell hook's code for a window that flashes (HSHELL_FLASH), which not every SDK defines.
constexpr WPARAM ShellFlash = 0x8006;
