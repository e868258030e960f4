// The procedures of the control tool against the prefix's real service control manager, with the
// built Quillon.exe as the image of the UI0Detect entry.

#include <gtest/gtest.h>

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "BenchClient.h"
#include "BenchState.h"
#include "ControlTool.h"

using namespace control;

namespace
{
constexpr const wchar_t* WindowsImage = L"%SystemRoot%\\System32\\UI0Detect.exe";
constexpr const wchar_t* EntryKey = L"SYSTEM\\CurrentControlSet\\Services\\UI0Detect";

// The bench's entry is taken away for a test and registered again at its end, before the
// fixture's guard puts the configuration back.
class WithoutEntry
{
public:
    WithoutEntry() : original_(QueryConfig()) { DeleteEntry(); }
    ~WithoutEntry()
    {
        try
        {
            if (EntryExists())
                DeleteEntry();
            CreateEntry(original_);
        }
        catch (const std::exception&)
        {
        }
    }
    WithoutEntry(const WithoutEntry&) = delete;
    WithoutEntry& operator=(const WithoutEntry&) = delete;

private:
    ServiceConfig original_;
};

// The mark of an entry the tool created, put on an entry whose key anybody may write; undone at
// the end.
class PlantedMark
{
public:
    PlantedMark()
    {
        const DWORD one = 1;
        EXPECT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, EntryKey, L"QuillonCreated", REG_DWORD, &one, sizeof one),
                  ERROR_SUCCESS);
        EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, EntryKey, 0, READ_CONTROL | WRITE_DAC, &key_), ERROR_SUCCESS);
        DWORD size = 0;
        RegGetKeySecurity(key_, DACL_SECURITY_INFORMATION, nullptr, &size);
        original_.resize(size);
        EXPECT_EQ(RegGetKeySecurity(key_, DACL_SECURITY_INFORMATION, original_.data(), &size), ERROR_SUCCESS);
        PSECURITY_DESCRIPTOR open = nullptr;
        EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;KA;;;SY)(A;;KA;;;BA)(A;;KA;;;WD)",
                                                                         SDDL_REVISION_1, &open, nullptr));
        EXPECT_EQ(RegSetKeySecurity(key_, DACL_SECURITY_INFORMATION, open), ERROR_SUCCESS);
        LocalFree(open);
    }
    ~PlantedMark()
    {
        RegSetKeySecurity(key_, DACL_SECURITY_INFORMATION, original_.data());
        RegCloseKey(key_);
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, EntryKey, L"QuillonCreated");
    }
    PlantedMark(const PlantedMark&) = delete;
    PlantedMark& operator=(const PlantedMark&) = delete;

private:
    HKEY key_ = nullptr;
    std::vector<BYTE> original_;
};

class ProceduresTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        bench::Service service;
        ASSERT_TRUE(service.StopAndWait(20000));
    }

    static void ExpectSilentSuccess(const ToolRun& run)
    {
        EXPECT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, 0u);
        EXPECT_EQ(run.out, L"");
        EXPECT_EQ(run.err, L"");
    }

    static void ExpectUnchangedIdentity(const ServiceConfig& before, const ServiceConfig& after)
    {
        EXPECT_EQ(after.type, before.type);
        EXPECT_EQ(after.account, before.account);
        EXPECT_EQ(after.displayName, before.displayName);
    }

    EntryGuard guard;
};

namespace
{
constexpr const wchar_t* SourceKey = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Quillon";

// The audit trail's event source as a test finds it, and as the test leaves it: not registered,
// whatever the tool or the test did to its key.
class EventSource
{
public:
    EventSource() { Remove(); }
    ~EventSource() { Remove(); }
    EventSource(const EventSource&) = delete;
    EventSource& operator=(const EventSource&) = delete;

    static bool Registered()
    {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, SourceKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
            return false;
        RegCloseKey(key);
        return true;
    }

    // A value's type and text (a number as its decimal digits); REG_NONE when it is missing.
    static std::pair<DWORD, std::wstring> Value(const wchar_t* name)
    {
        DWORD type = REG_NONE;
        BYTE data[2048] = {};
        DWORD size = sizeof data - sizeof(wchar_t);
        if (RegGetValueW(HKEY_LOCAL_MACHINE, SourceKey, name, RRF_RT_ANY | RRF_NOEXPAND, &type, data, &size) !=
            ERROR_SUCCESS)
            return {REG_NONE, L""};
        if (type == REG_DWORD)
            return {type, std::to_wstring(*reinterpret_cast<DWORD*>(data))};
        return {type, reinterpret_cast<const wchar_t*>(data)};
    }

