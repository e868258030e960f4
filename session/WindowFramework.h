#pragma once

#include <windows.h>

#include <unordered_map>
#include <vector>

// A small window framework: an object is bound to its window once, at creation, through a
// table local to the window's thread (window procedures always run there). No executable
// thunk memory is needed, and no other process can redirect the binding, as it could
// through GWLP_USERDATA or a window property.

// The window classes of one module: each registered once per process under the module's
// instance (a class of the same name that it already registered is reused), and unregistered
// when the owner goes away. Each program owns one; the window classes below are handed it.
class CWindowClasses
{
public:
    explicit CWindowClasses(HINSTANCE instance);
    ~CWindowClasses();
    CWindowClasses(const CWindowClasses&) = delete;
    CWindowClasses& operator=(const CWindowClasses&) = delete;

    HINSTANCE Instance() const { return m_hInst; }
    // The class is registered under this module's instance, whatever wc.hInstance says.
    // Returns the class atom, 0 on failure.
    ATOM Register(const WNDCLASSEXW& wc);

private:
    HINSTANCE m_hInst;
    CRITICAL_SECTION m_lock;
    std::vector<ATOM> m_atoms;
};

// The messages that the system only ever sends, as it creates or destroys a window. One taken
// from a message queue was posted by some program: dispatched, a WM_NCDESTROY would tear down
// the window's object while the window lives on. Message loops drop them.
inline bool IsSentOnly(const MSG& message)
{
    switch (message.message)
    {
    case WM_NCCREATE:
    case WM_CREATE:
    case WM_DESTROY:
    case WM_NCDESTROY:
        return true;
    default:
        return false;
    }
}

class CWindow
{
public:
    HWND m_hWnd = nullptr;

    explicit CWindow(HWND hWnd = nullptr) noexcept : m_hWnd(hWnd) {}
    operator HWND() const noexcept { return m_hWnd; }

    BOOL DestroyWindow() { return ::DestroyWindow(m_hWnd); }
    BOOL ShowWindow(int command) { return ::ShowWindow(m_hWnd, command); }
    BOOL UpdateWindow() { return ::UpdateWindow(m_hWnd); }
    BOOL SetWindowPos(HWND insertAfter, int x, int y, int cx, int cy, UINT flags)
    {
        return ::SetWindowPos(m_hWnd, insertAfter, x, y, cx, cy, flags);
    }
    BOOL GetWindowRect(RECT* rect) const { return ::GetWindowRect(m_hWnd, rect); }
    BOOL MoveWindow(int x, int y, int width, int height, BOOL repaint = TRUE)
    {
        return ::MoveWindow(m_hWnd, x, y, width, height, repaint);
    }
    BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0)
    {
        return ::PostMessageW(m_hWnd, message, wParam, lParam);
    }
    UINT_PTR SetTimer(UINT_PTR id, UINT elapse, TIMERPROC proc) { return ::SetTimer(m_hWnd, id, elapse, proc); }
    BOOL KillTimer(UINT_PTR id) { return ::KillTimer(m_hWnd, id); }
};

template <DWORD Style, DWORD ExStyle>
struct CWinTraits
{
    static DWORD GetWndStyle(DWORD style) { return style == 0 ? Style : style; }
    static DWORD GetWndExStyle(DWORD exStyle) { return exStyle == 0 ? ExStyle : exStyle; }
};

class CMessageMap
{
public:
    virtual BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult,
                                      DWORD dwMsgMapID = 0) = 0;
};

class CWindowImplRoot : public CWindow, public CMessageMap
{
public:
    virtual ~CWindowImplRoot() = default;

    struct CurrentMessage
    {
        HWND hwnd;
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
    };

protected:
    enum : DWORD
    {
        WINSTATE_DESTROYED = 0x00000001
    };

    const CurrentMessage* m_pCurrentMsg = nullptr;
    DWORD m_dwState = 0;
};

class CWindowImplBaseT : public CWindowImplRoot
{
public:
    virtual WNDPROC GetWindowProc() { return WindowProc; }
    // Called after the window's last message, when m_hWnd is already null.
    virtual void OnFinalMessage(HWND /*hWnd*/) {}

    LRESULT DefWindowProc(UINT uMsg, WPARAM wParam, LPARAM lParam)
    {
        return ::DefWindowProcW(m_hWnd, uMsg, wParam, lParam);
    }

    static LRESULT CALLBACK WindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);

protected:
    HWND CreateImpl(CWindowClasses& classes, const WNDCLASSEXW& wc, HWND parent, const RECT& rect, LPCWSTR windowName, DWORD style,
                    DWORD exStyle, HMENU menuOrId);

private:
    static LRESULT Dispatch(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);

    using Bindings = std::unordered_map<HWND, CWindowImplBaseT*>;
    static Bindings& ThreadBindings();
    static CWindowImplBaseT*& ThreadCreating();
};

template <class T, class TBase = CWindow, class TWinTraits = CWinTraits<0, 0>>
class CWindowImpl : public CWindowImplBaseT
{
public:
    // menuOrId: a top-level window's menu, or a child window's id (GetDlgItem finds it by that).
    HWND Create(CWindowClasses& classes, HWND parent, const RECT& rect, LPCWSTR windowName, DWORD style = 0,
                DWORD exStyle = 0, HMENU menuOrId = nullptr)
    {
        return CreateImpl(classes, T::GetWndClassInfo(), parent, rect, windowName, TWinTraits::GetWndStyle(style),
                          TWinTraits::GetWndExStyle(exStyle), menuOrId);
    }
};
