#pragma once

// Helpers for tests and bench programs that drive the UI0Detect service under Wine and look at
// what it shows. Every wait is bounded.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace bench
{
constexpr const wchar_t* ServiceName = L"UI0Detect";
constexpr const wchar_t* ShellClass = L"$$$UI0Background";
constexpr const wchar_t* ShellTitle = L"Shell0 Window";

// Polls until the predicate holds or the time is up; true when it held.
template <typename Predicate>
bool WaitUntil(Predicate predicate, DWORD timeoutMs, DWORD pollMs = 20)
{
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;)
    {
        if (predicate())
            return true;
        if (GetTickCount64() >= end)
            return false;
        Sleep(pollMs);
    }
}

class Service
{
public:
    explicit Service(const wchar_t* name = ServiceName, DWORD access = SERVICE_ALL_ACCESS);
    ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    SC_HANDLE handle() const { return service_; }
    SERVICE_STATUS_PROCESS Status() const;
    DWORD State() const { return Status().dwCurrentState; }
    bool WaitForState(DWORD state, DWORD timeoutMs) const;

    // StartServiceW, retried while Wine's manager answers 1055 right after a change.
    DWORD Start();
    // Stops (when running) and waits for SERVICE_STOPPED; false on time-out.
    bool StopAndWait(DWORD timeoutMs = 10000);
    // Starts (when stopped) and waits for SERVICE_RUNNING and the shell window to be shown.
    bool StartAndWaitForShell(DWORD timeoutMs = 10000);
    // ControlService; returns the error code (0 on success).
    DWORD Control(DWORD code, SERVICE_STATUS* status = nullptr);

private:
    SC_HANDLE manager_ = nullptr;
    SC_HANDLE service_ = nullptr;
};

HWND FindShellWindow();
HWND WaitForWindow(const wchar_t* className, const wchar_t* title, DWORD timeoutMs);

// Waits until the window's thread has handled everything posted to it before this call.
bool FlushWindow(HWND window, DWORD timeoutMs = 5000);

// The Windows version that Wine reports to one program ("win10", "win81", ...), or the prefix's
// default again when version is empty. Read by the program at its start.
void SetProgramWindowsVersion(const wchar_t* program, const wchar_t* version);

// A copy of the screen's pixels in the rectangle, as 0x00RRGGBB, rows top-down.
struct Pixels
{
    RECT rect{};
    std::vector<uint32_t> data;
    uint32_t at(LONG x, LONG y) const
    {
        return data[static_cast<size_t>(y - rect.top) * (rect.right - rect.left) + (x - rect.left)];
    }
};
Pixels CaptureScreen(const RECT& rect);
Pixels CaptureDc(HDC dc, const RECT& rect);
// A 32-bit surface with rows top-down, its pixels at *bits; nullptr when it cannot be made.
HBITMAP CreateTopDownBitmap(HDC dc, LONG width, LONG height, void** bits);

// Bounding box of the pixels of one colour; empty rectangle when there is none.
RECT BoundingBoxOf(const Pixels& pixels, uint32_t colour);
size_t CountOf(const Pixels& pixels, uint32_t colour);

// Where the shell's banner text must stand: the lines measured in the default font, stacked from
// the top-left corner (0, 0).
RECT MeasureTextLines(const std::vector<std::wstring>& lines);

// The rectangle of all monitors together, which the shell's window covers.
RECT VirtualScreen();

std::wstring ProgramDirectory();
// A shipped program, in bin/ beside the test programs.
std::wstring BinPath(const wchar_t* image);
// A program of the bench (testbench/ of the build).
std::wstring BenchProgramPath(const wchar_t* name);

// A top-level window of a desktop of a window station, and its place "station\\desktop".
struct PlacedWindow
{
    std::wstring place;
    HWND window = nullptr;
    std::wstring title;
};
// Every top-level window of every desktop of every window station the process can open.
std::vector<PlacedWindow> WindowsOfEveryStation();

// --- Processes -------------------------------------------------------------------------------

// The helpers that the service keeps running in session 0 and the trays of users' sessions.
constexpr const wchar_t* ExplorerHelper = L"QuillonExplorer.exe";
constexpr const wchar_t* TrayHelper = L"QuillonTray.exe";

// Ids of the processes whose image name is the given one (any letter case), in the system's order.
std::vector<DWORD> ProcessesNamed(const wchar_t* image);
// Those of them that run in the session of the simulated Terminal Services.
std::vector<DWORD> CopiesIn(const wchar_t* image, DWORD session);
// Waits for exactly one copy in the session other than notThis; its id, or 0.
DWORD WaitForOneCopy(const wchar_t* image, DWORD session, DWORD notThis = 0, DWORD timeoutMs = 10000,
                     DWORD pollMs = 20);