    // Only reading stays allowed, to everybody (the owner may still change that).
    static void MakeReadOnly()
    {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, SourceKey, 0, nullptr, 0, WRITE_DAC, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        SetDacl(key, L"D:P(A;;KR;;;WD)");
        RegCloseKey(key);
    }

private:
    static void SetDacl(HKEY key, const wchar_t* sddl)
    {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr))
        {
            RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
            LocalFree(descriptor);
        }
    }

    static void Remove()
    {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, SourceKey, 0, WRITE_DAC, &key) == ERROR_SUCCESS)
        {
            SetDacl(key, L"D:(A;;KA;;;WD)");
            RegCloseKey(key);
        }
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, SourceKey);
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, SourceKey);
    }
};
}

// The message file is the tray program beside the installed service program, its path unquoted
// even in a folder with a space; whatever else is in the key goes with it at the uninstall.
TEST_F(ProceduresTest, InstallRegistersTheEventSourceAndUninstallLeavesNothingOfIt)
{
    const EventSource source;
    ScratchFolder folder(L"quillon events");
    const std::wstring tool = folder.Copy(ToolPath(), L"QuillonControl.exe");
    folder.Copy(BuiltServicePath(), L"Quillon.exe");

    // Again: nothing more changes.
    for (int run = 1; run <= 2; ++run)
    {
        SCOPED_TRACE(run);
        ExpectSilentSuccess(RunTool(L"-i", tool));
        EXPECT_TRUE(WaitForServiceStarted()) << "the install did not start the service";
        EXPECT_EQ(EventSource::Value(L"EventMessageFile"),
                  std::make_pair(static_cast<DWORD>(REG_EXPAND_SZ), folder.path() + L"\\QuillonTray.exe"));
        EXPECT_EQ(EventSource::Value(L"TypesSupported"), std::make_pair(static_cast<DWORD>(REG_DWORD), std::wstring(L"7")));
    }

    const DWORD categories = 3;
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, SourceKey, L"CategoryCount", REG_DWORD, &categories, sizeof categories),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, (std::wstring(SourceKey) + L"\\Added").c_str(), L"Value", REG_DWORD,
                              &categories, sizeof categories),
              ERROR_SUCCESS);
    ExpectSilentSuccess(RunTool(L"-u", tool));
    EXPECT_FALSE(EventSource::Registered());
    EXPECT_EQ(bench::Service().State(), static_cast<DWORD>(SERVICE_STOPPED));

    // Without a source, and without an entry, there is nothing to remove and nothing fails.
    ExpectSilentSuccess(RunTool(L"-u", tool));
    WithoutEntry missing;
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, SourceKey, L"CategoryCount", REG_DWORD, &categories, sizeof categories),
              ERROR_SUCCESS);
    const ToolRun noEntry = RunTool(L"-u");
    EXPECT_EQ(noEntry.exitCode, 0u);
    EXPECT_EQ(noEntry.err, AsWritten(L"No UI0Detect service entry, nothing to restore\n"));
    EXPECT_FALSE(EventSource::Registered());
}

// The service is what the administrator installs for: a source that cannot be registered fails
// the install's last step only, and says so.
TEST_F(ProceduresTest, AnEventSourceThatCannotBeRegisteredFailsTheInstallButLeavesItRunning)
{
    const EventSource source;
    EventSource::MakeReadOnly();
    SetNoInteractiveServices(1);

    const ToolRun run = RunTool(L"-i");
    EXPECT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_EQ(run.out, L"");
    EXPECT_EQ(run.err, FailureLine(ERROR_ACCESS_DENIED, "Couldn't register the event source Quillon"));
    EXPECT_EQ(QueryConfig().image, BuiltServicePath());
    EXPECT_EQ(NoInteractiveServices(), 0);
    EXPECT_TRUE(WaitForServiceStarted()) << "the failed registration stopped the service";
}

