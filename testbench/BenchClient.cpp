#include "BenchClient.h"

#include <dbghelp.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <algorithm>
#include <stdexcept>

#include "TermSrv.h"

namespace bench
{
Service::Service(const wchar_t* name, DWORD access)
{
    manager_ = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager_ != nullptr)
        service_ = OpenServiceW(manager_, name, access);
    if (service_ == nullptr)
        throw std::runtime_error("cannot open service " + Narrow(name) + ", error " + std::to_string(GetLastError()) +
                                 " (is the bench prefix set up?)");
}

Service::~Service()
{
    if (service_ != nullptr)
        CloseServiceHandle(service_);
    if (manager_ != nullptr)
        CloseServiceHandle(manager_);
}

SERVICE_STATUS_PROCESS Service::Status() const
{
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service_, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                              &needed))
        status.dwCurrentState = 0;
    return status;
}

bool Service::WaitForState(DWORD state, DWORD timeoutMs) const
{
    return WaitUntil([&] { return State() == state; }, timeoutMs);
}

DWORD Service::Start()
{
    DWORD error = 0;
    for (int attempt = 0; attempt < 50; ++attempt)
    {
        if (StartServiceW(service_, 0, nullptr))
            return 0;
        error = GetLastError();
        if (error != ERROR_SERVICE_DATABASE_LOCKED)
            return error;
        Sleep(100);
    }
    return error;
}

bool Service::StopAndWait(DWORD timeoutMs)
{
    const SERVICE_STATUS_PROCESS before = Status();
    // Wine's service manager answers a start with 1359 while the last process still ends after
    // reporting SERVICE_STOPPED: the stop is over when the process is gone too.
    const ProcessWatch process(before.dwProcessId);
    if (before.dwCurrentState != SERVICE_STOPPED)
        Control(SERVICE_CONTROL_STOP);
    const ULONGLONG start = GetTickCount64();
    bool stopped = WaitForState(SERVICE_STOPPED, timeoutMs);
    if (process.valid())
    {
        const ULONGLONG spent = GetTickCount64() - start;
        stopped = stopped && process.Ended(spent < timeoutMs ? static_cast<DWORD>(timeoutMs - spent) : 0);
    }
    return stopped;
}

bool Service::StartAndWaitForShell(DWORD timeoutMs)
{
    if (State() == SERVICE_STOPPED)
    {
        const DWORD error = Start();
        if (error != 0 && error != ERROR_SERVICE_ALREADY_RUNNING)
            return false;
    }
    if (!WaitForState(SERVICE_RUNNING, timeoutMs))
        return false;
    // The window exists from its creation on, but is shown only after its creation steps ran.
    const HWND shell = WaitForWindow(ShellClass, ShellTitle, timeoutMs);
    return shell != nullptr && WaitUntil([shell] { return IsWindowVisible(shell) != FALSE; }, timeoutMs);
}

DWORD Service::Control(DWORD code, SERVICE_STATUS* status)
{
    SERVICE_STATUS local{};
    if (!ControlService(service_, code, status != nullptr ? status : &local))
        return GetLastError();
    return 0;
}

HWND FindShellWindow()
{
    return FindWindowW(ShellClass, ShellTitle);
}

HWND WaitForWindow(const wchar_t* className, const wchar_t* title, DWORD timeoutMs)
{
    HWND window = nullptr;
    WaitUntil([&] { return (window = FindWindowW(className, title)) != nullptr; }, timeoutMs);
    return window;
}

namespace
{
BOOL CALLBACK AddName(LPWSTR name, LPARAM list)
{
    reinterpret_cast<std::vector<std::wstring>*>(list)->push_back(name);
    return TRUE;
}

struct PlacesWalk
{
    std::vector<PlacedWindow>* found;
    std::wstring place;
};

BOOL CALLBACK AddPlacedWindow(HWND window, LPARAM context)
{
    PlacesWalk& walk = *reinterpret_cast<PlacesWalk*>(context);
    wchar_t title[256] = {};
    GetWindowTextW(window, title, ARRAYSIZE(title));
    walk.found->push_back(PlacedWindow{walk.place, window, title});
    return TRUE;
}
}

