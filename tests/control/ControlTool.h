#pragma once

// Runs QuillonControl.exe as a child process and looks at what it leaves in the service
// configuration of the prefix. Every wait is bounded.

#include <windows.h>

#include "BenchClient.h"

#include <string>
#include <vector>

namespace control
{
struct ToolRun
{
    DWORD exitCode = 0;
    bool finished = false;  // false when the tool had to be ended after the time limit
    std::wstring out;
    std::wstring err;
};

std::wstring ToolPath();  // the built QuillonControl.exe beside the test program
std::wstring BuiltServicePath();  // the built Quillon.exe

// commandLine is everything after the program name. stdout goes to a pipe, or to a file
// when outFile is given.
ToolRun RunTool(const std::wstring& commandLine, const std::wstring& tool = ToolPath(), DWORD timeoutMs = 60000,
            const std::wstring& outFile = std::wstring());

// Starts the tool without waiting; the caller waits on the returned process and reads nothing.
HANDLE StartTool(const std::wstring& commandLine, const std::wstring& tool = ToolPath());

// The tool's output as it reaches a file or pipe: its stream is in text mode, so each line feed
// arrives as carriage return and line feed, also after the one the system text already has.
std::wstring AsWritten(const std::wstring& text);
std::wstring Widen(const std::string& text);  // from UTF-8, as the tool's narrow texts are
// The system's text for a Win32 code as FormatMessageW gives it here, line break included.
std::wstring SystemText(DWORD code);
// "[system:CODE] CONTEXT: <the system's text>" as the tool writes it, built without the
// product's own message code, so that a wrong text in the tool cannot pass.
std::wstring FailureLine(DWORD code, const std::string& context);

using ServiceConfig = bench::ServiceConfig;
ServiceConfig QueryConfig(const wchar_t* service = L"UI0Detect");
void SetImage(const std::wstring& image, DWORD start, DWORD errorControl, const wchar_t* service = L"UI0Detect");

bool EntryExists(const wchar_t* service = L"UI0Detect");
// Registers the entry as given (account LocalSystem), without the mark of an entry the tool created.
void CreateEntry(const ServiceConfig& config, const wchar_t* service = L"UI0Detect");
// Stops and deletes the entry and waits until the manager has dropped it.
void DeleteEntry(const wchar_t* service = L"UI0Detect");

// NoInteractiveServices under HKLM; -1 when the value is missing.
long long NoInteractiveServices();
void SetNoInteractiveServices(long long value);  // -1 deletes the value

// Stops the service and puts the entry back as the bench registered it, whatever a test did.
class EntryGuard
{
public:
    EntryGuard();
    ~EntryGuard();
    EntryGuard(const EntryGuard&) = delete;
    EntryGuard& operator=(const EntryGuard&) = delete;
    const ServiceConfig& original() const { return original_; }

private:
    ServiceConfig original_;
    long long noInteractive_;
};

// A folder of its own under the temporary folder, removed with everything in it at the end.
class ScratchFolder
{
public:
    explicit ScratchFolder(const std::wstring& name);
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::wstring& path() const { return path_; }
    std::wstring Copy(const std::wstring& source, const std::wstring& name) const;

private:
    std::wstring path_;
};

// Pid of the service's process, 0 when it does not run.
DWORD ServicePid(const wchar_t* service = L"UI0Detect");

// Waits for the service to run and for its own process to show the shell window, starting
// nothing: what a procedure that starts the service must have brought about by itself.
bool WaitForServiceStarted(DWORD timeoutMs = 15000);
}
