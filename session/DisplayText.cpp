#include "DisplayText.h"

#include <cwchar>

namespace
{
bool Reorders(wchar_t c)
{
    return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}
}

std::wstring DisplayText(const std::wstring& text)
{
    std::wstring shown;
    shown.reserve(text.size());
    for (const wchar_t c : text)
    {
        if (c < L' ' || (c >= 0x7F && c <= 0x9F))
        {
            shown += L' ';
        }
        else if (Reorders(c))
        {
            wchar_t escaped[8];
            swprintf(escaped, 8, L"\\u%04X", static_cast<unsigned>(c));
            shown += escaped;
        }
        else
        {
            shown += c;
        }
    }
    return shown;
}
