// What a person is shown of a title or program name that another program chose.

#include <gtest/gtest.h>

#include <cwchar>

#include "session/DisplayText.h"

TEST(DisplayText, ControlsBecomeSpacesAndReorderingCharactersEscapes)
{
    // Ordinary text stays as it is, a path's backslashes included.
    const std::wstring ordinary = L"Setup \u00e9t\u00e9 C:\\x \u05e9\u05dc\u05d5\u05dd";
    EXPECT_EQ(DisplayText(ordinary), ordinary);
    EXPECT_EQ(DisplayText(L"a\tb\r\nc\x7F" L"d\x85" L"e"), L"a b  c d e");

    for (const wchar_t c : {0x061C, 0x200E, 0x200F, 0x2028, 0x2029, 0x202A, 0x202B, 0x202C, 0x202D, 0x202E, 0x2066,
                            0x2067, 0x2068, 0x2069})
    {
        wchar_t expected[16];
        swprintf(expected, 16, L"x\\u%04Xy", static_cast<unsigned>(c));
        EXPECT_EQ(DisplayText(std::wstring(L"x") + c + L"y"), expected);
    }
    // Their neighbours join or space letters without moving them.
    for (const wchar_t c : {0x061B, 0x200D, 0x2027, 0x202F, 0x2065, 0x206A})
        EXPECT_EQ(DisplayText(std::wstring(1, c)), std::wstring(1, c));
}
