#include "ControlTool.h"

#include <shellapi.h>
#include <shlobj.h>

#include <stdexcept>
#include <thread>

#include "BenchClient.h"

namespace control
{
namespace
{
std::wstring ReadAll(HANDLE pipe)
{
    std::string bytes;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &read, nullptr) && read > 0)
        bytes.append(buffer, read);
    std::wstring text(bytes.size() / 2, L'\0');
    memcpy(&text[0], bytes.data(), text.size() * 2);
    return text;
}

struct Pipe
{
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    Pipe()
    {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        if (!CreatePipe(&read, &write, &inherit, 0))
            throw std::runtime_error("CreatePipe failed");
        SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    }
    ~Pipe()
    {
        if (read != nullptr)
            CloseHandle(read);
        if (write != nullptr)
            CloseHandle(write);
    }
    void CloseWrite()
    {
        CloseHandle(write);
        write = nullptr;
    }
};

HANDLE Spawn(const std::wstring& tool, const std::wstring& commandLine, HANDLE out, HANDLE err)
{
    std::wstring line = L"\"" + tool + L"\"";
    if (!commandLine.empty())
        line += L" " + commandLine;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(tool.c_str(), &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process))
        throw std::runtime_error("cannot start " + bench::Narrow(tool) + ", error " + std::to_string(GetLastError()));
    CloseHandle(process.hThread);
    return process.hProcess;
}

SC_HANDLE OpenEntry(const wchar_t* service, DWORD access, SC_HANDLE* manager)
{
    *manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE handle = *manager != nullptr ? OpenServiceW(*manager, service, access) : nullptr;
    if (handle == nullptr)
        throw std::runtime_error("cannot open the service entry, error " + std::to_string(GetLastError()));
    return handle;
}

constexpr const wchar_t* WindowsKey = L"SYSTEM\\CurrentControlSet\\Control\\Windows";
}

std::wstring ToolPath()
{
    return bench::ProgramDirectory() + L"\\QuillonControl.exe";
}

std::wstring BuiltServicePath()
{
    return bench::ProgramDirectory() + L"\\Quillon.exe";
}

ToolRun RunTool(const std::wstring& commandLine, const std::wstring& tool, DWORD timeoutMs, const std::wstring& outFile)
{
    Pipe out;
    Pipe err;
    HANDLE file = nullptr;
    if (!outFile.empty())
    {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        file = CreateFileW(outFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            throw std::runtime_error("cannot create the output file");
    }
    const HANDLE process = Spawn(tool, commandLine, file != nullptr ? file : out.write, err.write);
    out.CloseWrite();
    err.CloseWrite();
    if (file != nullptr)
        CloseHandle(file);

    ToolRun run;
    std::thread errReader([&] { run.err = ReadAll(err.read); });
    run.out = ReadAll(out.read);
    // The readers end when the tool and everything that inherited its pipes have ended.
    run.finished = WaitForSingleObject(process, timeoutMs) == WAIT_OBJECT_0;
    if (!run.finished)
        TerminateProcess(process, 9999);
    errReader.join();
    WaitForSingleObject(process, 5000);
    GetExitCodeProcess(process, &run.exitCode);
    CloseHandle(process);
    return run;
}

HANDLE StartTool(const std::wstring& commandLine, const std::wstring& tool)
{
    return Spawn(tool, commandLine, nullptr, nullptr);
}

std::wstring AsWritten(const std::wstring& text)
{
    std::wstring result;
    for (wchar_t c : text)
    {
        if (c == L'\n')
            result += L'\r';
        result += c;
    }
    return result;
}

std::wstring Widen(const std::string& text)
{
    if (text.empty())
        return std::wstring();
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], size);
    return result;
}

std::wstring SystemText(DWORD code)
{
    std::vector<wchar_t> buffer(32767);
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                        buffer.data(), static_cast<DWORD>(buffer.size()), nullptr);
    if (length == 0)
        throw std::runtime_error("the system has no text for error " + std::to_string(code));
    return std::wstring(buffer.data(), length);
}

std::wstring FailureLine(DWORD code, const std::string& context)
{
    return AsWritten(L"[system:" + std::to_wstring(code) + L"] " + Widen(context) + L": " + SystemText(code));
}

ServiceConfig QueryConfig(const wchar_t* service)
{
    SC_HANDLE manager = nullptr;
    const SC_HANDLE handle = OpenEntry(service, SERVICE_QUERY_CONFIG, &manager);
    ServiceConfig config;
    bench::ReadServiceConfig(handle, config);
    CloseServiceHandle(handle);
    CloseServiceHandle(manager);
    return config;
}

void SetImage(const std::wstring& image, DWORD start, DWORD errorControl, const wchar_t* service)
{
    SC_HANDLE manager = nullptr;
    const SC_HANDLE handle = OpenEntry(service, SERVICE_CHANGE_CONFIG, &manager);
    const BOOL changed = ChangeServiceConfigW(handle, SERVICE_NO_CHANGE, start, errorControl, image.c_str(), nullptr,
                                              nullptr, nullptr, nullptr, nullptr, nullptr);
    const DWORD error = GetLastError();
    CloseServiceHandle(handle);
    CloseServiceHandle(manager);
    if (!changed)
        throw std::runtime_error("ChangeServiceConfigW failed, error " + std::to_string(error));
}