std::vector<PlacedWindow> WindowsOfEveryStation()
{
    std::vector<std::wstring> stations;
    EnumWindowStationsW(AddName, reinterpret_cast<LPARAM>(&stations));
    std::vector<PlacedWindow> found;
    // A desktop opens only on the process's own window station: the process moves to each
    // station in turn, and back.
    const HWINSTA own = GetProcessWindowStation();
    for (const std::wstring& name : stations)
    {
        const HWINSTA station = OpenWindowStationW(name.c_str(), FALSE, WINSTA_ENUMDESKTOPS);
        if (station == nullptr)
            continue;
        std::vector<std::wstring> desktops;
        if (SetProcessWindowStation(station))
        {
            EnumDesktopsW(station, AddName, reinterpret_cast<LPARAM>(&desktops));
            for (const std::wstring& desktopName : desktops)
            {
                const HDESK desktop = OpenDesktopW(desktopName.c_str(), 0, FALSE, DESKTOP_READOBJECTS | DESKTOP_ENUMERATE);
                if (desktop == nullptr)
                    continue;
                PlacesWalk walk{&found, name + L"\\" + desktopName};
                EnumDesktopWindows(desktop, AddPlacedWindow, reinterpret_cast<LPARAM>(&walk));
                CloseDesktop(desktop);
            }
            SetProcessWindowStation(own);
        }
        CloseWindowStation(station);
    }
    return found;
}

bool FlushWindow(HWND window, DWORD timeoutMs)
{
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_BLOCK, timeoutMs, &result) != 0;
}

void SetProgramWindowsVersion(const wchar_t* program, const wchar_t* version)
{
    const std::wstring key = std::wstring(L"Software\\Wine\\AppDefaults\\") + program;
    if (version == nullptr || *version == L'\0')
    {
        RegDeleteKeyValueW(HKEY_CURRENT_USER, key.c_str(), L"Version");
        return;
    }
    RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), L"Version", REG_SZ, version,
                    static_cast<DWORD>((wcslen(version) + 1) * sizeof(wchar_t)));
}

HBITMAP CreateTopDownBitmap(HDC dc, LONG width, LONG height, void** bits)
{
    BITMAPINFO info{};
    info.bmiHeader = BITMAPINFOHEADER{sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    return CreateDIBSection(dc, &info, DIB_RGB_COLORS, bits, nullptr, 0);
}

Pixels CaptureDc(HDC source, const RECT& rect)
{
    Pixels pixels;
    pixels.rect = rect;
    const LONG width = rect.right - rect.left;
    const LONG height = rect.bottom - rect.top;
    pixels.data.assign(static_cast<size_t>(width) * height, 0);

    void* bits = nullptr;
    const HBITMAP bitmap = CreateTopDownBitmap(source, width, height, &bits);
    const HDC memory = CreateCompatibleDC(source);
    const HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, source, rect.left, rect.top, SRCCOPY);
    GdiFlush();
    const uint32_t* source32 = static_cast<const uint32_t*>(bits);
    for (size_t i = 0; bits != nullptr && i < pixels.data.size(); ++i)
        pixels.data[i] = source32[i] & 0x00FFFFFF;
    SelectObject(memory, old);
    DeleteDC(memory);
    DeleteObject(bitmap);
    return pixels;
}

Pixels CaptureScreen(const RECT& rect)
{
    const HDC screen = GetDC(nullptr);
    Pixels pixels = CaptureDc(screen, rect);
    ReleaseDC(nullptr, screen);
    return pixels;
}

