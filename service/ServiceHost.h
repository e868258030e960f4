#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "StopAction.h"
#include "session/Names.h"

using ServiceBodyFunction = std::function<void(StopActionSlot*)>;

// Stores the body, sets the current directory to the program's and runs the service control
// dispatcher. Returns 0 once the service has stopped, or the dispatcher's error when the process
// was not started by the service control manager.
DWORD RunService(const std::wstring& executablePath, ServiceBodyFunction body);