bool EntryExists(const wchar_t* service)
{
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    const SC_HANDLE handle = manager != nullptr ? OpenServiceW(manager, service, SERVICE_QUERY_STATUS) : nullptr;
    const DWORD error = GetLastError();
    if (handle != nullptr)
        CloseServiceHandle(handle);
    if (manager != nullptr)
        CloseServiceHandle(manager);
    if (handle == nullptr && error != ERROR_SERVICE_DOES_NOT_EXIST)
        throw std::runtime_error("cannot open the service entry, error " + std::to_string(error));
    return handle != nullptr;
}

void CreateEntry(const ServiceConfig& config, const wchar_t* service)
{
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
    const SC_HANDLE handle =
        manager != nullptr ? CreateServiceW(manager, service, config.displayName.c_str(), SERVICE_QUERY_STATUS,
                                            config.type, config.start, config.errorControl, config.image.c_str(),
                                            nullptr, nullptr, nullptr, nullptr, nullptr)
                           : nullptr;
    const DWORD error = GetLastError();
    if (handle != nullptr)
        CloseServiceHandle(handle);
    if (manager != nullptr)
        CloseServiceHandle(manager);
    if (handle == nullptr)
        throw std::runtime_error("CreateServiceW failed, error " + std::to_string(error));
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, (std::wstring(L"SYSTEM\\CurrentControlSet\\Services\\") + service).c_str(),
                       L"QuillonCreated");
}

void DeleteEntry(const wchar_t* service)
{
    {
        bench::Service entry(service);
        entry.StopAndWait(20000);
        if (!DeleteService(entry.handle()))
            throw std::runtime_error("DeleteService failed, error " + std::to_string(GetLastError()));
    }
    if (!bench::WaitUntil([&] { return !EntryExists(service); }, 10000))
        throw std::runtime_error("the deleted service entry stays");
}

long long NoInteractiveServices()
{
    DWORD value = 0;
    DWORD bytes = sizeof value;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, WindowsKey, L"NoInteractiveServices", RRF_RT_REG_DWORD, nullptr, &value,
                     &bytes) != ERROR_SUCCESS)
        return -1;
    return value;
}

void SetNoInteractiveServices(long long value)
{
    if (value < 0)
    {
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, WindowsKey, L"NoInteractiveServices");
        return;
    }
    const DWORD data = static_cast<DWORD>(value);
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, WindowsKey, L"NoInteractiveServices", REG_DWORD, &data, sizeof data);
}

EntryGuard::EntryGuard() : original_(QueryConfig()), noInteractive_(NoInteractiveServices())
{
    if (original_.image.empty())
        throw std::runtime_error("the UI0Detect entry of the bench is missing");
}

EntryGuard::~EntryGuard()
{
    try
    {
        bench::Service service;
        service.StopAndWait(40000);
        SetImage(original_.image, original_.start, original_.errorControl);
        SetNoInteractiveServices(noInteractive_);
    }
    catch (const std::exception&)
    {
    }
}

ScratchFolder::ScratchFolder(const std::wstring& name)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    path_ = std::wstring(temp) + name + L"." + std::to_wstring(GetCurrentProcessId());
    SHCreateDirectoryExW(nullptr, path_.c_str(), nullptr);
}

ScratchFolder::~ScratchFolder()
{
    // SHFileOperation wants a list ending in two terminators.
    std::wstring from = path_;
    from.push_back(L'\0');
    SHFILEOPSTRUCTW operation{};
    operation.wFunc = FO_DELETE;
    operation.pFrom = from.c_str();
    operation.fFlags = FOF_NO_UI;
    SHFileOperationW(&operation);
}

std::wstring ScratchFolder::Copy(const std::wstring& source, const std::wstring& name) const
{
    const std::wstring target = path_ + L"\\" + name;
    if (!CopyFileW(source.c_str(), target.c_str(), FALSE))
        throw std::runtime_error("cannot copy " + bench::Narrow(source) + ", error " + std::to_string(GetLastError()));
    return target;
}

DWORD ServicePid(const wchar_t* service)
{
    bench::Service entry(service, SERVICE_QUERY_STATUS);
    const SERVICE_STATUS_PROCESS status = entry.Status();
    return status.dwCurrentState == SERVICE_STOPPED ? 0 : status.dwProcessId;
}

bool WaitForServiceStarted(DWORD timeoutMs)
{
    bench::Service service(bench::ServiceName, SERVICE_QUERY_STATUS);
    if (!service.WaitForState(SERVICE_RUNNING, timeoutMs))
        return false;
    const DWORD pid = service.Status().dwProcessId;
    // A window left by the process before is not the one this start must show.
    return bench::WaitUntil(
        [pid] {
            const HWND shell = bench::FindShellWindow();
            DWORD owner = 0;
            return shell != nullptr && GetWindowThreadProcessId(shell, &owner) != 0 && owner == pid &&
                   IsWindowVisible(shell) != FALSE;
        },
        timeoutMs);
}
}