TEST_F(ProceduresTest, ReplaceAndRestoreWriteTheEntryAndLeaveItsIdentityAlone)
{
    SetNoInteractiveServices(1);
    SetImage(guard.original().image, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL);

    struct Case
    {
        const wchar_t* folder;
        bool quoted;
    };
    for (const Case& folderCase : {Case{L"quillon control", true}, Case{L"quillon-control", false}})
    {
        SCOPED_TRACE(bench::Narrow(folderCase.folder));
        ScratchFolder folder(folderCase.folder);
        const std::wstring tool = folder.Copy(ToolPath(), L"QuillonControl.exe");
        const std::wstring expectedImage = folderCase.quoted ? L"\"" + folder.path() + L"\\Quillon.exe\""
                                                             : folder.path() + L"\\Quillon.exe";

        ExpectSilentSuccess(RunTool(L"--replace-ui0detect", tool));
        const ServiceConfig replaced = QueryConfig();
        EXPECT_EQ(replaced.image, expectedImage);
        EXPECT_EQ(replaced.start, static_cast<DWORD>(SERVICE_AUTO_START));
        EXPECT_EQ(replaced.errorControl, static_cast<DWORD>(SERVICE_ERROR_SEVERE));
        ExpectUnchangedIdentity(guard.original(), replaced);
        EXPECT_EQ(NoInteractiveServices(), 0);
        // Configuration only: the service stays stopped.
        EXPECT_EQ(bench::Service().State(), static_cast<DWORD>(SERVICE_STOPPED));

        ExpectSilentSuccess(RunTool(L"--restore-ui0detect", tool));
        const ServiceConfig restored = QueryConfig();
        EXPECT_EQ(restored.image, WindowsImage);
        EXPECT_EQ(restored.start, static_cast<DWORD>(SERVICE_DEMAND_START));
        EXPECT_EQ(restored.errorControl, static_cast<DWORD>(SERVICE_ERROR_SEVERE));
        ExpectUnchangedIdentity(guard.original(), restored);
        EXPECT_EQ(NoInteractiveServices(), 0);
        SetNoInteractiveServices(1);
    }
}

TEST_F(ProceduresTest, ReplaceCreatesAMissingNoInteractiveServicesValue)
{
    SetNoInteractiveServices(-1);
    ExpectSilentSuccess(RunTool(L"--replace-ui0detect"));
    EXPECT_EQ(NoInteractiveServices(), 0);
    EXPECT_EQ(QueryConfig().image, BuiltServicePath());
}

TEST_F(ProceduresTest, RestoreKeepsTheErrorControlAndTheRegistryValue)
{
    SetNoInteractiveServices(1);
    SetImage(guard.original().image, SERVICE_AUTO_START, SERVICE_ERROR_IGNORE);
    ExpectSilentSuccess(RunTool(L"--restore-ui0detect"));
    const ServiceConfig restored = QueryConfig();
    EXPECT_EQ(restored.image, WindowsImage);
    EXPECT_EQ(restored.start, static_cast<DWORD>(SERVICE_DEMAND_START));
    EXPECT_EQ(restored.errorControl, static_cast<DWORD>(SERVICE_ERROR_IGNORE));
    EXPECT_EQ(NoInteractiveServices(), 1);
}

