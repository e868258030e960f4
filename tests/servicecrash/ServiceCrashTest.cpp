// The real Quillon.exe under the prefix's service manager fails inside a system call of its UI
// thread: the stand-in wtsapi32.dll faults when the shell registers for session notifications.
// This program checks that it ends with a dump of that fault and copies it to QUILLON_DUMP_COPY (a Windows path),
// for ServiceCrashTest.sh to read with the build's symbols.

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "BenchClient.h"
#include "TermSrv.h"

namespace ts = bench::termsrv;

namespace
{
TEST(ServiceCrash, AFaultInASystemCallOfTheUiThreadEndsTheServiceWithADumpOfThatThread)
{
    const char* copy = std::getenv("QUILLON_DUMP_COPY");
    ASSERT_NE(nullptr, copy) << "run through ServiceCrashTest.sh";
    const std::wstring dump = bench::LocalLowFolder() + L"\\Quillon.dmp";
    bench::Service service;
    ASSERT_TRUE(service.StopAndWait());
    ts::Reset();
    DeleteFileW(dump.c_str());

    // The shell registers for session notifications as soon as it finds Terminal Services ready.
    ts::InjectFault(ts::Call::RegisterSessionNotification, ts::CrashInCall, true);
    ASSERT_TRUE(ts::MakeReady());
    ASSERT_EQ(0u, service.Start());
    DWORD pid = 0;
    bench::WaitUntil([&] { return (pid = service.Status().dwProcessId) != 0; }, 10000);
    const bool ended = bench::ProcessWatch(pid).Ended(60000);
    ts::Reset();
    ASSERT_TRUE(ended) << "the service outlived the fault (pid " << pid << ")";

    const bench::MiniDump read = bench::ReadMiniDump(bench::ReadFileBytes(dump));
    ASSERT_TRUE(read.valid) << "no dump with an exception at " << bench::Narrow(dump) << ": " << read.problem;
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), read.exceptionCode);

    std::wstring target(copy, copy + strlen(copy));
    EXPECT_TRUE(CopyFileW(dump.c_str(), target.c_str(), FALSE)) << GetLastError();
    DeleteFileW(dump.c_str());
}
}
