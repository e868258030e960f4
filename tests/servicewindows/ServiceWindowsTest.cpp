// A service without the interactive flag hangs on a message box and a dialog that Windows puts on
// its own window station. The administrator lists, describes, answers, types into and closes
// them from QuillonViewer's command line, through the real service's session 0 agent.

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <map>
#include <string>
#include <vector>

#include "BenchClient.h"
#include "BenchServiceNames.h"
#include "ControlTool.h"
#include "EventTrace.h"
#include "JsonRead.h"
#include "ServiceFixture.h"

using control::RunTool;
using control::ToolRun;

namespace
{
ToolRun View(const std::wstring& arguments)
{
    return RunTool(arguments, bench::ProgramDirectory() + L"\\QuillonViewer.exe", 30000);
}

std::wstring Id(HWND window)
{
    wchar_t text[16];
    swprintf(text, 16, L"0x%08X", static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(window)));
    return text;
}

std::vector<std::wstring> Split(const std::wstring& text, const std::wstring& separator)
{
    std::vector<std::wstring> parts;
    size_t start = 0;
    for (size_t at; (at = text.find(separator, start)) != std::wstring::npos; start = at + separator.size())
        parts.push_back(text.substr(start, at - start));
    parts.push_back(text.substr(start));
    return parts;
}

// The viewer writes JSON in UTF-8: read from a file, whole, by the viewer tests' strict reader.
struct JsonRun
{
    ToolRun run;
    std::string bytes;
    jsonread::Value value;
    bool parsed = false;
};

JsonRun ViewJson(const std::wstring& arguments)
{
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    const std::wstring file = std::wstring(folder) + L"service-windows.json";
    JsonRun result;
    result.run = RunTool(arguments, bench::ProgramDirectory() + L"\\QuillonViewer.exe", 30000, file);
    result.bytes = bench::ReadFileBytes(file);
    result.parsed = jsonread::Parse(result.bytes, &result.value);
    DeleteFileW(file.c_str());
    return result;
}

// The field of the kind, or nullptr.
const jsonread::Value* FieldOf(const jsonread::Value& object, const char* name, jsonread::Value::Kind kind)
{
    const jsonread::Value* field = object.Field(name);
    return field != nullptr && field->kind == kind ? field : nullptr;
}

// One line of --controls: CONTROL ID CLASS TEXT LEFT,TOP,RIGHT,BOTTOM STATES.
struct ControlLine
{
    std::wstring control, id, className, text, rect, states;
};

std::vector<ControlLine> ControlLines(const std::wstring& out)
{
    std::vector<ControlLine> lines;
    for (const std::wstring& line : Split(out, L"\r\n"))
    {
        if (line.empty())
            continue;
        const std::vector<std::wstring> f = Split(line, L"\t");
        EXPECT_EQ(f.size(), 6u) << bench::Narrow(line);
        if (f.size() == 6)
            lines.push_back(ControlLine{f[0], f[1], f[2], f[3], f[4], f[5]});
    }
    return lines;
}

// A child's rectangle within its top-level window, as LEFT,TOP,RIGHT,BOTTOM.
std::wstring RectIn(HWND window, HWND child)
{
    RECT outer, inner;
    GetWindowRect(window, &outer);
    GetWindowRect(child, &inner);
    return std::to_wstring(inner.left - outer.left) + L"," + std::to_wstring(inner.top - outer.top) + L"," +
           std::to_wstring(inner.right - outer.left) + L"," + std::to_wstring(inner.bottom - outer.top);
}

bool Decimal(const std::wstring& text)
{
    return !text.empty() && text.find_first_not_of(L"0123456789") == std::wstring::npos;
}

// What the audit trail says was done to the window, one entry per action (the event's last
// string: a button, a point, a length, nothing for a close). An action's event traces, from one
// thread: who, session, process, title, program, place, window id, what was done.
std::vector<std::wstring> AuditedActions(const bench::EventTrace& trace, HWND window, const wchar_t* title)
{
    std::vector<std::wstring> actions;
    const std::vector<bench::TracedString> s = trace.Strings();
    for (size_t i = 0; i + 8 <= s.size(); ++i)
    {
        bool oneThread = true;
        for (size_t k = 1; k < 8; ++k)
            oneThread = oneThread && s[i + k].thread == s[i].thread;
        if (oneThread && Decimal(s[i + 1].text) && Decimal(s[i + 2].text) && s[i + 3].text == title &&
            s[i + 4].text == L"BenchHungService.exe" && s[i + 5].text == WineServicePlace && s[i + 6].text == Id(window))
            actions.push_back(s[i + 7].text);
    }
    return actions;
}

