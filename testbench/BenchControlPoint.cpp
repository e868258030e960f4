// Where a control of a top-level window is, as an administrator would read it off the window's
// picture: BenchControlPoint TITLE CLASS TEXT prints "X Y", the control's centre in the window's
// coordinates (0, 0 is the window's top-left corner). Exit code 1 when there is no such control.

#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 4)
    {
        fwprintf(stderr, L"usage: BenchControlPoint TITLE CLASS TEXT\n");
        return 2;
    }
    const HWND window = FindWindowW(nullptr, argv[1]);
    const HWND control = window != nullptr ? FindWindowExW(window, nullptr, argv[2], argv[3]) : nullptr;
    RECT outer{};
    RECT inner{};
    if (control == nullptr || !GetWindowRect(window, &outer) || !GetWindowRect(control, &inner))
        return 1;
    std::printf("%ld %ld\n", (inner.left + inner.right) / 2 - outer.left, (inner.top + inner.bottom) / 2 - outer.top);
    return 0;
}