// The full path of the process's image; empty when it cannot be read.
std::wstring ImageOf(DWORD pid);
// Ends the process and waits up to 5 s for it; true when it ended or was not there.
bool EndProcess(DWORD pid, UINT exitCode = 99);
// Ends every process of the image, as EndProcess does.
void EndAll(const wchar_t* image);

// The process's own top-level window of the class, or nullptr: others may have one of the same
// class (Wine's explorer.exe has a "Shell_TrayWnd").
HWND WindowOf(const wchar_t* className, DWORD pid);
HWND WaitForWindowOf(const wchar_t* className, DWORD pid, DWORD timeoutMs);

// A process held by its handle, so that its end and exit code can be read whenever it ends.
// Empty (valid() false) when it could not be opened.
class ProcessWatch
{
public:
    explicit ProcessWatch(DWORD pid);
    ~ProcessWatch();
    ProcessWatch(const ProcessWatch&) = delete;
    ProcessWatch& operator=(const ProcessWatch&) = delete;

    bool valid() const { return process_ != nullptr; }
    HANDLE handle() const { return process_; }
    DWORD pid() const { return pid_; }
    bool Running() const { return process_ != nullptr && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }
    bool Ended(DWORD timeoutMs) const { return WaitForSingleObject(process_, timeoutMs) == WAIT_OBJECT_0; }
    // STILL_ACTIVE while it runs, and when it cannot be read.
    DWORD ExitCode() const;
    // Its own top-level window of the class, waited for.
    HWND Window(const wchar_t* className, DWORD timeoutMs = 10000) const
    {
        return WaitForWindowOf(className, pid_, timeoutMs);
    }

protected:
    ProcessWatch() = default;
    HANDLE process_ = nullptr;
    DWORD pid_ = 0;
};

// A program started by a test, by full path, ended when the object goes (it shares the test's
// output pipe, so it must end).
class StartedProgram : public ProcessWatch
{
public:
    explicit StartedProgram(const std::wstring& path, const std::wstring& arguments = std::wstring());
    ~StartedProgram();

    // Ends it now, should it still run.
    void End(UINT exitCode = 99);

protected:
    StartedProgram() = default;
    // Starts it, once; nothing runs when that fails.
    void Start(const std::wstring& path, const std::wstring& arguments);
};

// A bench program copied under another image name and started as a stand-in for that program;
// the copy goes with the object. From a folder of its own beside the tests (made and removed
// with it) the stand-in merely bears the name. In the program's own place (its image moved aside
// while the stand-in runs, and put back) a launcher there takes it for its program.
class StandInProgram : public StartedProgram
{
public:
    StandInProgram(const wchar_t* benchProgram, const std::wstring& folder, const wchar_t* image,
                   const std::wstring& arguments);
    // The full path of the program whose place the stand-in takes.
    struct InPlaceOf
    {
        std::wstring program;
    };
    StandInProgram(const wchar_t* benchProgram, const InPlaceOf& place, const std::wstring& arguments);
    ~StandInProgram();

private:
    std::wstring folder_, image_, away_;
    bool placed_ = false;
};

// The LocalLow folder of the calling account, where the service writes its crash dump; empty
// when the system cannot say.
std::wstring LocalLowFolder();
std::string Narrow(const std::wstring& text);

// A whole file's bytes, read to its end whatever size it claims; empty when it cannot be opened.
// Opened for others to go on writing, as a service's dump or a bench program's results file may
// still be open.
std::string ReadFileBytes(const std::wstring& path);
// Waits up to 5 s for a file to hold the line (with its line feed).
bool WaitForLine(const std::wstring& path, const std::string& line);

// A mini dump read whole: its signature, every stream inside the file, and an exception stream.
struct MiniDump
{
    bool valid = false;
    DWORD threadId = 0;
    DWORD exceptionCode = 0;
    std::string problem;   // why it is not valid
};
MiniDump ReadMiniDump(const std::string& bytes);

// Makes the process fail as with a fault of its own: a thread started in it at an address where
// nothing is mapped. False when no thread could be started there.
bool FaultInProcess(DWORD pid);
// A fault made in a process (FaultInProcess), its end and the dump it left at the path.
struct FaultEnd
{
    bool faulted = false;
    bool ended = false;
    DWORD exitCode = STILL_ACTIVE;
    MiniDump dump;
};
FaultEnd FaultAndReadDump(const ProcessWatch& process, const std::wstring& dump);

// A service entry's configuration, as the service control manager holds it.
struct ServiceConfig
{
    DWORD type = 0;
    DWORD start = 0;
    DWORD errorControl = 0;
    std::wstring image;
    std::wstring account;
    std::wstring displayName;
};
// False when the entry cannot be queried; config is then unchanged.
bool ReadServiceConfig(SC_HANDLE service, ServiceConfig& config);
}