class ServiceWindows : public bench::ServiceFixture
{
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(ServiceFixture::SetUp());
        ASSERT_TRUE(service.StartAndWaitForShell());
        // The agent starts a moment after the service's shell.
        ASSERT_TRUE(bench::WaitUntil([&] { return View(L"--list").exitCode == 0; }, 15000, 200));
    }

    void TearDown() override
    {
        try
        {
            bench::Service(HungServiceName).StopAndWait();
        }
        catch (const std::exception&)
        {
            // Never registered: the test failed before its start.
        }
        ServiceFixture::TearDown();
    }

    static std::wstring Hung() { return bench::BenchProgramPath(L"BenchHungService.exe"); }

    // Starts the bench's hung service with a fresh record and finds its two windows.
    void StartHungService()
    {
        wchar_t folder[MAX_PATH];
        GetTempPathW(MAX_PATH, folder);
        record_ = std::wstring(folder) + L"hung-service.txt";
        const ToolRun run = RunTool(L"start \"" + record_ + L"\"", Hung(), 30000);
        // The bench program writes narrow text, which the reader took for UTF-16.
        ASSERT_EQ(run.exitCode, 0u) << std::string(reinterpret_cast<const char*>(run.err.data()),
                                                   run.err.size() * sizeof(wchar_t));
        box_ = dialog_ = nullptr;
        for (const bench::PlacedWindow& found : bench::WindowsOfEveryStation())
        {
            if (found.title == HungBoxTitle)
                box_ = found.window;
            if (found.title == HungDialogTitle)
                dialog_ = found.window;
            // The windows of a service without the interactive flag are on the services' own
            // station, never on the desktop the agent lives on.
            if (found.title == HungBoxTitle || found.title == HungDialogTitle)
                EXPECT_EQ(found.place, WineServicePlace) << bench::Narrow(found.title);
        }
        ASSERT_NE(box_, nullptr);
        ASSERT_NE(dialog_, nullptr);
        ASSERT_TRUE(bench::WaitForLine(record_, std::string("place=") + bench::Narrow(WineServicePlace)))
            << bench::ReadFileBytes(record_);
        pid_ = bench::Service(HungServiceName, SERVICE_QUERY_STATUS).Status().dwProcessId;
    }

    // Once both windows are answered the service has nothing left to wait for and ends.
    bool HungServiceEnds() const
    {
        return bench::Service(HungServiceName, SERVICE_QUERY_STATUS).WaitForState(SERVICE_STOPPED, 10000);
    }

    std::wstring ListLine(HWND window, const wchar_t* title) const
    {
        return Id(window) + L"\t" + std::to_wstring(pid_) + L"\tBenchHungService.exe\t" + title + L"\t" +
               WineServicePlace + L"\r\n";
    }

    std::wstring record_;
    HWND box_ = nullptr;
    HWND dialog_ = nullptr;
    DWORD pid_ = 0;
};
}

