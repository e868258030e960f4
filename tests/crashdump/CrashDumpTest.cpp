#include <gtest/gtest.h>

#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include <BenchClient.h>

#include "session/CrashDump.h"

namespace
{
std::wstring LocalLow() { return bench::LocalLowFolder(); }

std::wstring DumpFile() { return LocalLow() + L"\\Quillon.dmp"; }

// A C++ exception that nothing caught: the runtime either ends it in std::terminate, which the
// crash-dump handling raises with its own code, or raises its own code to the filter (GCC's
// unwinder on 64-bit Windows does, as MSVC's does everywhere).
constexpr DWORD GccSehThrowCode = 0x20474343;
bool IsUncaughtCpp(DWORD code)
{
    return code == UncaughtCppExceptionCode || code == GccSehThrowCode;
}

struct Crash
{
    DWORD exitCode = 0;
    std::vector<DWORD> failingThreads;
};

// Runs BenchCrash in the mode and waits for its end.
Crash RunCrash(const wchar_t* mode, const std::wstring& folder = std::wstring())
{
    const std::wstring report = bench::ProgramDirectory() + L"\\crashdump-threads.txt";
    DeleteFileW(report.c_str());
    std::wstring arguments = std::wstring(mode) + L" \"" + report + L"\"";
    if (!folder.empty())
        arguments += L" \"" + folder + L"\"";
    Crash crash;
    bench::StartedProgram program(bench::BenchProgramPath(L"BenchCrash.exe"), arguments);
    if (!program.valid())
    {
        ADD_FAILURE() << "BenchCrash did not start: " << GetLastError();
        return crash;
    }
    // One that hangs instead is ended, as it holds the test's output pipe.
    if (!program.Ended(60000))
    {
        ADD_FAILURE() << "BenchCrash " << bench::Narrow(mode) << " did not end";
        program.End(WAIT_TIMEOUT);
    }
    crash.exitCode = program.ExitCode();

    FILE* file = _wfopen(report.c_str(), L"r");
    unsigned long id = 0;
    while (file != nullptr && fscanf(file, "%lu", &id) == 1)
        crash.failingThreads.push_back(id);
    if (file != nullptr)
        fclose(file);
    DeleteFileW(report.c_str());
    return crash;
}

using Dump = bench::MiniDump;

// The crash ended with the code, and its dump names the one thread that failed, with that code.
void ExpectDumpOfOneFailingThread(const Crash& crash, DWORD code, const char* noThread = "")
{
    EXPECT_EQ(crash.exitCode, code) << std::hex << crash.exitCode;
    ASSERT_EQ(crash.failingThreads.size(), 1u) << noThread;
    const Dump dump = bench::ReadMiniDump(bench::ReadFileBytes(DumpFile()));
    ASSERT_TRUE(dump.valid) << dump.problem;
    EXPECT_EQ(dump.threadId, crash.failingThreads[0]);
    EXPECT_EQ(dump.exceptionCode, code);
}

class crashdump : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_FALSE(LocalLow().empty());
        // A real profile has the folder; a fresh bench prefix may not yet.
        CreateDirectoryW(LocalLow().c_str(), nullptr);
        DeleteFileW(DumpFile().c_str());
    }
    void TearDown() override { DeleteFileW(DumpFile().c_str()); }
};

TEST_F(crashdump, AnExceptionOnTheUiThreadLeavesADumpNamingThatThread)
{
    ExpectDumpOfOneFailingThread(RunCrash(L"ui"), UncaughtCppExceptionCode);
}

TEST_F(crashdump, AnExceptionFromAThreadPoolCallbackReplacesTheEarlierDump)
{
    const Crash fault = RunCrash(L"fault");
    EXPECT_EQ(fault.exitCode, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
    const Dump first = bench::ReadMiniDump(bench::ReadFileBytes(DumpFile()));
    ASSERT_TRUE(first.valid) << first.problem;
    EXPECT_EQ(first.exceptionCode, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));

    const Crash crash = RunCrash(L"pool");
    EXPECT_TRUE(IsUncaughtCpp(crash.exitCode)) << std::hex << crash.exitCode;
    ASSERT_EQ(crash.failingThreads.size(), 1u);
    const Dump dump = bench::ReadMiniDump(bench::ReadFileBytes(DumpFile()));
    ASSERT_TRUE(dump.valid) << dump.problem;
    EXPECT_EQ(dump.threadId, crash.failingThreads[0]);
    EXPECT_TRUE(IsUncaughtCpp(dump.exceptionCode)) << std::hex << dump.exceptionCode;
}

// A handler of the service's window framework and a wait callback: neither lets an exception
// reach the system, which may swallow it (a message sent from another thread does under Wine).
// The failing thread reports itself only as the exception unwinds the handler, which only a catch
// at the handler's edge brings about. Escaping, the exception ends in std::terminate without
// unwinding on 32-bit MinGW, with the same dump and exit code as the catch gives; on 64-bit
// MinGW it reaches the filter with GCC's own code, or Wine swallows it, and the process hangs.
TEST_F(crashdump, AnExceptionInAWindowOrWaitHandlerEndsTheProcessWithADump)
{
    for (const wchar_t* mode : {L"window", L"wait"})
    {
        SCOPED_TRACE(bench::Narrow(mode));
        DeleteFileW(DumpFile().c_str());
        ASSERT_NO_FATAL_FAILURE(ExpectDumpOfOneFailingThread(RunCrash(mode), UncaughtCppExceptionCode,
                                                             "nothing caught the exception at the handler's edge"));
    }
}

