// The audit trail: the message table as the built QuillonTray.exe carries it, read back with
// FormatMessageW as the Event Viewer reads it; and events of the service's programs as Wine
// traces them (testbench/EventTrace.h).

#include <gtest/gtest.h>

#include <windows.h>

#include <cwchar>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "AuditMessages.h"
#include "BenchClient.h"
#include "EventTrace.h"
#include "ServiceFixture.h"
#include "TermSrv.h"
#include "agent/Protocol.h"
#include "session/Paths.h"

namespace ts = bench::termsrv;

namespace
{
constexpr int MaxInserts = 10;

// Every event the programs write: its id as the README lists it, its type and its inserts.
struct Event
{
    DWORD messageId;
    WORD number;
    WORD type;
    int inserts;
};
const Event Events[] = {
    {MSG_WINDOW_BUTTON_PRESSED, 100, EVENTLOG_INFORMATION_TYPE, 8},
    {MSG_WINDOW_CLICKED, 101, EVENTLOG_INFORMATION_TYPE, 8},
    {MSG_WINDOW_TEXT_TYPED, 102, EVENTLOG_INFORMATION_TYPE, 8},
    {MSG_WINDOW_KEY_PRESSED, 103, EVENTLOG_INFORMATION_TYPE, 8},
    {MSG_WINDOW_CLOSED, 104, EVENTLOG_INFORMATION_TYPE, 7},
    {MSG_WINDOW_PICTURED, 105, EVENTLOG_INFORMATION_TYPE, 7},
    {MSG_CLIENT_REFUSED, 200, EVENTLOG_WARNING_TYPE, 4},
    {MSG_SERVER_REFUSED, 201, EVENTLOG_WARNING_TYPE, 5},
    {MSG_PIPE_TAKEN, 202, EVENTLOG_ERROR_TYPE, 3},
    {MSG_WINDOW_APPEARED, 300, EVENTLOG_INFORMATION_TYPE, 5},
    {MSG_WINDOW_LEFT, 301, EVENTLOG_INFORMATION_TYPE, 6},
};

// The type ReportEventW is given for a message, from the severity in its id's top bits.
WORD TypeOf(DWORD messageId)
{
    const WORD types[] = {EVENTLOG_SUCCESS, EVENTLOG_INFORMATION_TYPE, EVENTLOG_WARNING_TYPE, EVENTLOG_ERROR_TYPE};
    return types[messageId >> 30];
}

// The program as the Event Viewer loads a message file: as data, never run.
class MessageFile
{
public:
    MessageFile()
        : module_(LoadLibraryExW(bench::BinPath(L"QuillonTray.exe").c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE))
    {
    }
    ~MessageFile()
    {
        if (module_ != nullptr)
            FreeLibrary(module_);
    }
    MessageFile(const MessageFile&) = delete;
    MessageFile& operator=(const MessageFile&) = delete;

    HMODULE module() const { return module_; }

    // The table's entries: each id with its text as stored, before FormatMessageW reads it.
    std::map<DWORD, std::wstring> Entries() const
    {
        std::map<DWORD, std::wstring> entries;
        const HRSRC found = FindResourceW(module_, MAKEINTRESOURCEW(1), RT_MESSAGETABLE);
        const HGLOBAL loaded = found != nullptr ? LoadResource(module_, found) : nullptr;
        const auto* table = static_cast<const BYTE*>(loaded != nullptr ? LockResource(loaded) : nullptr);
        if (table == nullptr)
            return entries;
        const auto* data = reinterpret_cast<const MESSAGE_RESOURCE_DATA*>(table);
        for (DWORD block = 0; block < data->NumberOfBlocks; ++block)
        {
            const BYTE* entry = table + data->Blocks[block].OffsetToEntries;
            for (DWORD id = data->Blocks[block].LowId; id <= data->Blocks[block].HighId; ++id)
            {
                const auto* header = reinterpret_cast<const MESSAGE_RESOURCE_ENTRY*>(entry);
                const auto* text = reinterpret_cast<const wchar_t*>(header->Text);
                entries[id] = (header->Flags & MESSAGE_RESOURCE_UNICODE) != 0
                                  ? std::wstring(text, wcsnlen(text, (header->Length - 4) / sizeof(wchar_t)))
                                  : std::wstring(L"(not UTF-16)");
                entry += header->Length;
            }
        }
        return entries;
    }

    // The text with its inserts filled; empty, with the error, when there is none.
    std::wstring Text(DWORD messageId, const std::vector<std::wstring>& inserts, DWORD* error = nullptr) const
    {
        std::vector<DWORD_PTR> arguments;
        for (const std::wstring& insert : inserts)
            arguments.push_back(reinterpret_cast<DWORD_PTR>(insert.c_str()));
        wchar_t* buffer = nullptr;
        const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY |
                                                FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                            module_, messageId, 0, reinterpret_cast<wchar_t*>(&buffer), 0,
                                            reinterpret_cast<va_list*>(arguments.data()));
        if (error != nullptr)
            *error = length == 0 ? GetLastError() : 0;
        const std::wstring text = length != 0 ? std::wstring(buffer, length) : std::wstring();
        LocalFree(buffer);
        return text;
    }

private:
    HMODULE module_;
};

std::wstring Marker(int insert)
{
    return L"{" + std::to_wstring(insert) + L"}";
}
}