TEST_F(ServiceWindows, AreListedDescribedPressedAndTypedIntoByTheirTexts)
{
    ASSERT_NO_FATAL_FAILURE(StartHungService());

    // Listed with their place, as lines and as JSON.
    ToolRun run;
    EXPECT_TRUE(bench::WaitUntil(
        [&] {
            run = View(L"--list");
            return run.out.find(ListLine(box_, HungBoxTitle)) != std::wstring::npos &&
                   run.out.find(ListLine(dialog_, HungDialogTitle)) != std::wstring::npos;
        },
        10000, 200))
        << bench::Narrow(run.out) << bench::Narrow(run.err);
    EXPECT_EQ(run.exitCode, 0u);

    JsonRun json = ViewJson(L"--list --json");
    ASSERT_EQ(json.run.exitCode, 0u) << bench::Narrow(json.run.err);
    ASSERT_TRUE(json.parsed) << json.bytes;
    ASSERT_EQ(json.value.kind, jsonread::Value::Array) << json.bytes;
    int seen = 0;
    for (const jsonread::Value& entry : json.value.items)
    {
        using Kind = jsonread::Value::Kind;
        const jsonread::Value* id = FieldOf(entry, "id", Kind::String);
        const jsonread::Value* pid = FieldOf(entry, "pid", Kind::Number);
        const jsonread::Value* program = FieldOf(entry, "program", Kind::String);
        const jsonread::Value* title = FieldOf(entry, "title", Kind::String);
        const jsonread::Value* station = FieldOf(entry, "station", Kind::String);
        const jsonread::Value* desktop = FieldOf(entry, "desktop", Kind::String);
        ASSERT_TRUE(id && pid && program && title && station && desktop) << json.bytes;
        if (id->string != Id(box_) && id->string != Id(dialog_))
            continue;
        ++seen;
        EXPECT_EQ(pid->number, static_cast<double>(pid_));
        EXPECT_EQ(program->string, L"BenchHungService.exe");
        EXPECT_EQ(title->string, id->string == Id(box_) ? HungBoxTitle : HungDialogTitle);
        EXPECT_EQ(station->string, L"__wineservice_winstation");
        EXPECT_EQ(desktop->string, L"Default");
    }
    EXPECT_EQ(seen, 2) << json.bytes;

    // The dialog control by control, in its tab order, each rectangle within the window. The
    // service shows its message box last, which takes the focus: the dialog's thread has none.
    struct Expected
    {
        const wchar_t* id;
        const wchar_t* className;
        const wchar_t* text;
        const wchar_t* states;
    };
    const Expected expected[] = {{L"100", L"Static", L"Export the report to:", L"enabled visible"},
                                 {L"101", L"Edit", L"", L"enabled visible"},
                                 {L"102", L"Button", L"&Overwrite the file", L"enabled visible"},
                                 {L"1", L"Button", L"&Save", L"enabled visible default"},
                                 {L"2", L"Button", L"Cancel", L"enabled visible"}};
    run = View(L"--controls " + Id(dialog_));
    ASSERT_EQ(run.exitCode, 0u) << bench::Narrow(run.err);
    const std::vector<ControlLine> controls = ControlLines(run.out);
    ASSERT_EQ(controls.size(), 5u) << bench::Narrow(run.out);
    for (size_t i = 0; i < controls.size(); ++i)
    {
        SCOPED_TRACE(i);
        const HWND child = GetDlgItem(dialog_, _wtoi(expected[i].id));
        EXPECT_EQ(controls[i].control, Id(child));
        EXPECT_EQ(controls[i].id, expected[i].id);
        EXPECT_EQ(controls[i].className, expected[i].className);
        EXPECT_EQ(controls[i].text, expected[i].text);
        EXPECT_EQ(controls[i].rect, RectIn(dialog_, child));
        EXPECT_EQ(controls[i].states, expected[i].states);
    }

    // A button is pressed by its text, without its & and in any letter case: the check box first.
    const bench::EventTrace trace;
    run = View(L"--press " + Id(dialog_) + L" \"OVERWRITE THE FILE\"");
    EXPECT_EQ(run.exitCode, 0u) << bench::Narrow(run.err);
    EXPECT_EQ(run.out + run.err, L"");
    run = View(L"--press " + Id(dialog_) + L" Export");
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_EQ(run.out, L"");
    EXPECT_EQ(Split(run.err, L"\r\n").size(), 2u) << "one line: " << bench::Narrow(run.err);

    // A click into the edit, where its rectangle says, gives it the focus, as it would a user.
    const std::vector<std::wstring> edit = Split(controls[1].rect, L",");
    ASSERT_EQ(edit.size(), 4u);
    run = View(L"--click " + Id(dialog_) + L" " + std::to_wstring((_wtoi(edit[0].c_str()) + _wtoi(edit[2].c_str())) / 2) +
               L" " + std::to_wstring((_wtoi(edit[1].c_str()) + _wtoi(edit[3].c_str())) / 2));
    EXPECT_EQ(run.exitCode, 0u) << bench::Narrow(run.err);

    json = ViewJson(L"--controls " + Id(dialog_) + L" --json");
    ASSERT_EQ(json.run.exitCode, 0u) << bench::Narrow(json.run.err);
    ASSERT_TRUE(json.parsed) << json.bytes;
    ASSERT_EQ(json.value.kind, jsonread::Value::Array) << json.bytes;
    ASSERT_EQ(json.value.items.size(), 5u) << json.bytes;
    for (size_t i = 0; i < json.value.items.size(); ++i)
    {
        SCOPED_TRACE(i);
        using Kind = jsonread::Value::Kind;
        const jsonread::Value& control = json.value.items[i];
        std::map<std::string, const jsonread::Value*> field;
        for (const char* name : {"control", "class", "text"})
            ASSERT_TRUE(field[name] = FieldOf(control, name, Kind::String)) << name << ": " << json.bytes;
        for (const char* name : {"id", "left", "top", "right", "bottom"})
            ASSERT_TRUE(field[name] = FieldOf(control, name, Kind::Number)) << name << ": " << json.bytes;
        for (const char* name : {"enabled", "visible", "checked", "focused", "default", "withheld"})
            ASSERT_TRUE(field[name] = FieldOf(control, name, Kind::Boolean)) << name << ": " << json.bytes;
        EXPECT_EQ(field["control"]->string, controls[i].control);
        EXPECT_EQ(field["id"]->number, _wtoi(expected[i].id));
        EXPECT_EQ(field["class"]->string, expected[i].className);
        EXPECT_EQ(field["text"]->string, expected[i].text);
        const auto number = [&](const char* name) { return std::to_wstring(static_cast<int>(field[name]->number)); };
        EXPECT_EQ(number("left") + L"," + number("top") + L"," + number("right") + L"," + number("bottom"),
                  controls[i].rect);
        // The press above checked the box; the click focused the edit.
        EXPECT_EQ(field["checked"]->boolean, i == 2);
        EXPECT_EQ(field["focused"]->boolean, i == 1);
        EXPECT_EQ(field["default"]->boolean, i == 3);
        EXPECT_TRUE(field["enabled"]->boolean && field["visible"]->boolean);
        EXPECT_FALSE(field["withheld"]->boolean);
    }

    // Typed into the edit, and saved by the default button's text.
    const wchar_t* const typed = L"C:\\exports\\r\u00e9port.csv";
    run = View(L"--type " + Id(dialog_) + L" \"" + typed + L"\"");
    EXPECT_EQ(run.exitCode, 0u) << bench::Narrow(run.err);
    run = View(L"--press " + Id(dialog_) + L" save");
    EXPECT_EQ(run.exitCode, 0u) << bench::Narrow(run.err);
    EXPECT_TRUE(bench::WaitForLine(record_, "dialog=Save text=C:\\exports\\r\xc3\xa9port.csv overwrite=1"))
        << bench::ReadFileBytes(record_);

    // The message box answered by its button's text ("&Retry").
    run = View(L"--press " + Id(box_) + L" retry");
    EXPECT_EQ(run.exitCode, 0u) << bench::Narrow(run.err);
    EXPECT_TRUE(bench::WaitForLine(record_, "box=Retry")) << bench::ReadFileBytes(record_);

    EXPECT_TRUE(HungServiceEnds());
    run = View(L"--list");
    EXPECT_EQ(run.out.find(L"BenchHungService.exe"), std::wstring::npos) << bench::Narrow(run.out);

    // Each action is in the audit trail with the window's title: on the dialog a press, a click,
    // the text's length (never the text) and a press; on the box a press.
    std::vector<std::wstring> actions;
    EXPECT_TRUE(bench::WaitUntil([&] { return (actions = AuditedActions(trace, dialog_, HungDialogTitle)).size() >= 4; },
                                 5000, 100))
        << trace.Dump();
    EXPECT_EQ(std::count(actions.begin(), actions.end(), std::to_wstring(wcslen(typed))), 1) << trace.Dump();
    EXPECT_EQ(AuditedActions(trace, box_, HungBoxTitle).size(), 1u) << trace.Dump();
    const std::vector<bench::TracedString> traced = trace.Strings();
    EXPECT_TRUE(std::none_of(traced.begin(), traced.end(), [](const bench::TracedString& string) {
        return string.text.find(L"r\u00e9port") != std::wstring::npos;
    })) << "the typed text is in the trace:\n" << trace.Dump();
}

