// The benchmark's measuring program: one measurement per run, figures on standard output as
// "name value" lines for bench/run-bench.sh to gather. Everything it starts it ends, but for the
// viewer of viewer-open, which viewer-close (or clean) ends.
//
//   start SERVICE             StartServiceW to running (and to the visible shell for UI0Detect, to
//                             the visible window for the window-showing baseline)
//   stop SERVICE              ControlService(STOP) to stopped (and to both helpers gone)
//   stubborn-stop             the same with an explorer helper that ignores WM_CLOSE
//   early-stop                a stop as soon as both helpers' processes exist; helpers left after it
//   figures IMAGE             handle count and memory of the process, from the process list
//   repaint                   one full repaint of the shell window, done when it returns
//   hook-storm N              N "window created" shell hook events while session 0 has the console
//   session-storm N           N session notifications (console moves between sessions 1 and 0)
//   lookup N                  process_pid over a process list of N entries
//   run PROGRAM ARGS...       wall time of a program started and waited for
//   nothing                   does nothing (the baseline of "run")
//   agent-window TITLE        waits until the session 0 agent lists a window of that title; its ID
//   live TITLE SECONDS        polls that window's image as the viewer's window does (Capture with the
//                             last hash on the viewer's schedule, List every second); changed frames
//                             per second
//   viewer-open TITLE         starts QuillonViewer's window and selects that window in its list
//   viewer-close              closes the viewer's window and waits for the viewer to end
//   close-window TITLE        WM_CLOSE to the top-level window of that title (a bench canvas)
//   stations EXTRA WINDOWS SECONDS
//                             makes EXTRA window stations ("QuillonBench1", ...) with a desktop
//                             "Default" each and WINDOWS visible windows in all, spread over the own
//                             desktop and the new ones; holds them for SECONDS
//   agent-count               the windows the agent lists and in how many places
//   follow SECONDS            a tray's feed loop (Watch as QuillonTray asks, 25 s at most per
//                             answer) for SECONDS; answers and changes seen
//   clean                     ends every helper, viewer and bench window and puts the simulated
//                             Terminal Services back

#include <windows.h>
#include <wtsapi32.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <system_error>
#include <string>
#include <vector>

#include "BenchClient.h"
#include "agent/AgentClient.h"
#include "ProcessFigures.h"
#include "TermSrv.h"
#include "session/ProcessLookup.h"
#include "viewer/CaptureSchedule.h"

namespace ts = bench::termsrv;

