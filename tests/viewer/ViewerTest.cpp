// QuillonViewer.exe as an administrator runs it: its command line without an agent, then both
// the command line and the window against the real service's agent and the bench's dialogs.

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <memory>
#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchClient.h"
#include "ControlTool.h"
#include "JsonRead.h"
#include "PngRead.h"
#include "ServiceFixture.h"
#include "TermSrv.h"
#include "session/Names.h"
#include "viewer/Png.h"

using control::RunTool;
using control::ToolRun;

namespace
{
std::wstring Viewer()
{
    return bench::ProgramDirectory() + L"\\QuillonViewer.exe";
}

ToolRun View(const std::wstring& arguments)
{
    return RunTool(arguments, Viewer(), 30000);
}

std::wstring Id(HWND window)
{
    wchar_t text[16];
    swprintf(text, 16, L"0x%08X", static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(window)));
    return text;
}

std::wstring TempFile(const wchar_t* name)
{
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    const std::wstring path = std::wstring(folder) + name;
    DeleteFileW(path.c_str());
    return path;
}

// The screen's pixels over a rectangle, 0x00RRGGBB.
std::vector<uint32_t> Screen(const RECT& rect)
{
    return bench::CaptureScreen(rect).data;
}

// Starts xdotool of the bench machine. Wine starts a Linux program given by its path, but the
// process handle it returns cannot be waited on: the caller waits for what the click does.
bool XdoTool(const std::wstring& arguments)
{
    std::wstring line = L"xdotool " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(L"Z:\\usr\\bin\\xdotool", &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
        return false;
    if (process.hThread != nullptr)
        CloseHandle(process.hThread);
    if (process.hProcess != nullptr)
        CloseHandle(process.hProcess);
    return true;
}

bool Click(POINT at)
{
    return XdoTool(L"mousemove " + std::to_wstring(at.x) + L" " + std::to_wstring(at.y) + L" click 1");
}

// A window of the test's own, in one colour, that notes when the agent asks for its picture:
// each capture first sends it WM_NULL, to see that it answers.
class Probe
{
public:
    explicit Probe(const RECT& at)
    {
        thread_ = std::thread([this, at] {
            WNDCLASSW wc{};
            wc.lpfnWndProc = &Proc;
            wc.hInstance = GetModuleHandleW(nullptr);
            wc.lpszClassName = L"QuillonViewerTestProbe";
            RegisterClassW(&wc);
            window_ = CreateWindowExW(WS_EX_TOPMOST, wc.lpszClassName, L"Bench probe", WS_POPUP | WS_VISIBLE, at.left,
                                      at.top, at.right - at.left, at.bottom - at.top, nullptr, nullptr, wc.hInstance,
                                      nullptr);
            made_ = true;
            MSG msg;
            while (window_ != nullptr && GetMessageW(&msg, nullptr, 0, 0) > 0)
                DispatchMessageW(&msg);
        });
        bench::WaitUntil([&] { return made_.load(); }, 5000);
    }
    ~Probe()
    {
        PostMessageW(window(), WM_CLOSE, 0, 0);
        thread_.join();
    }
    HWND window() const { return window_; }
    void Paint(COLORREF colour)
    {
        colour_ = colour;
        InvalidateRect(window(), nullptr, TRUE);
    }
    // Milliseconds between the last two asks; 0 before the second.
    static ULONGLONG LastGap() { return previousAsk_ != 0 ? lastAsk_ - previousAsk_ : 0; }

private:
    static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        switch (message)
        {
        case WM_NULL:
            previousAsk_ = lastAsk_.exchange(GetTickCount64());
            return 0;
        case WM_ERASEBKGND:
        {
            RECT client;
            GetClientRect(window, &client);
            const HBRUSH brush = CreateSolidBrush(colour_);
            FillRect(reinterpret_cast<HDC>(wParam), &client, brush);
            DeleteObject(brush);
            return 1;
        }
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
        }
    }

    std::thread thread_;
    std::atomic<HWND> window_{nullptr};
    std::atomic<bool> made_{false};
    static inline std::atomic<COLORREF> colour_{RGB(0x20, 0x60, 0xA0)};
    static inline std::atomic<ULONGLONG> lastAsk_{0}, previousAsk_{0};
};
}