RECT BoundingBoxOf(const Pixels& pixels, uint32_t colour)
{
    RECT box{LONG_MAX, LONG_MAX, LONG_MIN, LONG_MIN};
    for (LONG y = pixels.rect.top; y < pixels.rect.bottom; ++y)
        for (LONG x = pixels.rect.left; x < pixels.rect.right; ++x)
            if (pixels.at(x, y) == colour)
            {
                box.left = std::min(box.left, x);
                box.top = std::min(box.top, y);
                box.right = std::max(box.right, x + 1);
                box.bottom = std::max(box.bottom, y + 1);
            }
    if (box.left == LONG_MAX)
        return RECT{0, 0, 0, 0};
    return box;
}

size_t CountOf(const Pixels& pixels, uint32_t colour)
{
    size_t count = 0;
    for (uint32_t value : pixels.data)
        count += value == colour ? 1 : 0;
    return count;
}

RECT MeasureTextLines(const std::vector<std::wstring>& lines)
{
    const HDC dc = CreateCompatibleDC(nullptr);
    LONG width = 0;
    LONG height = 0;
    for (const std::wstring& line : lines)
    {
        SIZE size{};
        GetTextExtentPoint32W(dc, line.c_str(), static_cast<int>(line.size()), &size);
        width = std::max(width, size.cx);
        height += size.cy;
    }
    DeleteDC(dc);
    return RECT{0, 0, width, height};
}

RECT VirtualScreen()
{
    const LONG left = GetSystemMetrics(SM_XVIRTUALSCREEN);
    const LONG top = GetSystemMetrics(SM_YVIRTUALSCREEN);
    return RECT{left, top, left + GetSystemMetrics(SM_CXVIRTUALSCREEN), top + GetSystemMetrics(SM_CYVIRTUALSCREEN)};
}

std::wstring ProgramDirectory()
{
    wchar_t path[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
    std::wstring text(path, length);
    return text.substr(0, text.rfind(L'\\'));
}

std::wstring BinPath(const wchar_t* image)
{
    return ProgramDirectory() + L"\\" + image;
}

std::wstring BenchProgramPath(const wchar_t* name)
{
    return ProgramDirectory() + L"\\..\\testbench\\" + name;
}

std::vector<DWORD> ProcessesNamed(const wchar_t* image)
{
    std::vector<DWORD> pids;
    std::vector<termsrv::ProcessEntry> processes;
    termsrv::RunningProcesses(&processes);
    for (const termsrv::ProcessEntry& process : processes)
        if (_wcsicmp(process.image.c_str(), image) == 0)
            pids.push_back(process.id);
    return pids;
}

std::vector<DWORD> CopiesIn(const wchar_t* image, DWORD session)
{
    std::vector<DWORD> pids;
    for (const DWORD pid : ProcessesNamed(image))
        if (termsrv::SessionOfProcess(pid) == session)
            pids.push_back(pid);
    return pids;
}

DWORD WaitForOneCopy(const wchar_t* image, DWORD session, DWORD notThis, DWORD timeoutMs, DWORD pollMs)
{
    DWORD found = 0;
    WaitUntil(
        [&] {
            const std::vector<DWORD> pids = CopiesIn(image, session);
            found = pids.size() == 1 && pids[0] != notThis ? pids[0] : 0;
            return found != 0;
        },
        timeoutMs, pollMs);
    return found;
}

bool EndProcess(DWORD pid, UINT exitCode)
{
    const HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
    if (process == nullptr)
        return true;
    TerminateProcess(process, exitCode);
    const bool ended = WaitForSingleObject(process, 5000) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}

void EndAll(const wchar_t* image)
{
    for (const DWORD pid : ProcessesNamed(image))
        EndProcess(pid);
}

HWND WindowOf(const wchar_t* className, DWORD pid)
{
    for (HWND window = FindWindowExW(nullptr, nullptr, className, nullptr); window != nullptr;
         window = FindWindowExW(nullptr, window, className, nullptr))
    {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == pid)
            return window;
    }
    return nullptr;
}

