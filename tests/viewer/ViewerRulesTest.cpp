// The viewer's pure rules: the JSON it writes for scripts, read back by a strict reader, and
// which button `--press TEXT` and the controls list mean.

#include <gtest/gtest.h>

#include "BenchClient.h"
#include "JsonRead.h"
#include "viewer/Controls.h"
#include "viewer/Json.h"

namespace
{
agent::Control Make(const wchar_t* className, const wchar_t* text, uint16_t state, uint32_t control)
{
    agent::Control made;
    made.control = control;
    made.className = className;
    made.text = text;
    made.state = state;
    return made;
}

constexpr uint16_t Usable = agent::ControlEnabled | agent::ControlVisible;
using Indexes = std::vector<size_t>;
}

TEST(ViewerJson, EveryTextOfAnotherProgramIsValidJsonAndReadsBackTheSame)
{
    // Quotes, backslashes, control characters, a character outside the basic plane and
    // surrogates without their other half (which UTF-8 cannot hold).
    const std::wstring texts[] = {L"plain", L"", L"say \"no\" \\ C:\\x", L"tab\tline\nbell\x07\x1F end",
                                  L"\u00e9\u4e2d\U0001F600", std::wstring(L"lone \xD800 high"),
                                  std::wstring(L"lone \xDC00 low"), std::wstring(L"end \xD83D"),
                                  L"\u202Ebidi\u2028kept"};
    for (const std::wstring& text : texts)
    {
        const std::string quoted = json::Quoted(text);
        jsonread::Value read;
        ASSERT_TRUE(jsonread::Parse(quoted, &read)) << quoted;
        EXPECT_EQ(read.kind, jsonread::Value::String);
        EXPECT_TRUE(read.string == text) << quoted;
    }
    // The escapes themselves: short and predictable for a reader of the raw text.
    EXPECT_EQ(json::Quoted(L"a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\u000A\\u0001\"");
    EXPECT_EQ(json::Quoted(std::wstring(L"x\xDBFFy")), "\"x\\uDBFFy\"");
    EXPECT_EQ(json::Quoted(L"\U0001F600"), "\"\xF0\x9F\x98\x80\"");

    const std::string object = json::Object()
                                   .Text("id", L"0x0001002A")
                                   .Number("pid", 4294967295u)
                                   .Number("left", -3)
                                   .Boolean("enabled", true)
                                   .Boolean("checked", false)
                                   .Close();
    EXPECT_EQ(object, "{\"id\":\"0x0001002A\",\"pid\":4294967295,\"left\":-3,\"enabled\":true,\"checked\":false}");
    const std::string array = json::Array({object, json::Object().Close()});
    EXPECT_EQ(array, "[\n" + object + ",\n{}\n]\n");
    jsonread::Value read;
    ASSERT_TRUE(jsonread::Parse(array, &read));
    ASSERT_EQ(read.items.size(), 2u);
    EXPECT_EQ(read.items[0].Field("pid")->number, 4294967295.0);
    EXPECT_EQ(json::Array({}), "[]\n");
    jsonread::Value empty;
    ASSERT_TRUE(jsonread::Parse(json::Array({}), &empty));
    EXPECT_EQ(empty.kind, jsonread::Value::Array);
    EXPECT_TRUE(empty.items.empty());
}

TEST(ViewerPress, TheOneEnabledVisibleButtonOfThatTextInAnyLetterCase)
{
    const std::vector<agent::Control> controls = {
        Make(L"Static", L"OK", Usable, 1),                  // not a button
        Make(L"Button", L"&OK", Usable | agent::ControlDefault, 2),
        Make(L"Button", L"&Cancel", Usable, 3),
        Make(L"Button", L"Retry", agent::ControlVisible, 4),   // disabled
        Make(L"Button", L"Ignore", agent::ControlEnabled, 5),  // hidden
        Make(L"BUTTON", L"Save && E&xit", Usable, 6),        // class names in any case
        Make(L"Button", L"&Yes", Usable, 7),
        Make(L"Button", L"Y&es", Usable, 8),
        Make(L"Button", L"\u00c4&ndern", Usable, 9),
    };
    EXPECT_EQ(viewer::MatchingButtons(controls, L"OK"), Indexes({1}));
    EXPECT_EQ(viewer::MatchingButtons(controls, L"cAnCeL"), Indexes({2}));
    EXPECT_EQ(viewer::MatchingButtons(controls, L"save & exit"), Indexes({5}));
    EXPECT_EQ(viewer::MatchingButtons(controls, L"\u00e4ndern"), Indexes({8}));
    EXPECT_EQ(viewer::MatchingButtons(controls, L"yes"), Indexes({6, 7}));
    // Not pressable, not the whole text, or the mnemonic's mark typed along.
    for (const wchar_t* text : {L"Retry", L"Ignore", L"O", L"OK ", L"&OK", L"Save && Exit", L""})
        EXPECT_TRUE(viewer::MatchingButtons(controls, text).empty()) << bench::Narrow(text);

    EXPECT_EQ(viewer::ButtonLabel(L"A&&&B&"), L"A&B");
    EXPECT_EQ(viewer::StateWords(0), L"");
    EXPECT_EQ(viewer::StateWords(0x7F), L"enabled visible checked focused default");
    EXPECT_EQ(viewer::StateWords(agent::ControlVisible | agent::ControlDefault), L"visible default");
}
