#include "Controls.h"

#include <windows.h>

namespace viewer
{
namespace
{
bool SameIgnoringCase(const std::wstring& a, const std::wstring& b)
{
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                                TRUE) == CSTR_EQUAL;
}
}

std::wstring StateWords(uint16_t state)
{
    static const struct
    {
        uint16_t bit;
        const wchar_t* word;
    } words[] = {{agent::ControlEnabled, L"enabled"}, {agent::ControlVisible, L"visible"},
                 {agent::ControlChecked, L"checked"}, {agent::ControlFocused, L"focused"},
                 {agent::ControlDefault, L"default"}};
    std::wstring text;
    for (const auto& entry : words)
        if (state & entry.bit)
            text += (text.empty() ? L"" : L" ") + std::wstring(entry.word);
    return text;
}

std::wstring ButtonLabel(const std::wstring& text)
{
    std::wstring label;
    label.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i)
    {
        if (text[i] == L'&')
        {
            if (i + 1 < text.size() && text[i + 1] == L'&')
                label += text[++i];
            continue;
        }
        label += text[i];
    }
    return label;
}

bool IsPressable(const agent::Control& control)
{
    const uint16_t needed = agent::ControlEnabled | agent::ControlVisible;
    return (control.state & needed) == needed && SameIgnoringCase(control.className, L"Button");
}

std::vector<size_t> MatchingButtons(const std::vector<agent::Control>& controls, const std::wstring& text)
{
    std::vector<size_t> found;
    for (size_t i = 0; i < controls.size(); ++i)
        if (IsPressable(controls[i]) && SameIgnoringCase(ButtonLabel(controls[i].text), text))
            found.push_back(i);
    return found;
}
}