TEST_F(ProceduresTest, InstallConfiguresAndStartsTheService)
{
    SetNoInteractiveServices(1);
    ExpectSilentSuccess(RunTool(L"-i"));
    const ServiceConfig installed = QueryConfig();
    EXPECT_EQ(installed.image, BuiltServicePath());
    EXPECT_EQ(installed.start, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(installed.errorControl, static_cast<DWORD>(SERVICE_ERROR_SEVERE));
    EXPECT_EQ(NoInteractiveServices(), 0);
    EXPECT_TRUE(WaitForServiceStarted()) << "the install did not start the service";
}

TEST_F(ProceduresTest, StopReturnsOnlyOnceTheServiceHasStopped)
{
    bench::Service service;
    ASSERT_TRUE(service.StartAndWaitForShell(15000));
    ExpectSilentSuccess(RunTool(L"-t"));
    EXPECT_EQ(service.State(), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(bench::FindShellWindow(), nullptr);

    // Stopping a stopped service is no failure.
    ExpectSilentSuccess(RunTool(L"-t"));
    EXPECT_EQ(service.State(), static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(ProceduresTest, StartStartsAStoppedServiceAndRestartsARunningOne)
{
    ExpectSilentSuccess(RunTool(L"-s"));
    ASSERT_TRUE(WaitForServiceStarted()) << "the start did not start the stopped service";
    const DWORD firstPid = ServicePid();
    ASSERT_NE(firstPid, 0u);

    ExpectSilentSuccess(RunTool(L"-s"));
    ASSERT_TRUE(WaitForServiceStarted()) << "the start did not start the service again";
    EXPECT_NE(ServicePid(), firstPid);
}

TEST_F(ProceduresTest, RestartRunsTheServiceInAFreshProcess)
{
    bench::Service service;
    ASSERT_TRUE(service.StartAndWaitForShell(15000));
    const DWORD firstPid = ServicePid();
    ExpectSilentSuccess(RunTool(L"-r"));
    ASSERT_TRUE(WaitForServiceStarted()) << "the restart did not start the service again";
    EXPECT_NE(ServicePid(), firstPid);

    // From a stopped service the first stop finds nothing to stop.
    ASSERT_TRUE(service.StopAndWait());
    ExpectSilentSuccess(RunTool(L"-r"));
    EXPECT_TRUE(WaitForServiceStarted()) << "the restart did not start the stopped service";
}

TEST_F(ProceduresTest, UninstallStopsAndRestoresTheWindowsImage)
{
    bench::Service service;
    ASSERT_TRUE(service.StartAndWaitForShell(15000));
    ExpectSilentSuccess(RunTool(L"-u"));
    EXPECT_EQ(service.State(), static_cast<DWORD>(SERVICE_STOPPED));
    const ServiceConfig restored = QueryConfig();
    EXPECT_EQ(restored.image, WindowsImage);
    EXPECT_EQ(restored.start, static_cast<DWORD>(SERVICE_DEMAND_START));
    ExpectUnchangedIdentity(guard.original(), restored);
}

namespace
{
// The event as the session 0 tray makes it, owned by LocalSystem.
HANDLE CreateTraysQuitEvent()
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:SYD:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x120000;;;AU)",
                                                              SDDL_REVISION_1, &descriptor, nullptr))
        return nullptr;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    const HANDLE event = CreateEventW(&attributes, TRUE, FALSE, L"Global\\QuillonTray_QuitAll");
    LocalFree(descriptor);
    return event;
}
}