namespace
{
constexpr const wchar_t* Explorer = L"QuillonExplorer.exe";
constexpr const wchar_t* Tray = L"QuillonTray.exe";

double Now()
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

void Print(const char* name, double value)
{
    std::printf("%s %.3f\n", name, value);
    std::fflush(stdout);
}

int Fail(const char* what)
{
    std::fprintf(stderr, "BenchMeasure: %s (error %lu)\n", what, GetLastError());
    return 1;
}

using bench::ProcessesNamed;

size_t CopiesIn(const wchar_t* image, DWORD session)
{
    return bench::CopiesIn(image, session).size();
}

// One copy of the helper in session 0, with its window.
bool HelperUp(const wchar_t* image, const wchar_t* className)
{
    const std::vector<DWORD> pids = bench::CopiesIn(image, 0);
    return pids.size() == 1 && bench::WindowOf(className, pids[0]) != nullptr;
}

// The second baseline of the start-up figures (BenchMinimalWindowService.cpp) and its window.
constexpr wchar_t MinimalWindowService[] = L"QuillonBenchMinimalWindow";
constexpr wchar_t MinimalWindowClass[] = L"QuillonBenchMinimalWindow";

bool Visible(HWND window)
{
    return window != nullptr && IsWindowVisible(window);
}

// Polls the state often: the figure is the time to the state, give or take a millisecond.
bool WaitState(const bench::Service& service, DWORD state, DWORD timeoutMs)
{
    return bench::WaitUntil([&] { return service.State() == state; }, timeoutMs, 1);
}

int Start(const wchar_t* name)
{
    bench::Service service(name);
    if (!service.StopAndWait())
        return Fail("the service did not stop before the start");
    const bool shell = _wcsicmp(name, bench::ServiceName) == 0;
    if (shell)
        bench::WaitUntil([] { return ProcessesNamed(Explorer).empty() && ProcessesNamed(Tray).empty(); }, 5000);
    const double begin = Now();
    if (service.Start() != 0)
        return Fail("StartServiceW");
    if (!WaitState(service, SERVICE_RUNNING, 10000))
        return Fail("the service did not reach SERVICE_RUNNING");
    Print("running_ms", Now() - begin);
    if (shell)
    {
        if (!bench::WaitUntil([] { return Visible(bench::FindShellWindow()); }, 10000, 1))
            return Fail("the shell window did not show");
        Print("shell_ms", Now() - begin);
    }
    if (_wcsicmp(name, MinimalWindowService) == 0)
    {
        if (!bench::WaitUntil([] { return Visible(FindWindowW(MinimalWindowClass, nullptr)); }, 10000, 1))
            return Fail("the reference service's window did not show");
        Print("window_ms", Now() - begin);
    }
    return 0;
}

int Stop(const wchar_t* name)
{
    bench::Service service(name);
    if (service.State() != SERVICE_RUNNING)
        return Fail("the service does not run");
    const bool shell = _wcsicmp(name, bench::ServiceName) == 0;
    // A helper asked to close before its window exists does not hear the request: the stop is
    // measured with both helpers up.
    if (shell && !bench::WaitUntil([] { return HelperUp(Explorer, L"Shell_TrayWnd") && HelperUp(Tray, L"QuillonTray"); },
                                   10000))
        return Fail("the session 0 helpers do not run");
    const bench::ProcessWatch process(service.Status().dwProcessId);
    const double begin = Now();
    if (service.Control(SERVICE_CONTROL_STOP) != 0)
        return Fail("ControlService(STOP)");
    if (!WaitState(service, SERVICE_STOPPED, 20000))
        return Fail("the service did not stop");
    Print("stopped_ms", Now() - begin);
    if (shell)
    {
        // The trays of users' sessions are not the service's to close.
        if (!bench::WaitUntil([] { return CopiesIn(Explorer, 0) == 0 && CopiesIn(Tray, 0) == 0; }, 5000, 1))
            return Fail("a helper outlived the stop");
        Print("helpers_gone_ms", Now() - begin);
    }
    // Not part of the figures, but the next start fails with 1359 while the process still ends.
    if (process.valid() && !process.Ended(10000))
        return Fail("the service's process did not end after SERVICE_STOPPED");
    return 0;
}

// The service stopped and none of its helpers left running: what a stop measurement starts from.
bool StopWithoutHelpers(bench::Service& service)
{
    const bool stopped = service.StopAndWait();
    bench::EndAll(Explorer);
    bench::EndAll(Tray);
    return stopped;
}

int EarlyStop()
{
    bench::Service service;
    if (!StopWithoutHelpers(service))
        return Fail("the service did not stop before the measurement");
    if (service.Start() != 0)
        return Fail("StartServiceW");
    if (!bench::WaitUntil([] { return CopiesIn(Explorer, 0) == 1 && CopiesIn(Tray, 0) == 1; }, 10000, 1))
        return Fail("the session 0 helpers did not start");
    if (service.Control(SERVICE_CONTROL_STOP) != 0 || !WaitState(service, SERVICE_STOPPED, 20000))
        return Fail("the service did not stop");
    // Well beyond the helpers' time to close.
    Sleep(3000);
    Print("helpers_left", static_cast<double>(CopiesIn(Explorer, 0) + CopiesIn(Tray, 0)));
    bench::EndAll(Explorer);
    bench::EndAll(Tray);
    return 0;
}

int StubbornStop()
{
    bench::Service service;
    if (!StopWithoutHelpers(service))
        return Fail("the service did not stop before the measurement");
    // A stand-in in the explorer helper's place beside the service, already running: the shell
    // adopts it (a program of that name from elsewhere it would not). The helper is put back after.
    const std::wstring helper = bench::ProgramDirectory() + L"\\..\\bin\\" + Explorer;
    int result = 0;
    {
        const bench::StandInProgram stubborn(L"BenchStubbornHelper.exe", bench::StandInProgram::InPlaceOf{helper},
                                             L"Shell_TrayWnd");
        if (!stubborn.valid())
            return Fail("starting the stubborn helper");
        if (bench::WaitForWindow(L"Shell_TrayWnd", nullptr, 5000) == nullptr || !service.StartAndWaitForShell() ||
            !bench::WaitUntil([] { return CopiesIn(Tray, 0) == 1; }, 10000))
        {
            result = Fail("the service did not start beside the stubborn helper");
        }
        else
        {
            const double begin = Now();
            if (service.Control(SERVICE_CONTROL_STOP) != 0 || !WaitState(service, SERVICE_STOPPED, 20000))
                result = Fail("the service did not stop");
            else
                Print("stopped_ms", Now() - begin);
        }
    }
    bench::EndAll(Tray);
    return result;
}

int Figures(const wchar_t* image)
{
    const std::vector<figures::Process> found = figures::Named(image);
    if (found.size() != 1)
        return Fail("not exactly one process of the image");
    Print("handles", found[0].handles);
    Print("threads", found[0].threads);
    Print("private_kb", static_cast<double>(found[0].privateBytes) / 1024.0);
    Print("working_set_kb", static_cast<double>(found[0].workingSet) / 1024.0);
    Print("cpu_ms", static_cast<double>(found[0].cpu100ns) / 10000.0);
    return 0;
}

int Repaint()
{
    const HWND shell = bench::FindShellWindow();
    if (shell == nullptr)
        return Fail("no shell window");
    const double begin = Now();
    // UpdateWindow sends WM_PAINT to the other thread and returns once it was handled.
    InvalidateRect(shell, nullptr, FALSE);
    UpdateWindow(shell);
    Print("repaint_ms", Now() - begin);
    return 0;
}

double ServiceCpuMs()
{
    const DWORD pid = [] {
        bench::Service service;
        return service.Status().dwProcessId;
    }();
    figures::Process process;
    return figures::Of(pid, &process) ? static_cast<double>(process.cpu100ns) / 10000.0 : -1.0;
}

// The shell, registered for notifications, with the user of session 1 away from the console.
HWND ShellWithUserAway()
{
    const HWND shell = bench::FindShellWindow();
    if (shell == nullptr || !bench::WaitUntil([&] { return ts::IsRegistered(shell); }, 10000))
        return nullptr;
    if (!ts::LogOn(1, L"bench") || !ts::ConnectConsole(1) || !ts::ConnectConsole(0))
        return nullptr;
    if (!bench::WaitUntil([] { return CopiesIn(Tray, 1) == 1; }, 10000) || !bench::FlushWindow(shell))
        return nullptr;
    return shell;
}

int HookStorm(int count)
{
    const HWND shell = ShellWithUserAway();
    if (shell == nullptr)
        return Fail("the shell is not ready for the storm");
    const UINT message = RegisterWindowMessageW(L"SHELLHOOK");
    const double cpuBefore = ServiceCpuMs();
    const double begin = Now();
    for (int i = 0; i < count; ++i)
        if (!PostMessageW(shell, message, 1, 0))
            return Fail("posting a shell hook event");
    if (!bench::FlushWindow(shell, 120000))
        return Fail("the queue did not drain");
    Print("drain_ms", Now() - begin);
    Print("cpu_ms", ServiceCpuMs() - cpuBefore);
    Print("trays_session1", static_cast<double>(CopiesIn(Tray, 1)));
    Print("trays_session0", static_cast<double>(CopiesIn(Tray, 0)));
    return 0;
}

int SessionStorm(int count)
{
    const HWND shell = ShellWithUserAway();
    if (shell == nullptr)
        return Fail("the shell is not ready for the storm");
    const LONG movesBefore = ts::MovesSeen().count;
    const double cpuBefore = ServiceCpuMs();
    const double begin = Now();
    // Each move of the console is two notifications: the disconnect and the connect.
    for (int i = 0; i < count / 2; ++i)
        if (!ts::ConnectConsole(i % 2 == 0 ? 1 : 0))
            return Fail("moving the console");
    if (!bench::FlushWindow(shell, 120000))
        return Fail("the queue did not drain");
    Print("drain_ms", Now() - begin);
    Print("cpu_ms", ServiceCpuMs() - cpuBefore);
    Print("moves", static_cast<double>(ts::MovesSeen().count - movesBefore));
    Print("trays_session1", static_cast<double>(CopiesIn(Tray, 1)));
    return 0;
}

// --- process_pid over a list of a chosen length -------------------------------------------
// The stand-in's list holds the processes that really run. For longer lists this program's own
// import of WTSEnumerateProcessesW is pointed at a copy of a made-up list: N-1 other images in
// session 0, the one looked for last. Each call copies the list, as an enumeration would.

std::vector<BYTE> FakeList;
DWORD FakeCount = 0;

BOOL WINAPI FakeEnumerate(HANDLE, DWORD, DWORD, PWTS_PROCESS_INFOW* info, DWORD* count)
{
    auto* copy = static_cast<BYTE*>(LocalAlloc(LMEM_FIXED, FakeList.size()));
    if (copy == nullptr)
        return FALSE;
    std::copy(FakeList.begin(), FakeList.end(), copy);
    auto* records = reinterpret_cast<WTS_PROCESS_INFOW*>(copy);
    const ptrdiff_t shift = copy - FakeList.data();
    for (DWORD i = 0; i < FakeCount; ++i)
        records[i].pProcessName = reinterpret_cast<LPWSTR>(reinterpret_cast<BYTE*>(records[i].pProcessName) + shift);
    *info = records;
    *count = FakeCount;
    return TRUE;
}

void WINAPI FakeFree(PVOID memory)
{
    LocalFree(memory);
}

void BuildFakeList(DWORD count)
{
    std::vector<std::wstring> names;
    for (DWORD i = 0; i + 1 < count; ++i)
        names.push_back(L"BenchProcess" + std::to_wstring(i) + L".exe");
    names.push_back(Explorer);
    size_t bytes = count * sizeof(WTS_PROCESS_INFOW);
    for (const std::wstring& name : names)
        bytes += (name.size() + 1) * sizeof(wchar_t);
    FakeList.assign(bytes, 0);
    auto* records = reinterpret_cast<WTS_PROCESS_INFOW*>(FakeList.data());
    auto* text = reinterpret_cast<wchar_t*>(FakeList.data() + count * sizeof(WTS_PROCESS_INFOW));
    for (DWORD i = 0; i < count; ++i)
    {
        records[i].SessionId = 0;
        records[i].ProcessId = 1000 + 4 * i;
        records[i].pProcessName = text;
        std::copy(names[i].begin(), names[i].end(), text);
        text += names[i].size() + 1;
    }
    FakeCount = count;
}

bool PatchImport(const char* dll, void* original, void* replacement)
{
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* import = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress); import->Name != 0;
         ++import)
    {
        if (_stricmp(reinterpret_cast<const char*>(base + import->Name), dll) != 0)
            continue;
        for (auto* thunk = reinterpret_cast<IMAGE_THUNK_DATA*>(base + import->FirstThunk); thunk->u1.Function != 0;
             ++thunk)
        {
            if (reinterpret_cast<void*>(thunk->u1.Function) != original)
                continue;
            DWORD old = 0;
            VirtualProtect(&thunk->u1.Function, sizeof thunk->u1.Function, PAGE_READWRITE, &old);
            thunk->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&thunk->u1.Function, sizeof thunk->u1.Function, old, &old);
            return true;
        }
    }
    return false;
}

