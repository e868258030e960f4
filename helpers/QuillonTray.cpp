// QuillonTray.exe: a notification-area icon that tells the user that the session 0 shell is
// running. One copy per session. It ends when its window (class "QuillonTray") is asked to
// close, from the icon's menu, or on the request of every copy to quit (TrayQuit.h).
//
// The copy in session 0 is also the session 0 agent (TrayAgentHost.h); the copies in users'
// sessions follow the agent's feed and tell the user of windows waiting there (TrayFeed.h).

#include <windows.h>
#include <wtsapi32.h>

#include <string>

#include "TrayAgentHost.h"
#include "TrayFeed.h"
#include "TrayQuit.h"
#include "TrayWindow.h"
#include "session/CrashDump.h"
#include "session/ObjectOwner.h"
#include "session/ScopedResource.h"
#include "session/SystemLibraries.h"
#include "session/WindowFramework.h"

namespace
{
// The session this copy runs in, as Terminal Services tells it.
DWORD OwnSession()
{
    LPWSTR buffer = nullptr;
    DWORD bytes = 0;
    if (WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, WTSSessionId, &buffer, &bytes))
    {
        const ScopedWtsMemory owner = MakeScopedWtsMemory(buffer);
        return buffer != nullptr && bytes >= sizeof(DWORD) ? *reinterpret_cast<DWORD*>(buffer) : 0;
    }
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    return session;
}

// One copy per session. The session is part of the name for systems where sessions share one
// object namespace; where Local\ is per session already it changes nothing.
bool ClaimSession(DWORD session, HANDLE* held)
{
    const std::wstring name = L"Local\\QuillonTray-" + std::to_wstring(session);
    return ClaimSingleInstance(name.c_str(), held);
}
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int)
{
    KeepDllSearchInSystemFolder();
    // The session 0 copy reads what other programs' windows hold: a fault there must leave a dump.
    InstallCrashDumpHandling(L"QuillonTray");
    const DWORD session = OwnSession();
    ScopedHandle single = MakeScopedHandle(nullptr);
    if (!ClaimSession(session, single.put()))
        return 0;

    // Declared first, it goes last: until then, a request's backstop also ends a teardown that hangs.
    TrayQuit quit;
    TrayAgentHost agent;
    TrayFeed feed;
    CWindowClasses classes(instance);
    TrayWindow window(session, quit, agent, feed);
    if (window.Create(classes) == nullptr)
        return 1;
    window.Begin();

    MSG msg{};
    while (GetMessageW(&msg, nullptr, 0, 0) > 0)
    {
        if (IsSentOnly(msg))
            continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return static_cast<int>(msg.wParam);
}
