#include "UiThread.h"

#include <windows.h>
#include <commctrl.h>

#include "AppModule.h"
#include "shell/ShellWindow.h"

int RunShell(StopActionSlot* stopAction)
{
    CMessageLoop loop;
    g_Module.AddMessageLoop(&loop);

    int result = 0;
    {
        QuillonShellWindow shell;
        if (shell.Create() != nullptr)
        {
            shell.ShowWindow(SW_SHOWNOACTIVATE);
            shell.UpdateWindow();
            // Runs on the service control handler's thread: posts nothing once the window is gone.
            stopAction->Fill([&shell] { shell.RequestStop(); });
            // The shell's teardown posts the quit once its window is gone. A quit that another
            // program posts to the window or to this thread comes while it still lives, and is
            // no stop.
            do
                result = loop.Run();
            while (shell.m_hWnd != nullptr);
            // The action refers to this stack frame; no stop may reach it after this point.
            stopAction->Clear();
        }
        else
        {
            stopAction->Clear();
        }
    }
    g_Module.RemoveMessageLoop();
    return result;
}

void RunUiThread(int* exitCode, StopActionSlot* stopAction)
{
    g_Module.Init();
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_WIN95_CLASSES;
    InitCommonControlsEx(&controls);
    *exitCode = RunShell(stopAction);
    g_Module.Term();
}
