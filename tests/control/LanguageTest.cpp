// Run with LC_ALL=ru_RU.UTF-8 (see CMakeLists.txt), which makes Wine answer in Russian in this
// process and the tool it starts: a failure line carries the system's own text, not its bytes in
// the ANSI code page taken one by one.

#include <gtest/gtest.h>

#include "BenchClient.h"
#include "ControlTool.h"

using namespace control;

namespace
{
TEST(Language, AFailureIsWrittenInTheSystemsLanguage)
{
    EntryGuard guard;
    ASSERT_TRUE(bench::Service().StopAndWait(20000));
    SetImage(L"C:\\quillon-missing\\Quillon.exe", SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL);

    const ToolRun run = RunTool(L"-s");
    EXPECT_EQ(run.exitCode, 1u);
    const size_t colon = run.err.find(L':');
    ASSERT_NE(colon, std::wstring::npos) << bench::Narrow(run.err);
    const DWORD code = static_cast<DWORD>(std::stoul(run.err.substr(colon + 1)));
    wchar_t russian[1024];
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                        MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT), russian, 1024, nullptr);
    ASSERT_NE(length, 0u) << GetLastError();
    const std::wstring text(russian, length);
    ASSERT_NE(text.find_first_of(L"\x0430\x0435\x043e\x0438"), std::wstring::npos) << "no Cyrillic text";
    EXPECT_EQ(run.err, AsWritten(L"[system:" + std::to_wstring(code) + L"] Couldn't start UI0Detect service: " + text));
}
}