TEST_F(ProceduresTest, StopAndRestoreSetTheTrayHelpersQuitEvent)
{
    const HANDLE quitAll = CreateTraysQuitEvent();
    ASSERT_NE(quitAll, nullptr);
    for (const wchar_t* option : {L"-t", L"--restore-ui0detect", L"-u", L"-r"})
    {
        SCOPED_TRACE(bench::Narrow(option));
        ResetEvent(quitAll);
        ExpectSilentSuccess(RunTool(option));
        EXPECT_EQ(WaitForSingleObject(quitAll, 0), WAIT_OBJECT_0);
        SetImage(guard.original().image, SERVICE_DEMAND_START, guard.original().errorControl);
        bench::Service().StopAndWait();
    }
    for (const wchar_t* option : {L"--replace-ui0detect", L"-s", L"-k"})
    {
        SCOPED_TRACE(bench::Narrow(option));
        ResetEvent(quitAll);
        ExpectSilentSuccess(RunTool(option));
        EXPECT_EQ(WaitForSingleObject(quitAll, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    }
    CloseHandle(quitAll);
}

// Another program made the event first (here without an owner, as Wine makes objects without a
// descriptor): setting it would only tell that program's waiters, so the tool leaves it and says
// how the trays end instead, and the stop itself still succeeds.
TEST_F(ProceduresTest, StopLeavesAQuitEventOfAnotherProgramAndSaysSo)
{
    const HANDLE squatted = CreateEventW(nullptr, TRUE, FALSE, L"Global\\QuillonTray_QuitAll");
    ASSERT_NE(squatted, nullptr);
    ASSERT_NE(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS)) << "another test left the event";
    const ToolRun run = RunTool(L"-t");
    EXPECT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.out, L"");
    EXPECT_NE(run.err.find(L"QuillonTray_QuitAll was made by another program"), std::wstring::npos) << bench::Narrow(run.err);
    EXPECT_NE(run.err.find(L"The tray of session 0 ends with the UI0Detect service"), std::wstring::npos) << bench::Narrow(run.err);
    EXPECT_EQ(WaitForSingleObject(squatted, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "the tool set it";
    CloseHandle(squatted);
}

TEST_F(ProceduresTest, RevertMakesTheRunningServiceReturnTheConsole)
{
    BenchState* state = OpenBenchState();
    ASSERT_NE(state, nullptr);
    bench::Service service;

    // Not running: nothing to do, no failure.
    const LONG before = state->winstaRevertCalls;
    ExpectSilentSuccess(RunTool(L"-k"));
    EXPECT_EQ(state->winstaRevertCalls, before);

    ASSERT_TRUE(service.StartAndWaitForShell(15000));
    ExpectSilentSuccess(RunTool(L"-k"));
    EXPECT_TRUE(bench::WaitUntil([&] { return state->winstaRevertCalls == before + 1; }, 10000));
    for (const wchar_t* line : {L"-k --QUERY", L"-k --query x", L"-k anything"})
    {
        SCOPED_TRACE(bench::Narrow(line));
        const LONG calls = state->winstaRevertCalls;
        ExpectSilentSuccess(RunTool(line));
        EXPECT_TRUE(bench::WaitUntil([&] { return state->winstaRevertCalls == calls + 1; }, 10000));
    }
    EXPECT_EQ(service.State(), static_cast<DWORD>(SERVICE_RUNNING));
}

TEST_F(ProceduresTest, InstallWithoutTheServiceProgramConfiguresAndThenFailsToStart)
{
    ScratchFolder folder(L"quillon-no-service");
    const std::wstring tool = folder.Copy(ToolPath(), L"QuillonControl.exe");
    SetNoInteractiveServices(1);

    const ToolRun run = RunTool(L"-i", tool);
    EXPECT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_EQ(run.out, L"");
    EXPECT_EQ(QueryConfig().image, folder.path() + L"\\Quillon.exe");
    EXPECT_EQ(NoInteractiveServices(), 0);
    EXPECT_EQ(bench::Service().State(), static_cast<DWORD>(SERVICE_STOPPED));

    // Whatever code the manager gives for the missing image, the line carries it and its text.
    const size_t colon = run.err.find(L':');
    ASSERT_NE(colon, std::wstring::npos) << bench::Narrow(run.err);
    const DWORD code = static_cast<DWORD>(std::stoul(run.err.substr(colon + 1)));
    EXPECT_NE(code, 0u);
    EXPECT_EQ(run.err, FailureLine(code, "Couldn't start UI0Detect service"));
}

TEST_F(ProceduresTest, AToolPathTooLongForTheImagePathChangesNothing)
{
    SetImage(guard.original().image, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL);
    const ServiceConfig before = QueryConfig();
    SetNoInteractiveServices(1);

    // The tool as "Q.exe" fits in MAX_PATH, but not once "Quillon.exe" and the quotes are added.
    // (A tool path past MAX_PATH itself cannot be tried: Wine's CreateProcessW refuses to start it.)
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring root = std::wstring(temp) + L"quillon long." + std::to_wstring(GetCurrentProcessId());
    std::vector<std::wstring> folders{root};
    while (250 - folders.back().size() > 52)
        folders.push_back(folders.back() + L"\\" + std::wstring(50, L'd'));
    folders.push_back(folders.back() + L"\\" + std::wstring(250 - folders.back().size() - 1, L'd'));
    for (const std::wstring& folder : folders)
        CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring tool = folders.back() + L"\\Q.exe";
    ASSERT_TRUE(CopyFileW(ToolPath().c_str(), tool.c_str(), FALSE)) << GetLastError();

    for (const wchar_t* option : {L"--replace-ui0detect", L"-i"})
    {
        SCOPED_TRACE(bench::Narrow(option));
        const ToolRun run = RunTool(option, tool);
        EXPECT_EQ(run.exitCode, 1u);
        EXPECT_EQ(run.out, L"");
        EXPECT_EQ(run.err, FailureLine(ERROR_FILENAME_EXCED_RANGE, "Couldn't replace UI0Detect"));
        EXPECT_EQ(NoInteractiveServices(), 1);
        const ServiceConfig after = QueryConfig();
        EXPECT_EQ(after.image, before.image);
        EXPECT_EQ(after.start, before.start);
        EXPECT_EQ(after.errorControl, before.errorControl);
        EXPECT_EQ(bench::Service().State(), static_cast<DWORD>(SERVICE_STOPPED));
    }
    DeleteFileW(tool.c_str());
    for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder)
        RemoveDirectoryW(folder->c_str());
}

// Users may rename a folder two levels above the programs, where a check of their own folder and
// the one that holds it does not look: they could move the copy away and put their own in its place.
TEST_F(ProceduresTest, UnderAFolderUsersCanRenameTheToolChangesNothingAndTheServiceStartsNoHelper)
{
    SetImage(guard.original().image, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL);
    const ServiceConfig before = QueryConfig();
    SetNoInteractiveServices(1);
    ScratchFolder open(L"quillon-open-above");
    const std::wstring folder = open.path() + L"\\kept\\Quillon";
    ASSERT_EQ(SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr), ERROR_SUCCESS);
    const std::wstring tool = folder + L"\\QuillonControl.exe";
    ASSERT_TRUE(CopyFileW(ToolPath().c_str(), tool.c_str(), FALSE)) << GetLastError();
    PSECURITY_DESCRIPTOR everyone = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;OICI;FA;;;WD)", SDDL_REVISION_1,
                                                                     &everyone, nullptr));
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    GetSecurityDescriptorDacl(everyone, &present, &dacl, &defaulted);
    const DWORD set = SetNamedSecurityInfoW(const_cast<wchar_t*>(open.path().c_str()), SE_FILE_OBJECT,
                                            DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                            nullptr, dacl, nullptr);
    LocalFree(everyone);
    ASSERT_EQ(set, static_cast<DWORD>(ERROR_SUCCESS));

    const ToolRun run = RunTool(L"-i", tool);
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_EQ(run.out, L"");
    EXPECT_EQ(run.err, FailureLine(ERROR_ACCESS_DENIED,
                                   "Couldn't replace UI0Detect: the folder " + bench::Narrow(open.path()) +
                                       ", which holds " + bench::Narrow(folder) +
                                       " can be changed by users who are not administrators; unpack Quillon under "
                                       "Program Files"));
    EXPECT_EQ(NoInteractiveServices(), 1);
    EXPECT_EQ(QueryConfig().image, before.image);
    EXPECT_EQ(bench::Service().State(), static_cast<DWORD>(SERVICE_STOPPED));

    // A service entry that points there all the same runs its shell but starts no helper.
    for (const wchar_t* program : {L"Quillon.exe", L"QuillonTray.exe", L"QuillonExplorer.exe"})
        ASSERT_TRUE(CopyFileW((bench::ProgramDirectory() + L"\\" + program).c_str(),
                              (folder + L"\\" + program).c_str(), FALSE));
    SetImage(folder + L"\\Quillon.exe", SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL);
    EXPECT_TRUE(bench::Service().StartAndWaitForShell());
    const bool helperStarted = bench::WaitUntil(
        [] {
            return !bench::ProcessesNamed(L"QuillonTray.exe").empty() ||
                   !bench::ProcessesNamed(L"QuillonExplorer.exe").empty();
        },
        2000);
    EXPECT_TRUE(bench::Service().StopAndWait(20000));
    for (const wchar_t* helper : {L"QuillonTray.exe", L"QuillonExplorer.exe"})
        for (const DWORD pid : bench::ProcessesNamed(helper))
            if (const HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid))
            {
                TerminateProcess(process, 99);
                WaitForSingleObject(process, 5000);
                CloseHandle(process);
            }
    EXPECT_FALSE(helperStarted);
}

