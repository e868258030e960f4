#pragma once

#include <windows.h>

#include <cstdint>

// The viewer's window in the user's session: the session 0 windows in a list, the selected one's
// picture kept live beside it, clicks and keys on the picture passed on; `selected` (a window id,
// 0: none) is selected once the list shows it. Returns the exit code.
int run_viewer_window(HINSTANCE instance, int show, uint32_t selected = 0);