int Lookup(int count)
{
    if (count > 0)
    {
        const HMODULE wtsapi = GetModuleHandleW(L"wtsapi32.dll");
        BuildFakeList(static_cast<DWORD>(count));
        if (wtsapi == nullptr ||
            !PatchImport("wtsapi32.dll", reinterpret_cast<void*>(GetProcAddress(wtsapi, "WTSEnumerateProcessesW")),
                         reinterpret_cast<void*>(&FakeEnumerate)) ||
            !PatchImport("wtsapi32.dll", reinterpret_cast<void*>(GetProcAddress(wtsapi, "WTSFreeMemory")),
                         reinterpret_cast<void*>(&FakeFree)))
            return Fail("pointing the import at the made-up list");
    }
    // Enough calls for a millisecond-scale total; the median of the batches is printed.
    constexpr int Batches = 9;
    const int calls = count > 0 ? std::max(20, 200000 / count) : 50;
    std::vector<double> perCall;
    DWORD found = 0;
    for (int batch = 0; batch < Batches; ++batch)
    {
        const double begin = Now();
        for (int i = 0; i < calls; ++i)
            found = process_pid(Explorer, 0);
        perCall.push_back((Now() - begin) * 1000.0 / calls);
    }
    if (found == 0)
        return Fail("the image was not found");
    std::sort(perCall.begin(), perCall.end());
    Print("lookup_us", perCall[Batches / 2]);
    return 0;
}

