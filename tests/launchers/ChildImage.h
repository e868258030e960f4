#pragma once

// A copy of the bench program BenchChild beside the test program, under a name of the test's
// choosing, and what that copy reports once started (see testbench/programs/BenchChild.cpp).

#include <windows.h>

#include <string>
#include <vector>

struct ChildReport
{
    DWORD pid = 0;
    std::wstring commandLine;
    std::wstring desktop;
    std::wstring directory;
    std::wstring user;
    std::vector<std::wstring> handles;      // "<hex>:set" or "<hex>:error <code>"
    std::vector<std::wstring> environment;  // in the child's own order
    std::wstring Variable(const std::wstring& name) const;
};

class ChildImage
{
public:
    explicit ChildImage(std::wstring name);
    ~ChildImage();
    ChildImage(const ChildImage&) = delete;
    ChildImage& operator=(const ChildImage&) = delete;

    const std::wstring& name() const { return name_; }
    const std::wstring& path() const { return path_; }
    bool copied() const { return copied_; }

    // Waits for the report of a copy started since the last call; false on time-out.
    bool WaitForReport(ChildReport& report, DWORD timeoutMs = 15000);

private:
    std::wstring name_;
    std::wstring path_;
    bool copied_ = false;
    std::vector<DWORD> started_;
};

// Asks a running copy to end; true once it has.
bool EndChild(DWORD pid, DWORD timeoutMs = 10000);

// Number of running processes with this image name (any session).
int CountProcesses(const std::wstring& imageName);

// The SID of the test's own account, as text.
std::wstring OwnUserSid();

// A variable that a 32-bit process's start-up sets itself (PROCESSOR_ARCHITECTURE,
// PROCESSOR_ARCHITEW6432; Wine also moves SystemRoot and SystemDrive to the end).
bool RewrittenAtStart(const std::wstring& entry);

// The entries of `from` that also appear in `in`, in the order of `from`, short of the above.
std::vector<std::wstring> SharedEntries(const std::vector<std::wstring>& from, const std::vector<std::wstring>& in);
