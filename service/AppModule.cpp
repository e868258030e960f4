#include "AppModule.h"

#include <new>

CAppModule g_Module;

int CMessageLoop::Run()
{
    for (;;)
    {
        const BOOL result = GetMessageW(&m_msg, nullptr, 0, 0);
        if (result == -1)
            continue;
        if (result == 0)
            return static_cast<int>(m_msg.wParam);
        if (IsSentOnly(m_msg))
            continue;
        TranslateMessage(&m_msg);
        DispatchMessageW(&m_msg);
    }
}

CAppModule::CAppModule() : m_hInst(GetModuleHandleW(nullptr)), m_classes(m_hInst)
{
    InitializeCriticalSection(&m_lock);
}

CAppModule::~CAppModule()
{
    delete m_pMsgLoopMap;
    DeleteCriticalSection(&m_lock);
}

void CAppModule::Init()
{
    EnterCriticalSection(&m_lock);
    m_dwMainThreadID = GetCurrentThreadId();
    delete m_pMsgLoopMap;
    m_pMsgLoopMap = new (std::nothrow) std::map<DWORD, CMessageLoop*>();
    LeaveCriticalSection(&m_lock);
}

void CAppModule::Term()
{
    EnterCriticalSection(&m_lock);
    delete m_pMsgLoopMap;
    m_pMsgLoopMap = nullptr;
    LeaveCriticalSection(&m_lock);
}

bool CAppModule::AddMessageLoop(CMessageLoop* loop)
{
    EnterCriticalSection(&m_lock);
    const bool added = m_pMsgLoopMap != nullptr && m_pMsgLoopMap->emplace(GetCurrentThreadId(), loop).second;
    LeaveCriticalSection(&m_lock);
    return added;
}

bool CAppModule::RemoveMessageLoop()
{
    EnterCriticalSection(&m_lock);
    const bool removed = m_pMsgLoopMap != nullptr && m_pMsgLoopMap->erase(GetCurrentThreadId()) != 0;
    LeaveCriticalSection(&m_lock);
    return removed;
}

CMessageLoop* CAppModule::GetMessageLoop(DWORD threadId) const
{
    EnterCriticalSection(&m_lock);
    CMessageLoop* loop = nullptr;
    if (m_pMsgLoopMap != nullptr)
    {
        const auto found = m_pMsgLoopMap->find(threadId);
        if (found != m_pMsgLoopMap->end())
            loop = found->second;
    }
    LeaveCriticalSection(&m_lock);
    return loop;
}