// --- the session 0 agent and the viewer -------------------------------------------------------

constexpr const wchar_t* Viewer = L"QuillonViewer.exe";
constexpr const wchar_t* ViewerTitle = L"Quillon session 0 windows";

int AgentFail(const char* what, const std::exception& error)
{
    std::fprintf(stderr, "BenchMeasure: %s: %s\n", what, error.what());
    return 1;
}

// The agent's id of the listed window with that title; 0 when there is none.
uint32_t ListedWindow(agent::Client& client, const wchar_t* title)
{
    for (const agent::WindowEntry& entry : client.List())
        if (entry.title == title)
            return entry.window;
    return 0;
}

int AgentWindow(const wchar_t* title)
{
    try
    {
        agent::Client client = agent::Client::Connect();
        uint32_t window = 0;
        if (!bench::WaitUntil([&] { return (window = ListedWindow(client, title)) != 0; }, 15000, 200))
            return Fail("the agent does not list the window");
        std::printf("id 0x%08X\n", window);
        return 0;
    }
    catch (const std::exception& error)
    {
        return AgentFail("asking the agent", error);
    }
}

// The viewer window's schedule, from this side of the pipe: captures on the viewer's schedule (the
// hash of the last image sent along, so an unchanged window costs no pixels), the list every second.
int Live(const wchar_t* title, int seconds)
{
    using Clock = std::chrono::steady_clock;
    constexpr auto ListPeriod = std::chrono::milliseconds(1000);
    try
    {
        agent::Client client = agent::Client::Connect();
        const uint32_t window = ListedWindow(client, title);
        if (window == 0)
            return Fail("the agent does not list the window");
        // The first image is the one a viewer gets on selecting; frames are the changes after it.
        agent::Image first = client.Capture(window, 0);
        uint64_t hash = first.hash;
        int polls = 0, changed = 0;
        std::vector<double> changedMs;
        const Clock::time_point begin = Clock::now();
        const Clock::time_point end = begin + std::chrono::seconds(seconds);
        viewer::CaptureSchedule capture;
        Clock::time_point nextList = begin + ListPeriod;
        while (Clock::now() < end)
        {
            const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(std::min(capture.Due(), nextList) -
                                                                                     Clock::now());
            if (wait.count() > 0)
                Sleep(static_cast<DWORD>(wait.count()));
            if (Clock::now() >= nextList)
            {
                nextList += ListPeriod;
                client.List();
            }
            if (Clock::now() >= capture.Due())
            {
                const Clock::time_point started = Clock::now();
                const agent::Image image = client.Capture(window, hash);
                ++polls;
                if (!image.unchanged)
                {
                    ++changed;
                    hash = image.hash;
                    changedMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - started).count());
                }
                capture.Asked(started, !image.unchanged);
            }
        }
        const double took = std::chrono::duration<double>(Clock::now() - begin).count();
        std::sort(changedMs.begin(), changedMs.end());
        Print("width", first.width);
        Print("height", first.height);
        Print("polls", polls);
        Print("changed_frames", changed);
        Print("frames_per_s", changed / took);
        if (!changedMs.empty())
            Print("changed_capture_ms", changedMs[changedMs.size() / 2]);
        return 0;
    }
    catch (const std::exception& error)
    {
        return AgentFail("polling the window", error);
    }
}