TEST(ViewerCommandLine, WrongArgumentsGiveTheUsage)
{
    for (const wchar_t* line :
         {L"--List", L"list", L"--list extra", L"--save 0x00001234", L"--save 0x0001234 a.png", L"--save 1234 a.png",
          L"--click 0x00001234 1", L"--click 0x00001234 a 2", L"--click 0x00001234 -1 2", L"--click 0X00001234 1 2",
          L"--type 0x00001234", L"--type 0x00001234 \"\"", L"--key 0x00001234 enter", L"--key 0x00001234 F1",
          L"--close 0x0000123g", L"--close 0x00001234 0x00001235", L"-l", L"--json", L"--json --list",
          L"--list --json --json", L"--list --JSON", L"--controls", L"--controls --json", L"--controls 0x00001234 x",
          L"--press 0x00001234", L"--press 0x00001234 \"\"", L"--press 0x00001234 OK Cancel",
          L"--close 0x00001234 --json", L"--save 0x00001234 a.png --json"})
    {
        SCOPED_TRACE(bench::Narrow(line));
        const ToolRun run = View(line);
        EXPECT_EQ(run.exitCode, 1u);
        EXPECT_EQ(run.out, L"");
        EXPECT_EQ(run.err.rfind(L"Usage:\r\n  QuillonViewer ", 0), 0u) << bench::Narrow(run.err);
    }
}

TEST(ViewerCommandLine, WithoutTheAgentEachCommandFailsWithOneLine)
{
    bench::Service service;
    ASSERT_TRUE(service.StopAndWait());
    const std::wstring png = TempFile(L"viewer-no-agent.png");
    for (const std::wstring& line : {std::wstring(L"--list"), L"--save 0x00001234 " + png, std::wstring(L"--click 0x00001234 10 20"),
                                    std::wstring(L"--type 0x00001234 \"a b\""), std::wstring(L"--key 0x00001234 ENTER"),
                                    std::wstring(L"--close 0x0000abcd"), std::wstring(L"--list --json"),
                                    std::wstring(L"--controls 0x00001234 --json"), std::wstring(L"--press 0x00001234 OK")})
    {
        SCOPED_TRACE(bench::Narrow(line));
        const ToolRun run = View(line);
        EXPECT_EQ(run.exitCode, 1u);
        EXPECT_EQ(run.out, L"");
        EXPECT_EQ(run.err, control::FailureLine(ERROR_FILE_NOT_FOUND, "Couldn't connect to the session 0 agent, which is not running"));
    }
    EXPECT_EQ(GetFileAttributesW(png.c_str()), INVALID_FILE_ATTRIBUTES);
}

