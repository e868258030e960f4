#include "WindowFramework.h"

#include "CrashDump.h"

CWindowClasses::CWindowClasses(HINSTANCE instance) : m_hInst(instance)
{
    InitializeCriticalSection(&m_lock);
}

CWindowClasses::~CWindowClasses()
{
    for (ATOM atom : m_atoms)
        UnregisterClassW(MAKEINTATOM(atom), m_hInst);
    DeleteCriticalSection(&m_lock);
}

ATOM CWindowClasses::Register(const WNDCLASSEXW& wc)
{
    WNDCLASSEXW ours = wc;
    ours.hInstance = m_hInst;
    EnterCriticalSection(&m_lock);
    ATOM atom = RegisterClassExW(&ours);
    if (atom != 0)
    {
        m_atoms.push_back(atom);
    }
    else if (GetLastError() == ERROR_CLASS_ALREADY_EXISTS)
    {
        WNDCLASSEXW existing{};
        existing.cbSize = sizeof existing;
        atom = static_cast<ATOM>(GetClassInfoExW(m_hInst, ours.lpszClassName, &existing));
    }
    LeaveCriticalSection(&m_lock);
    return atom;
}

CWindowImplBaseT::Bindings& CWindowImplBaseT::ThreadBindings()
{
    thread_local Bindings bindings;
    return bindings;
}

CWindowImplBaseT*& CWindowImplBaseT::ThreadCreating()
{
    thread_local CWindowImplBaseT* creating = nullptr;
    return creating;
}

HWND CWindowImplBaseT::CreateImpl(CWindowClasses& classes, const WNDCLASSEXW& wc, HWND parent, const RECT& rect, LPCWSTR windowName,
                                  DWORD style, DWORD exStyle, HMENU menuOrId)
{
    const ATOM atom = classes.Register(wc);
    if (atom == 0)
        return nullptr;

    ThreadCreating() = this;
    const HWND hWnd = ::CreateWindowExW(exStyle, MAKEINTATOM(atom), windowName, style, rect.left, rect.top,
                                        rect.right - rect.left, rect.bottom - rect.top, parent, menuOrId,
                                        classes.Instance(), nullptr);
    ThreadCreating() = nullptr;
    return hWnd;
}

LRESULT CALLBACK CWindowImplBaseT::WindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    // An exception must not reach the system's caller of the window procedure, which may swallow
    // it (Wine does) and leave a service that nobody can stop: the process ends with a dump.
    try
    {
        return Dispatch(hWnd, uMsg, wParam, lParam);
    }
    catch (...)
    {
        EndProcessWithDump(UncaughtCppExceptionCode);
    }
}

LRESULT CWindowImplBaseT::Dispatch(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    Bindings& bindings = ThreadBindings();
    CWindowImplBaseT* self = nullptr;
    const auto found = bindings.find(hWnd);
    if (found != bindings.end())
    {
        self = found->second;
    }
    else
    {
        // The first message of a window being created by this thread binds it.
        self = ThreadCreating();
        if (self == nullptr)
            return ::DefWindowProcW(hWnd, uMsg, wParam, lParam);
        ThreadCreating() = nullptr;
        self->m_hWnd = hWnd;
        bindings.emplace(hWnd, self);
    }

    const CurrentMessage message{hWnd, uMsg, wParam, lParam};
    const CurrentMessage* const outer = self->m_pCurrentMsg;
    self->m_pCurrentMsg = &message;
    LRESULT result = 0;
    const BOOL handled = self->ProcessWindowMessage(hWnd, uMsg, wParam, lParam, result, 0);
    self->m_pCurrentMsg = outer;

    if (!handled)
        result = ::DefWindowProcW(hWnd, uMsg, wParam, lParam);
    if (uMsg == WM_NCDESTROY)
        self->m_dwState |= WINSTATE_DESTROYED;

    // A window destroyed from inside one of its own handlers gets its final message only once
    // the outermost handler has returned, so no handler runs on a torn-down object.
    if ((self->m_dwState & WINSTATE_DESTROYED) != 0 && outer == nullptr)
    {
        const HWND old = self->m_hWnd;
        self->m_hWnd = nullptr;
        self->m_dwState &= ~WINSTATE_DESTROYED;
        bindings.erase(old);
        self->OnFinalMessage(old);
    }
    return result;
}
