#include <gtest/gtest.h>

#include "session/SystemError.h"

namespace
{
std::string SystemText(DWORD code)
{
    char buffer[4096];
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                        buffer, sizeof buffer, nullptr);
    return std::string(buffer, length);
}

std::system_error Caught(DWORD code, const char* context)
{
    try
    {
        throw_system_error(code, context);
    }
    catch (const std::system_error& error)
    {
        return error;
    }
    ADD_FAILURE() << "nothing was thrown";
    return std::system_error(std::error_code());
}

TEST(SystemError, CarriesCodeCategoryAndTheSystemsUntrimmedText)
{
    const std::system_error error = Caught(ERROR_ACCESS_DENIED, "system error in process_pid");
    const std::string text = SystemText(ERROR_ACCESS_DENIED);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n') << "the system's text ends with its own line break";
    EXPECT_EQ(std::string(error.what()), "system error in process_pid: " + text);
    EXPECT_EQ(error.code().value(), ERROR_ACCESS_DENIED);
    EXPECT_STREQ(error.code().category().name(), "system");
}

TEST(SystemError, ACodeWithoutSystemTextReadsUnknownError)
{
    const std::system_error error = Caught(0x2000FFFF, "system error in enumerate_active_sessions_wo0");
    EXPECT_EQ(std::string(error.what()), "system error in enumerate_active_sessions_wo0: unknown error");
}

TEST(SystemError, AnEmptyContextGivesTheBareText)
{
    EXPECT_EQ(std::string(Caught(0x2000FFFF, "").what()), "unknown error");
}

TEST(SystemError, ThrowLastErrorCarriesTheCodeOfTheFailedCall)
{
    ASSERT_EQ(OpenEventW(SYNCHRONIZE, FALSE, L"Quillon test event that does not exist"), nullptr);
    const DWORD expected = GetLastError();
    try
    {
        throw_last_error("context");
        FAIL() << "nothing was thrown";
    }
    catch (const std::system_error& error)
    {
        EXPECT_EQ(static_cast<DWORD>(error.code().value()), expected);
        EXPECT_NE(expected, 0u);
    }
}
}