std::wstring ImageOf(DWORD pid)
{
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == nullptr)
        return L"";
    wchar_t path[MAX_PATH * 4];
    DWORD size = static_cast<DWORD>(std::size(path));
    const bool ok = QueryFullProcessImageNameW(process, 0, path, &size) != FALSE;
    CloseHandle(process);
    return ok ? std::wstring(path, size) : std::wstring();
}

HWND WaitForWindowOf(const wchar_t* className, DWORD pid, DWORD timeoutMs)
{
    HWND window = nullptr;
    WaitUntil([&] { return (window = WindowOf(className, pid)) != nullptr; }, timeoutMs);
    return window;
}

ProcessWatch::ProcessWatch(DWORD pid)
    : process_(pid != 0 ? OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid) : nullptr),
      pid_(pid)
{
}

ProcessWatch::~ProcessWatch()
{
    if (process_ != nullptr)
        CloseHandle(process_);
}

DWORD ProcessWatch::ExitCode() const
{
    DWORD code = STILL_ACTIVE;
    if (process_ == nullptr || !GetExitCodeProcess(process_, &code))
        return STILL_ACTIVE;
    return code;
}

StartedProgram::StartedProgram(const std::wstring& path, const std::wstring& arguments)
{
    Start(path, arguments);
}

void StartedProgram::Start(const std::wstring& path, const std::wstring& arguments)
{
    std::wstring commandLine = L"\"" + path + L"\"";
    if (!arguments.empty())
        commandLine += L" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (CreateProcessW(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
    {
        CloseHandle(info.hThread);
        process_ = info.hProcess;
        pid_ = info.dwProcessId;
    }
}

StartedProgram::~StartedProgram()
{
    End();
}

void StartedProgram::End(UINT exitCode)
{
    if (!Running())
        return;
    TerminateProcess(process_, exitCode);
    WaitForSingleObject(process_, 5000);
}

StandInProgram::StandInProgram(const wchar_t* benchProgram, const std::wstring& folder, const wchar_t* image,
                               const std::wstring& arguments)
    : folder_(ProgramDirectory() + L"\\" + folder), image_(folder_ + L"\\" + image)
{
    CreateDirectoryW(folder_.c_str(), nullptr);
    placed_ = CopyFileW(BenchProgramPath(benchProgram).c_str(), image_.c_str(), FALSE) != FALSE;
    if (placed_)
        Start(image_, arguments);
}

StandInProgram::StandInProgram(const wchar_t* benchProgram, const InPlaceOf& place, const std::wstring& arguments)
    : image_(place.program), away_(place.program + L".away")
{
    // Once the program is aside, its place is ours to clean up, whether the copy came or not.
    placed_ = MoveFileExW(image_.c_str(), away_.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
    if (placed_ && CopyFileW(BenchProgramPath(benchProgram).c_str(), image_.c_str(), FALSE))
        Start(image_, arguments);
}

StandInProgram::~StandInProgram()
{
    End();
    // The image stays locked for a moment after its process ended.
    if (placed_)
        WaitUntil([&] { return DeleteFileW(image_.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND; }, 5000);
    if (!folder_.empty())
        RemoveDirectoryW(folder_.c_str());
    else if (placed_)
        MoveFileExW(away_.c_str(), image_.c_str(), MOVEFILE_REPLACE_EXISTING);
}

std::string Narrow(const std::wstring& text)
{
    std::string result;
    for (wchar_t c : text)
        result += c < 128 ? static_cast<char>(c) : '?';
    return result;
}

std::wstring LocalLowFolder()
{
    PWSTR folder = nullptr;
    std::wstring path;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppDataLow, 0, nullptr, &folder)))
        path = folder;
    CoTaskMemFree(folder);
    return path;
}

std::string ReadFileBytes(const std::wstring& path)
{
    std::string bytes;
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return bytes;
    char chunk[4096];
    for (DWORD read = 0; ReadFile(file, chunk, sizeof chunk, &read, nullptr) && read > 0;)
        bytes.append(chunk, read);
    CloseHandle(file);
    return bytes;
}