TEST_F(ServiceWindows, AreClosedFromTheCommandLine)
{
    ASSERT_NO_FATAL_FAILURE(StartHungService());
    ToolRun run;
    EXPECT_TRUE(bench::WaitUntil(
        [&] { return (run = View(L"--list")).out.find(ListLine(dialog_, HungDialogTitle)) != std::wstring::npos; },
        10000, 200))
        << bench::Narrow(run.out);

    const bench::EventTrace trace;
    for (HWND window : {dialog_, box_})
    {
        run = View(L"--close " + Id(window));
        EXPECT_EQ(run.exitCode, 0u) << bench::Narrow(run.err);
        EXPECT_EQ(run.out + run.err, L"");
    }
    EXPECT_TRUE(bench::WaitForLine(record_, "dialog=closed text= overwrite=0")) << bench::ReadFileBytes(record_);
    // A message box turns a close into its Cancel button.
    EXPECT_TRUE(bench::WaitForLine(record_, "box=Cancel")) << bench::ReadFileBytes(record_);
    EXPECT_TRUE(HungServiceEnds());
    EXPECT_TRUE(bench::WaitUntil(
        [&] {
            return AuditedActions(trace, dialog_, HungDialogTitle) == std::vector<std::wstring>{L""} &&
                   AuditedActions(trace, box_, HungBoxTitle) == std::vector<std::wstring>{L""};
        },
        5000, 100))
        << trace.Dump();
}