// The viewer decodes what the agent sends: a fault in any of its threads must end it with a dump
// of its own.
TEST(ViewerWindow, AFaultEndsTheViewerWithItsOwnDump)
{
    const std::wstring dump = bench::LocalLowFolder() + L"\\QuillonViewer.dmp";
    DeleteFileW(dump.c_str());
    bench::StartedProgram viewer(Viewer());
    ASSERT_TRUE(bench::WaitUntil([] { return IsWindowVisible(FindWindowW(ViewerWindowClass, nullptr)); }, 10000));

    const bench::FaultEnd fault = bench::FaultAndReadDump(viewer, dump);
    ASSERT_TRUE(fault.faulted && fault.ended) << "faulted " << fault.faulted;
    EXPECT_EQ(fault.exitCode, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
    EXPECT_TRUE(fault.dump.valid) << bench::Narrow(dump) << ": " << fault.dump.problem;
    EXPECT_EQ(fault.dump.exceptionCode, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
    DeleteFileW(dump.c_str());
}

// The real service with its session 0 agent, and the bench's dialogs as a service shows them.
class ViewerAgainstAgent : public bench::ServiceFixture
{
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(ServiceFixture::SetUp());
        ASSERT_TRUE(service.StartAndWaitForShell());
        // The agent starts a moment after the service's shell.
        ASSERT_TRUE(bench::WaitUntil([&] { return View(L"--list").exitCode == 0; }, 15000, 200));

        results_ = TempFile(L"viewer-dialogs.txt");
        dialogs_ = std::make_unique<bench::StartedProgram>(bench::BenchProgramPath(L"BenchDialogs.exe"),
                                                           L"\"" + results_ + L"\"");
        ASSERT_TRUE(dialogs_->valid());
        ASSERT_TRUE(bench::WaitUntil(
            [&] {
                question_ = FindWindowW(nullptr, L"Bench question");
                licence_ = FindWindowW(nullptr, L"Bench licence");
                plain_ = FindWindowW(nullptr, L"Bench plain");
                return question_ != nullptr && licence_ != nullptr && plain_ != nullptr;
            },
            10000));
        Sleep(300);   // painted
    }

    void TearDown() override
    {
        dialogs_.reset();
        ServiceFixture::TearDown();
    }

    // Where a control of a top-level window sits in that window's picture.
    static POINT CentreIn(HWND window, HWND control)
    {
        RECT outer, inner;
        GetWindowRect(window, &outer);
        GetWindowRect(control, &inner);
        return POINT{(inner.left + inner.right) / 2 - outer.left, (inner.top + inner.bottom) / 2 - outer.top};
    }

    // The viewer's window and its parts once it shows, placed beside the box rather than over it:
    // the screen must show both for comparisons.
    struct ViewerParts
    {
        HWND viewer = nullptr, list = nullptr, status = nullptr, picture = nullptr, controls = nullptr;
    };
    bool FindViewer(ViewerParts* parts) const
    {
        if (!bench::WaitUntil(
                [&] {
                    parts->viewer = FindWindowW(L"QuillonViewer", L"Quillon session 0 windows");
                    parts->list = GetDlgItem(parts->viewer, 1);
                    parts->status = GetDlgItem(parts->viewer, 3);
                    parts->picture = GetDlgItem(parts->viewer, 4);
                    parts->controls = GetDlgItem(parts->viewer, 5);
                    return IsWindowVisible(parts->viewer) && parts->list != nullptr && parts->status != nullptr &&
                           parts->picture != nullptr && parts->controls != nullptr;
                },
                10000))
            return false;
        RECT box;
        GetWindowRect(question_, &box);
        SetWindowPos(parts->viewer, nullptr, 0, box.bottom + 8, 1000, 1024 - box.bottom - 16,
                     SWP_NOZORDER | SWP_NOACTIVATE);
        return true;
    }

    // A window is picked in the viewer's list with the mouse; the status line then names it.
    static bool Pick(HWND list, HWND status, HWND target)
    {
        int index = -1;
        if (!bench::WaitUntil(
                [&] {
                    const int count = static_cast<int>(SendMessageW(list, LB_GETCOUNT, 0, 0));
                    for (int i = 0; i < count; ++i)
                        if (reinterpret_cast<HWND>(SendMessageW(list, LB_GETITEMDATA, i, 0)) == target)
                            index = i;
                    return index >= 0;
                },
                5000))
            return false;
        RECT item;
        SendMessageW(list, LB_GETITEMRECT, index, reinterpret_cast<LPARAM>(&item));
        POINT at{(item.left + item.right) / 2, (item.top + item.bottom) / 2};
        ClientToScreen(list, &at);
        return Click(at) && bench::WaitUntil(
                                [&] {
                                    wchar_t text[128] = {};
                                    GetWindowTextW(status, text, 128);
                                    return std::wstring(text).rfind(Id(target), 0) == 0;
                                },
                                5000);
    }

    std::wstring results_;
    std::unique_ptr<bench::StartedProgram> dialogs_;
    HWND question_ = nullptr;
    HWND licence_ = nullptr;
    HWND plain_ = nullptr;
};

TEST_F(ViewerAgainstAgent, TheCommandLineListsSavesClicksTypesAndCloses)
{
    ToolRun run = View(L"--list");
    ASSERT_EQ(run.exitCode, 0u) << bench::Narrow(run.err);
    EXPECT_EQ(run.err, L"");
    const std::wstring pid = std::to_wstring(dialogs_->pid());
    for (HWND window : {question_, licence_, plain_})
    {
        wchar_t title[64];
        GetWindowTextW(window, title, 64);
        const std::wstring line = Id(window) + L"\t" + pid + L"\tBenchDialogs.exe\t" + title + L"\tWinSta0\\Default\r\n";
        EXPECT_NE(run.out.find(line), std::wstring::npos) << bench::Narrow(run.out);
    }
    EXPECT_EQ(run.out.find(L"Shell0 Window"), std::wstring::npos);

    // The picture is the window as the screen shows it.
    const std::wstring png = TempFile(L"viewer-question.png");
    run = View(L"--save " + Id(question_) + L" \"" + png + L"\"");
    ASSERT_EQ(run.exitCode, 0u) << bench::Narrow(run.err);
    EXPECT_EQ(run.out + run.err, L"");
    const std::string bytes = bench::ReadFileBytes(png);
    const pngread::Decoded image = pngread::Decode(std::vector<uint8_t>(bytes.begin(), bytes.end()));
    RECT rect;
    GetWindowRect(question_, &rect);
    ASSERT_EQ(image.width, static_cast<uint32_t>(rect.right - rect.left));
    ASSERT_EQ(image.height, static_cast<uint32_t>(rect.bottom - rect.top));
    const std::vector<uint32_t> screen = Screen(rect);
    size_t differing = 0;
    for (size_t i = 0; i < screen.size(); ++i)
        differing += screen[i] != image.pixels[i];
    EXPECT_EQ(differing, 0u) << "of " << screen.size() << " pixels";

    // Characters go to the control with the focus of the dialog's thread, which has none while
    // another window is active: a click into the edit box gives it the focus, as it would a user.
    const POINT edit = CentreIn(licence_, FindWindowExW(licence_, nullptr, L"Edit", nullptr));
    run = View(L"--click " + Id(licence_) + L" " + std::to_wstring(edit.x) + L" " + std::to_wstring(edit.y));
    EXPECT_EQ(run.exitCode, 0u) << bench::Narrow(run.err);
    run = View(L"--type " + Id(licence_) + L" \"ABC-123 \u00e9\"");
    EXPECT_EQ(run.exitCode, 0u) << bench::Narrow(run.err);
    run = View(L"--key " + Id(licence_) + L" ENTER");
    EXPECT_EQ(run.exitCode, 0u) << bench::Narrow(run.err);
    EXPECT_TRUE(bench::WaitForLine(results_, "dialog=1 text=ABC-123 \xc3\xa9")) << bench::ReadFileBytes(results_);

    // OK of the message box, clicked where the picture shows it.
    const POINT ok = CentreIn(question_, FindWindowExW(question_, nullptr, L"Button", L"OK"));
    run = View(L"--click " + Id(question_) + L" " + std::to_wstring(ok.x) + L" " + std::to_wstring(ok.y));
    EXPECT_EQ(run.exitCode, 0u) << bench::Narrow(run.err);
    EXPECT_TRUE(bench::WaitForLine(results_, "box=1")) << bench::ReadFileBytes(results_);

    run = View(L"--close " + Id(plain_));
    EXPECT_EQ(run.exitCode, 0u) << bench::Narrow(run.err);
    EXPECT_TRUE(bench::WaitForLine(results_, "plain=closed")) << bench::ReadFileBytes(results_);

    // A window that is no longer there, and one that never was on that desktop.
    run = View(L"--click " + Id(question_) + L" 1 1");
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_EQ(run.err, control::FailureLine(ERROR_INVALID_WINDOW_HANDLE,
                                            bench::Narrow(Id(question_)) + " is not a window on the session 0 desktop"));
    run = View(L"--close 0x00000000");
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_NE(run.err.find(L"0x00000000 is not a window on the session 0 desktop"), std::wstring::npos);
}

TEST_F(ViewerAgainstAgent, ClickingThePictureInTheWindowAnswersTheBox)
{
    bench::StartedProgram viewerProgram(Viewer());
    ASSERT_TRUE(viewerProgram.valid());

    ViewerParts parts;
    ASSERT_TRUE(FindViewer(&parts));
    const HWND viewer = parts.viewer, list = parts.list, status = parts.status, picture = parts.picture;
    RECT box;
    GetWindowRect(question_, &box);

    const auto pick = [&](HWND target) { return Pick(list, status, target); };
    ASSERT_TRUE(pick(question_));

    // The picture shows the box pixel for pixel at the picture's top left.
    POINT origin{0, 0};
    ClientToScreen(picture, &origin);
    const RECT shownArea{origin.x, origin.y, origin.x + box.right - box.left, origin.y + box.bottom - box.top};
    EXPECT_TRUE(bench::WaitUntil([&] { return Screen(shownArea) == Screen(box); }, 5000))
        << "the viewer's picture is not the box";

    // For the README: the viewer showing the box.
    wchar_t shot[MAX_PATH];
    if (GetEnvironmentVariableW(L"QUILLON_VIEWER_SCREENSHOT", shot, MAX_PATH) > 0)
    {
        RECT frame;
        GetWindowRect(viewer, &frame);
        const std::vector<uint32_t> pixels = Screen(frame);
        png::SaveFile(shot, png::Encode(frame.right - frame.left, frame.bottom - frame.top, pixels.data()));
    }

    const POINT ok = CentreIn(question_, FindWindowExW(question_, nullptr, L"Button", L"OK"));
    ASSERT_TRUE(Click(POINT{origin.x + ok.x, origin.y + ok.y}));
    EXPECT_TRUE(bench::WaitForLine(results_, "box=1")) << bench::ReadFileBytes(results_);

    // A picture that stayed the same until the viewer asks less often (half a second apart,
    // where a changing one is asked for every 90 ms) still follows a change of the window.
    const RECT probeRect{1040, box.bottom + 8, 1240, box.bottom + 158};
    Probe probe(probeRect);
    ASSERT_NE(probe.window(), nullptr);
    ASSERT_TRUE(pick(probe.window()));
    const RECT probeShown{origin.x, origin.y, origin.x + 200, origin.y + 150};
    EXPECT_TRUE(bench::WaitUntil([&] { return Screen(probeShown) == Screen(probeRect); }, 5000))
        << "the viewer's picture is not the probe";
    ASSERT_TRUE(bench::WaitUntil([] { return Probe::LastGap() >= 400; }, 10000))
        << "the viewer asked for a still picture at no slower rate; last gap " << Probe::LastGap() << " ms";
    const std::vector<uint32_t> still = Screen(probeRect);
    probe.Paint(RGB(0xC0, 0x40, 0x20));
    EXPECT_TRUE(bench::WaitUntil(
        [&] { return Screen(probeRect) != still && Screen(probeShown) == Screen(probeRect); }, 5000))
        << "the viewer's picture did not follow the changed window";

    // The window ends on request, with its worker.
    PostMessageW(viewer, WM_CLOSE, 0, 0);
    EXPECT_TRUE(viewerProgram.Ended(5000));
}

// Quillon's own windows are known by their processes: another program's window under the class
// names of the shell and the helpers, from a program named as the tray helper, is a window like
// any other. Its bidirectional controls are shown as escapes, not obeyed.
TEST_F(ViewerAgainstAgent, LookalikesAreListedWithTheirTitlesEscaped)
{
    const std::wstring folder = TempFile(L"viewer-lookalike");
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring lookalike = folder + L"\\QuillonTray.exe";
    ASSERT_TRUE(CopyFileW((bench::ProgramDirectory() + L"\\..\\testbench\\BenchDialogs.exe").c_str(), lookalike.c_str(),
                          FALSE));
    bench::StartedProgram program(lookalike, L"--lookalikes 60");
    const std::wstring pid = std::to_wstring(program.pid());
    const wchar_t* const titles[] = {L"Bench shell class", L"Bench taskbar class", L"Bench tray class",
                                     L"Bench \u202Egnp.exe\t\u2066x"};
    std::vector<std::wstring> lines;
    for (const wchar_t* title : titles)
    {
        const HWND window = bench::WaitForWindow(nullptr, title, 10000);
        ASSERT_NE(window, nullptr) << bench::Narrow(title);
        const std::wstring shown = title == titles[3] ? L"Bench \\u202Egnp.exe \\u2066x" : title;
        lines.push_back(Id(window) + L"\t" + pid + L"\tQuillonTray.exe\t" + shown + L"\tWinSta0\\Default\r\n");
    }

    ToolRun run;
    const auto all_listed = [&] {
        run = View(L"--list");
        for (const std::wstring& line : lines)
            if (run.out.find(line) == std::wstring::npos)
                return false;
        return true;
    };
    EXPECT_TRUE(bench::WaitUntil(all_listed, 5000, 200)) << bench::Narrow(run.out);
    EXPECT_EQ(run.exitCode, 0u) << bench::Narrow(run.err);
    for (const wchar_t raw : {L'\u202E', L'\u2066'})
        EXPECT_EQ(run.out.find(raw), std::wstring::npos) << "a bidirectional control reached the output";
    // The shell's own window still is not listed.
    EXPECT_EQ(run.out.find(Id(bench::FindShellWindow())), std::wstring::npos) << bench::Narrow(run.out);
}

namespace
{
// What the viewer wrote to a file as its standard output: UTF-8 JSON for scripts, read strictly.
bool ReadJsonOutput(const std::wstring& file, jsonread::Value* value, std::string* bytes)
{
    *bytes = bench::ReadFileBytes(file);
    return jsonread::Parse(*bytes, value);
}

std::vector<std::string> FieldNames(const jsonread::Value& object)
{
    std::vector<std::string> names;
    for (const auto& field : object.fields)
        names.push_back(field.first);
    return names;
}
}

// Scripts read the list as JSON: the same windows, each with its place in two names, the titles as
// the programs wrote them (escaped only as JSON escapes), in UTF-8 that parses whole.
TEST_F(ViewerAgainstAgent, ScriptsReadTheListAsJson)
{
    bench::StartedProgram lookalikes(bench::BenchProgramPath(L"BenchDialogs.exe"), L"--lookalikes 60");
    const std::wstring odd = L"Bench \u202Egnp.exe\t\u2066x";
    const HWND oddWindow = bench::WaitForWindow(nullptr, odd.c_str(), 10000);
    ASSERT_NE(oddWindow, nullptr);

    const std::wstring file = TempFile(L"viewer-list.json");
    jsonread::Value list;
    std::string bytes;
    const auto entry_of = [&](HWND window) -> const jsonread::Value* {
        for (const jsonread::Value& item : list.items)
            if (const jsonread::Value* id = item.Field("id"))
                if (id->string == Id(window))
                    return &item;
        return nullptr;
    };
    ToolRun run;
    EXPECT_TRUE(bench::WaitUntil(
        [&] {
            run = RunTool(L"--list --json", Viewer(), 30000, file);
            list = jsonread::Value();
            return ReadJsonOutput(file, &list, &bytes) && entry_of(oddWindow) != nullptr;
        },
        5000, 200))
        << bytes;
    EXPECT_EQ(run.exitCode, 0u) << bench::Narrow(run.err);
    EXPECT_EQ(run.err, L"");
    ASSERT_EQ(list.kind, jsonread::Value::Array) << bytes;
    EXPECT_EQ(bytes.find('\0'), std::string::npos) << "not UTF-8";
    EXPECT_EQ(bytes.substr(bytes.size() - 3), "]\r\n");

    const std::vector<std::string> fields = {"id", "pid", "program", "title", "station", "desktop"};
    for (const jsonread::Value& item : list.items)
        EXPECT_EQ(FieldNames(item), fields);
    for (HWND window : {question_, licence_, plain_, oddWindow})
    {
        const jsonread::Value* entry = entry_of(window);
        ASSERT_NE(entry, nullptr) << bench::Narrow(Id(window)) << " missing from " << bytes;
        wchar_t title[64];
        GetWindowTextW(window, title, 64);
        EXPECT_TRUE(entry->Field("title")->string == title) << bench::Narrow(title);
        EXPECT_EQ(entry->Field("program")->string, L"BenchDialogs.exe");
        EXPECT_EQ(entry->Field("station")->string, L"WinSta0");
        EXPECT_EQ(entry->Field("desktop")->string, L"Default");
        EXPECT_EQ(entry->Field("pid")->kind, jsonread::Value::Number);
        EXPECT_EQ(entry->Field("pid")->number, window == oddWindow ? lookalikes.pid() : dialogs_->pid());
    }
    // The real text travels: the reordering characters and the tab arrive as written.
    EXPECT_TRUE(entry_of(oddWindow)->Field("title")->string == odd);
    EXPECT_NE(bytes.find("\\u0009"), std::string::npos);
}

// Needs the agent's Describe and Press (an agent that answers them ERROR_NOT_SUPPORTED fails it).
// A window's controls as lines and as JSON, and a button pressed by its text; a text that names
// no enabled button presses nothing and says which buttons there are.
TEST_F(ViewerAgainstAgent, ControlsAreToldAndAButtonIsPressedByItsText)
{
    const HWND edit = FindWindowExW(licence_, nullptr, L"Edit", nullptr);
    const HWND ok = FindWindowExW(licence_, nullptr, L"Button", L"OK");
    ASSERT_TRUE(edit != nullptr && ok != nullptr);
    RECT frame;
    GetWindowRect(licence_, &frame);
    const auto rectangle = [&](HWND control) {
        RECT rect;
        GetWindowRect(control, &rect);
        return std::to_wstring(rect.left - frame.left) + L"," + std::to_wstring(rect.top - frame.top) + L"," +
               std::to_wstring(rect.right - frame.left) + L"," + std::to_wstring(rect.bottom - frame.top);
    };

    ToolRun run = View(L"--controls " + Id(licence_));
    ASSERT_EQ(run.exitCode, 0u) << bench::Narrow(run.err);
    EXPECT_EQ(run.err, L"");
    EXPECT_NE(run.out.find(Id(edit) + L"\t100\tEdit\t\t" + rectangle(edit) + L"\tenabled visible"), std::wstring::npos)
        << bench::Narrow(run.out);
    EXPECT_NE(run.out.find(Id(ok) + L"\t1\tButton\tOK\t" + rectangle(ok) + L"\tenabled visible"), std::wstring::npos)
        << bench::Narrow(run.out);

    const std::wstring file = TempFile(L"viewer-controls.json");
    run = RunTool(L"--controls " + Id(licence_) + L" --json", Viewer(), 30000, file);
    ASSERT_EQ(run.exitCode, 0u) << bench::Narrow(run.err);
    jsonread::Value controls;
    std::string bytes;
    ASSERT_TRUE(ReadJsonOutput(file, &controls, &bytes)) << bytes;
    const jsonread::Value* button = nullptr;
    for (const jsonread::Value& item : controls.items)
    {
        EXPECT_EQ(FieldNames(item), std::vector<std::string>({"control", "id", "class", "text", "left", "top", "right",
                                                              "bottom", "enabled", "visible", "checked", "focused",
                                                              "default", "withheld"}));
        if (item.Field("control") && item.Field("control")->string == Id(ok))
            button = &item;
    }
    ASSERT_NE(button, nullptr) << bytes;
    RECT rect;
    GetWindowRect(ok, &rect);
    EXPECT_EQ(button->Field("id")->number, 1.0);
    EXPECT_EQ(button->Field("class")->string, L"Button");
    EXPECT_EQ(button->Field("text")->string, L"OK");
    EXPECT_EQ(button->Field("left")->number, rect.left - frame.left);
    EXPECT_EQ(button->Field("bottom")->number, rect.bottom - frame.top);
    EXPECT_TRUE(button->Field("enabled")->boolean && button->Field("visible")->boolean);
    EXPECT_FALSE(button->Field("checked")->boolean || button->Field("withheld")->boolean);

    // No such button: one line, nothing pressed; then the box's Cancel, named in another case.
    run = View(L"--press " + Id(question_) + L" Retry");
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_EQ(run.out, L"");
    EXPECT_EQ(run.err, L"no enabled button \"Retry\" in window " + Id(question_) + L": its buttons are OK, Cancel\r\n");
    run = View(L"--press " + Id(question_) + L" cancel");
    EXPECT_EQ(run.exitCode, 0u) << bench::Narrow(run.err);
    EXPECT_EQ(run.out + run.err, L"");
    EXPECT_TRUE(bench::WaitForLine(results_, "box=2")) << bench::ReadFileBytes(results_);
    EXPECT_EQ(bench::ReadFileBytes(results_).find("box=1"), std::string::npos);
}

// Needs the agent's Describe and Press. Beside the picture the viewer lists the selected window's
// controls; a double-click on a button's row presses that button, and so does Enter on its row.
TEST_F(ViewerAgainstAgent, TheWindowListsTheControlsAndPressesTheChosenButton)
{
    bench::StartedProgram viewerProgram(Viewer());
    ASSERT_TRUE(viewerProgram.valid());
    ViewerParts parts;
    ASSERT_TRUE(FindViewer(&parts));
    const HWND viewer = parts.viewer, list = parts.list, status = parts.status, controls = parts.controls;

    // The row of a control, found by its start; -1 while the list does not show it.
    const auto row = [&](const std::wstring& start) {
        const int count = static_cast<int>(SendMessageW(controls, LB_GETCOUNT, 0, 0));
        for (int i = 0; i < count; ++i)
        {
            wchar_t text[256] = {};
            if (SendMessageW(controls, LB_GETTEXTLEN, i, 0) < 256)
                SendMessageW(controls, LB_GETTEXT, i, reinterpret_cast<LPARAM>(text));
            if (std::wstring(text).rfind(start, 0) == 0)
                return i;
        }
        return -1;
    };
    const auto row_centre = [&](int index) {
        RECT item;
        SendMessageW(controls, LB_GETITEMRECT, index, reinterpret_cast<LPARAM>(&item));
        POINT at{(item.left + item.right) / 2, (item.top + item.bottom) / 2};
        ClientToScreen(controls, &at);
        return at;
    };

    ASSERT_TRUE(Pick(list, status, question_));
    ASSERT_TRUE(bench::WaitUntil([&] { return row(L"Button\tOK\tenabled visible") >= 0; }, 5000));
    int cancel = -1;
    ASSERT_TRUE(bench::WaitUntil([&] { return (cancel = row(L"Button\tCancel\tenabled visible")) >= 0; }, 5000));
    const POINT at = row_centre(cancel);
    ASSERT_TRUE(XdoTool(L"mousemove " + std::to_wstring(at.x) + L" " + std::to_wstring(at.y) + L" click --repeat 2 1"));
    EXPECT_TRUE(bench::WaitForLine(results_, "box=2")) << bench::ReadFileBytes(results_);
    // The answered box leaves the viewer's list at its next refresh: picking before that could
    // hit a row that moves under the pointer.
    ASSERT_TRUE(bench::WaitUntil(
        [&] {
            const int count = static_cast<int>(SendMessageW(list, LB_GETCOUNT, 0, 0));
            for (int i = 0; i < count; ++i)
                if (reinterpret_cast<HWND>(SendMessageW(list, LB_GETITEMDATA, i, 0)) == question_)
                    return false;
            return true;
        },
        5000));

    ASSERT_TRUE(Pick(list, status, licence_));
    int ok = -1;
    ASSERT_TRUE(bench::WaitUntil([&] { return (ok = row(L"Button\tOK\t")) >= 0; }, 5000));
    ASSERT_TRUE(Click(row_centre(ok)));
    ASSERT_TRUE(bench::WaitUntil([&] { return SendMessageW(controls, LB_GETCURSEL, 0, 0) == ok; }, 5000));
    ASSERT_TRUE(XdoTool(L"key Return"));
    EXPECT_TRUE(bench::WaitForLine(results_, "dialog=1 text=")) << bench::ReadFileBytes(results_);

    PostMessageW(viewer, WM_CLOSE, 0, 0);
    EXPECT_TRUE(viewerProgram.Ended(5000));
}