// --- Window stations and the feed --------------------------------------------------------------

struct StationWindows
{
    HWINSTA station = nullptr;   // nullptr: the thread's own desktop
    HDESK desktop = nullptr;
    int count = 0;
    int first = 0;
};

// Wine lets a thread onto a desktop only while the process is on that desktop's station, and
// the process's station is shared by its threads: one move at a time, undone at once.
CRITICAL_SECTION stationMove;

DWORD WINAPI MakeStationWindows(void* parameter)
{
    const StationWindows& job = *static_cast<StationWindows*>(parameter);
    // A fresh thread owns no window yet, so it may move to another desktop.
    if (job.desktop != nullptr)
    {
        EnterCriticalSection(&stationMove);
        const HWINSTA own = GetProcessWindowStation();
        const bool moved = SetProcessWindowStation(job.station) && SetThreadDesktop(job.desktop);
        SetProcessWindowStation(own);
        LeaveCriticalSection(&stationMove);
        if (!moved)
            return 1;
    }
    for (int i = 0; i < job.count; ++i)
    {
        const std::wstring title = L"Bench station window " + std::to_wstring(job.first + i);
        if (CreateWindowExW(0, L"BenchStationWindow", title.c_str(), WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40 + i * 8,
                            40 + i * 8, 320, 200, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr) == nullptr)
            return 1;
    }
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0)
        DispatchMessageW(&msg);
    return 0;
}

