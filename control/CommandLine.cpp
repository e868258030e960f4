#include "CommandLine.h"

#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <exception>

#include "Session0Report.h"
#include "Ui0Detect.h"
#include "session/Console.h"
#include "session/ScopedResource.h"
#include "session/SystemError.h"

namespace
{
using Procedure = void (*)();

bool same(const wchar_t* argument, const wchar_t* option)
{
    return wcscmp(argument, option) == 0;
}

// The first row whose option equals the first argument, compared case-sensitively and whole.
Procedure select_procedure(int count, LPWSTR* arguments)
{
    struct Row
    {
        const wchar_t* option;
        Procedure procedure;
    };
    static const Row rows[] = {
        {L"--replace-ui0detect", &replace_procedure},
        {L"--restore-ui0detect", &restore_procedure},
        {L"-i", &install_procedure},
        {L"-u", &uninstall_procedure},
        {L"-r", &restart_procedure},
        {L"-s", &start_procedure},
        {L"-t", &stop_procedure},
    };
    const wchar_t* const first = arguments[0];
    for (const Row& row : rows)
        if (same(first, row.option))
            return row.procedure;
    if (same(first, L"-k"))
        return count == 2 && same(arguments[1], L"--query") ? &print_session0_report : &revert_procedure;
    return nullptr;
}
}

int run_control_tool(const wchar_t* commandLine)
{
    ScopedLocal<LPWSTR*> arguments = MakeScopedLocal<LPWSTR*>(nullptr);
    try
    {
        int count = 0;
        arguments = split_command_line(commandLine, &count);

        // Given an empty text the platform splits out the program's own path as the only element.
        if (count == 1 && *commandLine == L'\0')
        {
            write_err(L"No arguments specified, nothing to do\n");
            return 0;
        }
        const Procedure procedure = count >= 1 ? select_procedure(count, arguments.get()) : nullptr;
        if (procedure == nullptr)
        {
            write_err(L"Unknown argument specified\n");
            return 1;
        }
        procedure();
        return 0;
    }
    catch (const std::exception& error)
    {
        print_failure(error);
    }
    return 1;
}