bool WaitForLine(const std::wstring& path, const std::string& line)
{
    return WaitUntil([&] { return ReadFileBytes(path).find(line + "\n") != std::string::npos; }, 5000);
}

bool FaultInProcess(DWORD pid)
{
    const HANDLE process = OpenProcess(PROCESS_CREATE_THREAD | PROCESS_QUERY_INFORMATION | PROCESS_VM_OPERATION |
                                           PROCESS_VM_READ | PROCESS_VM_WRITE,
                                       FALSE, pid);
    if (process == nullptr)
        return false;
    const auto nowhere = reinterpret_cast<LPTHREAD_START_ROUTINE>(static_cast<ULONG_PTR>(0x10));
    const HANDLE thread = CreateRemoteThread(process, nullptr, 0, nowhere, nullptr, 0, nullptr);
    if (thread != nullptr)
        CloseHandle(thread);
    CloseHandle(process);
    return thread != nullptr;
}

MiniDump ReadMiniDump(const std::string& bytes)
{
    MiniDump dump;
    if (bytes.size() < sizeof(MINIDUMP_HEADER))
    {
        dump.problem = "no header";
        return dump;
    }
    const auto* header = reinterpret_cast<const MINIDUMP_HEADER*>(bytes.data());
    if (header->Signature != MINIDUMP_SIGNATURE)
    {
        dump.problem = "no MDMP signature";
        return dump;
    }
    // Compared without a sum that could wrap on 32-bit.
    if (header->StreamDirectoryRva > bytes.size() ||
        header->NumberOfStreams > (bytes.size() - header->StreamDirectoryRva) / sizeof(MINIDUMP_DIRECTORY))
    {
        dump.problem = "stream directory outside the file";
        return dump;
    }
    const auto* directory = reinterpret_cast<const MINIDUMP_DIRECTORY*>(bytes.data() + header->StreamDirectoryRva);
    bool exception = false;
    for (ULONG32 i = 0; i < header->NumberOfStreams; ++i)
    {
        const MINIDUMP_LOCATION_DESCRIPTOR& location = directory[i].Location;
        if (location.Rva > bytes.size() || location.DataSize > bytes.size() - location.Rva)
        {
            dump.problem = "stream " + std::to_string(i) + " outside the file";
            return dump;
        }
        if (directory[i].StreamType == ExceptionStream && location.DataSize >= sizeof(MINIDUMP_EXCEPTION_STREAM))
        {
            const auto* stream = reinterpret_cast<const MINIDUMP_EXCEPTION_STREAM*>(bytes.data() + location.Rva);
            dump.threadId = stream->ThreadId;
            dump.exceptionCode = stream->ExceptionRecord.ExceptionCode;
            exception = true;
        }
    }
    if (!exception)
    {
        dump.problem = "no exception stream";
        return dump;
    }
    dump.valid = true;
    return dump;
}

FaultEnd FaultAndReadDump(const ProcessWatch& process, const std::wstring& dump)
{
    FaultEnd end;
    end.faulted = FaultInProcess(process.pid());
    // Wine's dump writer takes seconds, many under load.
    end.ended = end.faulted && process.Ended(60000);
    end.exitCode = process.ExitCode();
    end.dump = ReadMiniDump(ReadFileBytes(dump));
    return end;
}

bool ReadServiceConfig(SC_HANDLE service, ServiceConfig& config)
{
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    auto* raw = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (service == nullptr || !QueryServiceConfigW(service, raw, static_cast<DWORD>(buffer.size()), &needed))
        return false;
    config.type = raw->dwServiceType;
    config.start = raw->dwStartType;
    config.errorControl = raw->dwErrorControl;
    config.image = raw->lpBinaryPathName != nullptr ? raw->lpBinaryPathName : L"";
    config.account = raw->lpServiceStartName != nullptr ? raw->lpServiceStartName : L"";
    config.displayName = raw->lpDisplayName != nullptr ? raw->lpDisplayName : L"";
    return true;
}
}