// Every event the programs write has its text in the shipped program, of the type the README
// lists, naming each of its inserts and nothing beyond them, with Windows' line breaks.
TEST(AuditMessages, EveryEventReadsBackWithItsInsertsFromTheTrayProgram)
{
    const MessageFile file;
    ASSERT_NE(file.module(), nullptr) << "QuillonTray.exe does not load as a message file: " << GetLastError();

    const std::map<DWORD, std::wstring> entries = file.Entries();
    std::set<DWORD> expected;
    for (const Event& event : Events)
        expected.insert(event.messageId);
    std::set<DWORD> stored;
    for (const auto& entry : entries)
        stored.insert(entry.first);
    EXPECT_EQ(stored, expected) << "the table holds other events than the programs write";

    std::vector<std::wstring> markers;
    for (int insert = 1; insert <= MaxInserts; ++insert)
        markers.push_back(Marker(insert));
    for (const Event& event : Events)
    {
        SCOPED_TRACE(event.number);
        EXPECT_EQ(event.messageId & 0xFFFF, event.number);
        EXPECT_EQ(TypeOf(event.messageId), event.type);
        DWORD error = 0;
        const std::wstring text = file.Text(event.messageId, markers, &error);
        ASSERT_FALSE(text.empty()) << "no text, error " << error;
        for (int insert = 1; insert <= MaxInserts; ++insert)
            EXPECT_EQ(text.find(Marker(insert)) != std::wstring::npos, insert <= event.inserts)
                << "insert " << insert << " in: " << bench::Narrow(text);
        // Stored as one line, its breaks as %n and its end as %0 (what follows it is not shown):
        // mc.exe ends each line of a text with CR LF, windmc with LF alone, which the Event
        // Viewer shows as no break at all.
        const auto stored = entries.find(event.messageId);
        if (stored != entries.end())
        {
            const size_t end = stored->second.find(L"%0");
            EXPECT_NE(end, std::wstring::npos) << bench::Narrow(stored->second);
            EXPECT_EQ(stored->second.find_first_of(L"\r\n"), end + 2) << bench::Narrow(stored->second);
        }
        EXPECT_NE(text.back(), L'\n');
        EXPECT_EQ(text.find(L'%'), std::wstring::npos) << bench::Narrow(text);
    }

    // As an administrator reads it, and never with the typed text.
    EXPECT_EQ(file.Text(MSG_WINDOW_TEXT_TYPED, {L"QUILLON\\alice (S-1-5-21-1-2-3-1001)", L"2", L"4242", L"Setup",
                                                L"setup.exe", L"Service-0x0-3e7$\\Default", L"0x0001002A", L"5"}),
              L"An administrator typed 5 characters into a session 0 window (the text itself is not recorded).\r\n"
              L"\r\n"
              L"Window: \"Setup\" (0x0001002A)\r\n"
              L"Program: setup.exe\r\n"
              L"Place: Service-0x0-3e7$\\Default\r\n"
              L"\r\n"
              L"Administrator: QUILLON\\alice (S-1-5-21-1-2-3-1001)\r\n"
              L"Session: 2\r\n"
              L"Process: 4242");
}

class AuditTrail : public bench::ServiceFixture
{
};

// Someone holds the agent's pipe before the service starts: the session 0 tray cannot take it and
// says so as an error; a user's tray, whose feed then finds only the squatter's pipe, refuses it
// and says so as a warning naming the squatter (this test) and itself.
TEST_F(AuditTrail, APipeSquatterIsReportedByTheAgentAndByTheUsersTrayThatRefusedIt)
{
    const bench::EventTrace trace;
    ASSERT_TRUE(bench::WaitUntil(
        [] { return !WaitNamedPipeW(agent::PipeName, 1) && GetLastError() == ERROR_FILE_NOT_FOUND; }, 10000))
        << "a pipe of the agent's name is still there from before";
    const HANDLE squatter = CreateNamedPipeW(agent::PipeName, PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                             PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 4096, 4096, 0,
                                             nullptr);
    ASSERT_NE(squatter, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(ts::LogOn(1, L"alice"));
    ASSERT_TRUE(service.StartAndWaitForShell());

    EXPECT_TRUE(trace.WaitFor("err", {agent::PipeName, L"unknown", L"unknown"}, 3, 10000))
        << "no error for the taken pipe in " << bench::Narrow(bench::EventTrace::LogPath()) << ":\n"
        << trace.Dump();

    std::vector<std::wstring> refusal;
    const bool refused = trace.WaitFor("warn", {std::to_wstring(GetCurrentProcessId()), bench::ImageOf(GetCurrentProcessId())},
                                       5, 15000, &refusal);
    const std::vector<DWORD> userTrays = bench::CopiesIn(bench::TrayHelper, 1);
    CloseHandle(squatter);
    ASSERT_TRUE(refused) << "no warning of a refused server in " << bench::Narrow(bench::EventTrace::LogPath())
                         << ":\n" << trace.Dump();
    EXPECT_EQ(refusal[2], L"Refused the pipe server: it is not the session 0 agent of the UI0Detect service");
    EXPECT_EQ(FileNameOf(refusal[3]), bench::TrayHelper);
    ASSERT_EQ(userTrays.size(), 1u);
    EXPECT_EQ(refusal[4], std::to_wstring(userTrays[0]));
}
