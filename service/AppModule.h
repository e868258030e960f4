#pragma once

#include <windows.h>

#include <map>

#include "session/WindowFramework.h"

class CMessageLoop
{
public:
    // Runs until WM_QUIT and returns its wParam. A failed GetMessageW (-1) is skipped, and so
    // is a message that only the system sends (IsSentOnly).
    int Run();

private:
    MSG m_msg{};
};

// The process-wide application module: instance handle, the UI thread's id and message loop,
// and the window classes registered by this module.
class CAppModule
{
public:
    CAppModule();
    ~CAppModule();
    CAppModule(const CAppModule&) = delete;
    CAppModule& operator=(const CAppModule&) = delete;

    void Init();
    void Term();

    HINSTANCE GetModuleInstance() const { return m_hInst; }
    DWORD GetMainThreadId() const { return m_dwMainThreadID; }

    bool AddMessageLoop(CMessageLoop* loop);
    bool RemoveMessageLoop();
    CMessageLoop* GetMessageLoop(DWORD threadId) const;

    CWindowClasses& WindowClasses() { return m_classes; }

private:
    HINSTANCE m_hInst;
    DWORD m_dwMainThreadID = 0;
    mutable CRITICAL_SECTION m_lock;
    std::map<DWORD, CMessageLoop*>* m_pMsgLoopMap = nullptr;
    CWindowClasses m_classes;
};

extern CAppModule g_Module;
