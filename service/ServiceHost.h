#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "StopAction.h"

constexpr DWORD RevertSessionControl = 129;

using ServiceBodyFunction = std::function<void(StopActionSlot*)>;

// Stores the body, sets the current directory to the program's and runs the service control
// dispatcher. Returns 0 once the service has stopped, or the dispatcher's error when the process
// was not started by the service control manager.
DWORD RunService(const std::wstring& executablePath, ServiceBodyFunction body);

// The directory part of a program path: everything before its last backslash.
std::wstring ExecutableDirectory(const std::wstring& executablePath);
