#pragma once

// Asked afresh at every use. They answer truthfully on Windows 10 only because the program's
// manifest lists Windows 10 among its supported systems.
namespace quillon
{
bool IsWindows10OrGreater();
bool IsWindowsServer();
}