int Stations(int extra, int windows, int seconds)
{
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = L"BenchStationWindow";
    RegisterClassW(&wc);
    InitializeCriticalSection(&stationMove);
    std::vector<StationWindows> jobs(static_cast<size_t>(extra) + 1);
    // A desktop is made on the process's window station: the process moves to each new
    // station in turn, and back.
    const HWINSTA own = GetProcessWindowStation();
    for (int i = 1; i <= extra; ++i)
    {
        const std::wstring name = L"QuillonBench" + std::to_wstring(i);
        const HWINSTA station = CreateWindowStationW(name.c_str(), 0, WINSTA_ALL_ACCESS, nullptr);
        if (station == nullptr || !SetProcessWindowStation(station))
            return Fail("cannot make a window station");
        jobs[static_cast<size_t>(i)].station = station;
        jobs[static_cast<size_t>(i)].desktop = CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
        SetProcessWindowStation(own);
        if (jobs[static_cast<size_t>(i)].desktop == nullptr)
            return Fail("cannot make a desktop");
    }
    int first = 0;
    for (size_t i = 0; i < jobs.size(); ++i)
    {
        jobs[i].first = first;
        jobs[i].count = windows / static_cast<int>(jobs.size()) + (i < windows % jobs.size() ? 1 : 0);
        first += jobs[i].count;
        const HANDLE thread = CreateThread(nullptr, 0, MakeStationWindows, &jobs[i], 0, nullptr);
        if (thread == nullptr)
            return Fail("cannot start a thread");
        CloseHandle(thread);
    }
    Sleep(static_cast<DWORD>(seconds) * 1000);
    ExitProcess(0);
}