TEST_F(ProceduresTest, WhereWindowsHasNoEntryInstallCreatesItAndUninstallRemovesIt)
{
    WithoutEntry missing;
    SetNoInteractiveServices(1);

    for (const wchar_t* option : {L"-u", L"--restore-ui0detect"})
    {
        SCOPED_TRACE(bench::Narrow(option));
        const ToolRun run = RunTool(option);
        EXPECT_EQ(run.exitCode, 0u);
        EXPECT_EQ(run.out, L"");
        EXPECT_EQ(run.err, AsWritten(L"No UI0Detect service entry, nothing to restore\n"));
        EXPECT_FALSE(EntryExists());
    }

    // Configuration only: made, then removed rather than pointed at a program that is not there.
    ExpectSilentSuccess(RunTool(L"--replace-ui0detect"));
    ASSERT_TRUE(EntryExists());
    EXPECT_EQ(bench::Service().State(), static_cast<DWORD>(SERVICE_STOPPED));
    ExpectSilentSuccess(RunTool(L"--restore-ui0detect"));
    EXPECT_FALSE(EntryExists());

    // The second install finds the entry and leaves it Quillon's.
    for (int run = 1; run <= 2; ++run)
    {
        SCOPED_TRACE(run);
        ExpectSilentSuccess(RunTool(L"-i"));
        ASSERT_TRUE(WaitForServiceStarted()) << "the install did not start the service";
        const ServiceConfig installed = QueryConfig();
        EXPECT_EQ(installed.type, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS));
        EXPECT_EQ(installed.account, L"LocalSystem");
        EXPECT_EQ(installed.displayName, L"Interactive Services Detection");
        EXPECT_EQ(installed.image, BuiltServicePath());
        EXPECT_EQ(installed.start, static_cast<DWORD>(SERVICE_AUTO_START));
        EXPECT_EQ(installed.errorControl, static_cast<DWORD>(SERVICE_ERROR_SEVERE));
        EXPECT_EQ(NoInteractiveServices(), 0);
    }
    ExpectSilentSuccess(RunTool(L"-u"));
    EXPECT_FALSE(EntryExists());
    EXPECT_EQ(bench::FindShellWindow(), nullptr);

    // Restored while it runs, the entry can only be marked for deletion: said so, and -u ends it.
    ExpectSilentSuccess(RunTool(L"-i"));
    ASSERT_TRUE(WaitForServiceStarted()) << "the install did not start the service";
    const ToolRun whileRunning = RunTool(L"--restore-ui0detect");
    EXPECT_EQ(whileRunning.exitCode, 1u);
    EXPECT_EQ(whileRunning.err,
              FailureLine(ERROR_SERVICE_MARKED_FOR_DELETE, "Couldn't remove UI0Detect service at once, it goes when "
                                                           "it has stopped and no program holds it open"));
    EXPECT_TRUE(EntryExists());
    ExpectSilentSuccess(RunTool(L"-u"));
    EXPECT_FALSE(EntryExists());
    EXPECT_EQ(bench::FindShellWindow(), nullptr);
}

