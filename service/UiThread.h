#pragma once

#include "StopAction.h"

// The whole life of the UI thread: module start, common controls, the shell and its message
// loop, module end. Writes the loop's result to *exitCode.
void RunUiThread(int* exitCode, StopActionSlot* stopAction);

// Creates and shows the shell window and runs the message loop; 0 when no window could be made.
int RunShell(StopActionSlot* stopAction);