int AgentCount()
{
    try
    {
        agent::Client client = agent::Client::Connect();
        std::vector<std::wstring> places;
        const std::vector<agent::WindowEntry> windows = client.List();
        for (const agent::WindowEntry& window : windows)
            if (std::find(places.begin(), places.end(), window.place) == places.end())
                places.push_back(window.place);
        Print("windows", static_cast<double>(windows.size()));
        Print("places", static_cast<double>(places.size()));
        return 0;
    }
    catch (const std::exception& error)
    {
        return AgentFail("asking the agent", error);
    }
}

// As a user's tray follows the feed (helpers/TrayFeed.cpp): the same wait per request.
int Follow(int seconds)
{
    constexpr uint32_t TrayWaitMs = 25000;
    try
    {
        agent::Client client = agent::Client::Connect(5000, true);
        uint32_t sequence = 0;
        int answers = 0;
        int changes = 0;
        size_t windows = 0;
        const double end = Now() + seconds * 1000.0;
        for (double now = Now(); now < end; now = Now())
        {
            const agent::Feed feed = client.Watch(sequence, static_cast<uint32_t>(std::min(end - now, 1.0 * TrayWaitMs)));
            ++answers;
            if (feed.sequence != sequence)
                ++changes;
            sequence = feed.sequence;
            windows = feed.windows.size();
        }
        Print("answers", answers);
        Print("changes", changes);
        Print("feed_windows", static_cast<double>(windows));
        return 0;
    }
    catch (const std::exception& error)
    {
        return AgentFail("following the feed", error);
    }
}

HWND ViewerWindow()
{
    return FindWindowW(L"QuillonViewer", ViewerTitle);
}

// The selection is made as the list box reports a click: the current item set, then
// LBN_SELCHANGE to its parent. No mouse is needed, and covering windows do not matter.
int ViewerOpen(const wchar_t* title)
{
    const std::wstring image = bench::ProgramDirectory() + L"\\..\\bin\\" + Viewer;
    std::wstring commandLine = L"\"" + image + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(image.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info))
        return Fail("starting the viewer");
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    HWND viewer = nullptr, list = nullptr;
    HWND target = nullptr;
    try
    {
        agent::Client client = agent::Client::Connect();
        target = reinterpret_cast<HWND>(static_cast<uintptr_t>(ListedWindow(client, title)));
    }
    catch (const std::exception& error)
    {
        return AgentFail("asking the agent", error);
    }
    if (target == nullptr)
        return Fail("the agent does not list the window");
    int index = -1;
    if (!bench::WaitUntil(
            [&] {
                viewer = ViewerWindow();
                list = GetDlgItem(viewer, 1);
                const int count = list != nullptr ? static_cast<int>(SendMessageW(list, LB_GETCOUNT, 0, 0)) : 0;
                for (int i = 0; i < count; ++i)
                    if (static_cast<uint32_t>(SendMessageW(list, LB_GETITEMDATA, i, 0)) ==
                        static_cast<uint32_t>(reinterpret_cast<uintptr_t>(target)))
                        index = i;
                return index >= 0;
            },
            15000, 100))
        return Fail("the viewer did not list the window");
    SendMessageW(list, LB_SETCURSEL, index, 0);
    SendMessageW(viewer, WM_COMMAND, MAKEWPARAM(1, LBN_SELCHANGE), reinterpret_cast<LPARAM>(list));
    wchar_t id[16];
    swprintf(id, 16, L"0x%08X", static_cast<uint32_t>(reinterpret_cast<uintptr_t>(target)));
    if (!bench::WaitUntil(
            [&] {
                wchar_t status[256] = {};
                GetWindowTextW(GetDlgItem(viewer, 3), status, 256);
                return std::wstring(status).rfind(id, 0) == 0;
            },
            10000, 100))
        return Fail("the viewer did not show the window");
    Print("selected", 1);
    return 0;
}