TEST_F(ProceduresTest, WindowsOwnEntryIsRestoredNotRemoved)
{
    SetImage(WindowsImage, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL);
    const ServiceConfig windows = QueryConfig();
    for (const bool planted : {false, true})
    {
        // A mark on a key that accounts other than administrators can write proves nothing.
        SCOPED_TRACE(planted ? "mark anybody could have written" : "no mark");
        std::unique_ptr<PlantedMark> mark(planted ? new PlantedMark : nullptr);
        ExpectSilentSuccess(RunTool(L"-i"));
        ASSERT_TRUE(WaitForServiceStarted()) << "the install did not start the service";
        EXPECT_EQ(QueryConfig().image, BuiltServicePath());

        ExpectSilentSuccess(RunTool(L"-u"));
        ASSERT_TRUE(EntryExists());
        EXPECT_EQ(bench::Service().State(), static_cast<DWORD>(SERVICE_STOPPED));
        const ServiceConfig restored = QueryConfig();
        EXPECT_EQ(restored.image, windows.image);
        EXPECT_EQ(restored.start, windows.start);
        ExpectUnchangedIdentity(windows, restored);
        // As ever, the error control stays as the install set it.
        EXPECT_EQ(restored.errorControl, static_cast<DWORD>(SERVICE_ERROR_SEVERE));
    }
}

TEST_F(ProceduresTest, AnEntryQuillonCreatedThatNowRunsAnotherProgramIsLeftInPlace)
{
    WithoutEntry missing;
    ExpectSilentSuccess(RunTool(L"--replace-ui0detect"));
    const std::wstring other = L"C:\\windows\\system32\\notepad.exe";
    SetImage(other, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL);
    for (const wchar_t* option : {L"--restore-ui0detect", L"-u"})
    {
        SCOPED_TRACE(bench::Narrow(option));
        const ToolRun run = RunTool(option);
        EXPECT_EQ(run.exitCode, 1u);
        EXPECT_EQ(run.out, L"");
        EXPECT_EQ(run.err, FailureLine(ERROR_SERVICE_EXISTS, "Left UI0Detect service in place: Quillon created it, "
                                                             "but it runs C:\\windows\\system32\\notepad.exe now "
                                                             "(sc delete UI0Detect removes it)"));
        ASSERT_TRUE(EntryExists());
        EXPECT_EQ(QueryConfig().image, other);
    }
}
}
