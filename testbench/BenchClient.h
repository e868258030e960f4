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

// Bounding box of the pixels of one colour; empty rectangle when there is none.
RECT BoundingBoxOf(const Pixels& pixels, uint32_t colour);
size_t CountOf(const Pixels& pixels, uint32_t colour);

// Where the shell's banner text must stand: the lines measured in the default font, stacked from
// the top-left corner (0, 0).
RECT MeasureTextLines(const std::vector<std::wstring>& lines);

// Ids of the processes whose image name is the given one (any letter case), in the system's order.
std::vector<DWORD> ProcessesNamed(const wchar_t* image);

std::wstring ProgramDirectory();

// A program started by a test, by full path, ended with its handle when the object goes (it
// shares the test's output pipe, so it must end).
class StartedProgram
{
public:
    StartedProgram(const std::wstring& path, const std::wstring& arguments);
    ~StartedProgram();
    StartedProgram(const StartedProgram&) = delete;
    StartedProgram& operator=(const StartedProgram&) = delete;

    DWORD pid() const { return pid_; }
    bool Running() const { return process_ != nullptr && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }
    bool Ended(DWORD timeoutMs) const { return WaitForSingleObject(process_, timeoutMs) == WAIT_OBJECT_0; }
    DWORD ExitCode() const
    {
        DWORD code = 0;
        GetExitCodeProcess(process_, &code);
        return code;
    }

private:
    HANDLE process_ = nullptr;
    DWORD pid_ = 0;
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
// Makes the process fail as with a fault of its own: a thread started in it at an address where
// nothing is mapped. False when no thread could be started there.
bool FaultInProcess(DWORD pid);
// The exception code a mini dump's exception stream records; false when the bytes are no dump
// or have no such stream.
bool ExceptionCodeInDump(const std::string& bytes, DWORD& code);

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