int ViewerClose()
{
    const HWND viewer = ViewerWindow();
    if (viewer != nullptr)
        PostMessageW(viewer, WM_CLOSE, 0, 0);
    if (!bench::WaitUntil([] { return ProcessesNamed(Viewer).empty(); }, 5000))
    {
        bench::EndAll(Viewer);
        return Fail("the viewer did not end on WM_CLOSE");
    }
    return 0;
}

int Run(int argc, wchar_t** argv)
{
    std::wstring arguments;
    for (int i = 1; i < argc; ++i)
        arguments += (i > 1 ? L" " : L"") + std::wstring(argv[i]);
    const double begin = Now();
    bench::StartedProgram program(argv[0], arguments);
    if (!program.valid())
        return Fail("starting the program");
    const bool ended = program.Ended(120000);
    const double took = Now() - begin;
    if (!ended)
        return Fail("the program did not end");
    Print("wall_ms", took);
    Print("exit_code", program.ExitCode());
    return 0;
}
}

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
        return Fail("usage: BenchMeasure MEASUREMENT [ARGUMENTS]");
    const std::wstring what = argv[1];
    const wchar_t* argument = argc > 2 ? argv[2] : L"";
    if (what == L"nothing")
        return 0;
    if (what == L"clean")
    {
        bench::EndAll(Viewer);
        bench::EndAll(L"BenchDialogs.exe");
        bench::EndAll(Tray);
        bench::EndAll(Explorer);
        ts::Reset();
        return 0;
    }
    if (what == L"start" && argc > 2)
        return Start(argument);
    if (what == L"stop" && argc > 2)
        return Stop(argument);
    if (what == L"early-stop")
        return EarlyStop();
    if (what == L"stubborn-stop")
        return StubbornStop();
    if (what == L"figures" && argc > 2)
        return Figures(argument);
    if (what == L"repaint")
        return Repaint();
    if (what == L"hook-storm")
        return HookStorm(argc > 2 ? _wtoi(argument) : 1000);
    if (what == L"session-storm")
        return SessionStorm(argc > 2 ? _wtoi(argument) : 1000);
    if (what == L"lookup")
        return Lookup(argc > 2 ? _wtoi(argument) : 0);
    if (what == L"agent-window" && argc > 2)
        return AgentWindow(argument);
    if (what == L"live" && argc > 3)
        return Live(argument, _wtoi(argv[3]));
    if (what == L"viewer-open" && argc > 2)
        return ViewerOpen(argument);
    if (what == L"viewer-close")
        return ViewerClose();
    if (what == L"close-window" && argc > 2)
    {
        const HWND window = FindWindowW(nullptr, argument);
        if (window == nullptr || !PostMessageW(window, WM_CLOSE, 0, 0))
            return Fail("no such window");
        return bench::WaitUntil([&] { return !IsWindow(window); }, 5000) ? 0 : Fail("the window did not close");
    }
    if (what == L"stations" && argc > 4)
        return Stations(_wtoi(argument), _wtoi(argv[3]), _wtoi(argv[4]));
    if (what == L"agent-count")
        return AgentCount();
    if (what == L"follow" && argc > 2)
        return Follow(_wtoi(argument));
    if (what == L"run" && argc > 2)
        return Run(argc - 2, argv + 2);
    return Fail("unknown measurement");
}