TEST_F(crashdump, TwoThreadsFailingAtOnceLeaveOneWholeDump)
{
    const Crash crash = RunCrash(L"together");
    EXPECT_TRUE(IsUncaughtCpp(crash.exitCode)) << std::hex << crash.exitCode;
    ASSERT_EQ(crash.failingThreads.size(), 2u);
    const Dump dump = bench::ReadMiniDump(bench::ReadFileBytes(DumpFile()));
    ASSERT_TRUE(dump.valid) << dump.problem;
    EXPECT_TRUE(dump.threadId == crash.failingThreads[0] || dump.threadId == crash.failingThreads[1]);
}

TEST_F(crashdump, ADumpHeldOpenByAReaderStaysAsItWasAndTheProcessStillEnds)
{
    RunCrash(L"fault");
    const std::string before = bench::ReadFileBytes(DumpFile());
    ASSERT_TRUE(bench::ReadMiniDump(before).valid);

    const HANDLE reader = CreateFileW(DumpFile().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                      nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    const Crash crash = RunCrash(L"pool");
    CloseHandle(reader);
    EXPECT_TRUE(IsUncaughtCpp(crash.exitCode)) << std::hex << crash.exitCode;
    EXPECT_EQ(bench::ReadFileBytes(DumpFile()), before);
}

// The folder of the account's LocalLow, redirected for one crash to a path that leaves no room
// for the file name within MAX_PATH.
class RedirectedLocalLow
{
public:
    explicit RedirectedLocalLow(const std::wstring& folder)
    {
        RegCreateKeyExW(HKEY_CURRENT_USER, KeyPath, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key_,
                        nullptr);
        DWORD size = sizeof old_;
        hadOld_ = RegQueryValueExW(key_, Value, nullptr, nullptr, reinterpret_cast<BYTE*>(old_), &size) == 0;
        RegSetValueExW(key_, Value, 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(folder.c_str()),
                       static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t)));
    }
    ~RedirectedLocalLow()
    {
        if (hadOld_)
            RegSetValueExW(key_, Value, 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(old_),
                           static_cast<DWORD>((wcslen(old_) + 1) * sizeof(wchar_t)));
        else
            RegDeleteValueW(key_, Value);
        RegCloseKey(key_);
    }

private:
    static constexpr const wchar_t* KeyPath = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
    static constexpr const wchar_t* Value = L"{A520A1A4-1780-4FF6-BD18-167343C5AF16}";
    HKEY key_ = nullptr;
    wchar_t old_[MAX_PATH * 2] = {};
    bool hadOld_ = false;
};

// A LocalLow folder missing at start-up (as in the 32-bit system profile of 64-bit Windows) is
// created then, and the dump goes where the folder was at start-up, whatever the shell would
// answer by the time of the crash.
TEST_F(crashdump, TheDumpFolderIsCreatedAndFixedAtStartUp)
{
    const std::wstring root = LocalLow() + L"\\QuillonProfile";
    const std::wstring missing = root + L"\\AppData\\LocalLow";
    const std::wstring later = LocalLow() + L"\\QuillonLater";
    ASSERT_TRUE(CreateDirectoryW(later.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    ASSERT_EQ(GetFileAttributesW(root.c_str()), INVALID_FILE_ATTRIBUTES);
    Crash crash;
    {
        RedirectedLocalLow redirect(missing);
        crash = RunCrash(L"moved", later);
    }
    EXPECT_TRUE(IsUncaughtCpp(crash.exitCode)) << std::hex << crash.exitCode;
    const Dump dump = bench::ReadMiniDump(bench::ReadFileBytes(missing + L"\\Quillon.dmp"));
    EXPECT_TRUE(dump.valid) << dump.problem;
    EXPECT_EQ(GetFileAttributesW((later + L"\\Quillon.dmp").c_str()), INVALID_FILE_ATTRIBUTES);

    DeleteFileW((missing + L"\\Quillon.dmp").c_str());
    DeleteFileW((later + L"\\Quillon.dmp").c_str());
    RemoveDirectoryW(missing.c_str());
    RemoveDirectoryW((root + L"\\AppData").c_str());
    RemoveDirectoryW(root.c_str());
    RemoveDirectoryW(later.c_str());
}

TEST_F(crashdump, AFolderTooLongForTheFileNameGetsNoDumpAndTheProcessStillEnds)
{
    // 250 characters: room for "\Quillon" but not for ".dmp" as well, or for neither.
    std::wstring folder = LocalLow() + L"\\";
    while (folder.size() < 250)
        folder += L'x';
    const std::wstring created = L"\\\\?\\" + folder;
    ASSERT_TRUE(CreateDirectoryW(created.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    {
        RedirectedLocalLow redirect(folder);
        PWSTR seen = nullptr;
        ASSERT_TRUE(SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppDataLow, 0, nullptr, &seen)));
        const std::wstring redirected = seen;
        CoTaskMemFree(seen);
        ASSERT_EQ(redirected, folder) << "the bench could not redirect the folder";

        const Crash crash = RunCrash(L"pool");
        EXPECT_TRUE(IsUncaughtCpp(crash.exitCode)) << std::hex << crash.exitCode;
    }
    // Neither the folder's own name with an extension, nor anything inside it.
    EXPECT_EQ(GetFileAttributesW((L"\\\\?\\" + folder + L".dmp").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetFileAttributesW((created + L"\\Quillon.dmp").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetFileAttributesW((created + L"\\Quillon").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetFileAttributesW(DumpFile().c_str()), INVALID_FILE_ATTRIBUTES);
    DeleteFileW((L"\\\\?\\" + folder + L".dmp").c_str());
    RemoveDirectoryW(created.c_str());
}
}
