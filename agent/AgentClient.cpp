#include "AgentClient.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "session/SystemError.h"

namespace agent
{
namespace
{
constexpr const wchar_t* ServiceName = L"UI0Detect";
constexpr const wchar_t* AgentImage = L"QuillonTray.exe";
constexpr const char* NotTheAgent = "Refused the pipe server: it is not the session 0 agent of the UI0Detect service";
// The agent may spend WindowTimeoutMs on a window before it answers.
constexpr DWORD AnswerTimeoutMs = WindowTimeoutMs + IoTimeoutMs;

std::wstring ImageOf(HANDLE process)
{
    wchar_t path[MAX_PATH * 2] = {};
    DWORD size = ARRAYSIZE(path);
    if (!QueryFullProcessImageNameW(process, 0, path, &size))
        return {};
    return std::wstring(path, size);
}

std::wstring FolderOf(const std::wstring& path)
{
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring FullPath(const std::wstring& path)
{
    wchar_t expanded[MAX_PATH * 2] = {};
    const DWORD expandedSize = ExpandEnvironmentStringsW(path.c_str(), expanded, ARRAYSIZE(expanded));
    const std::wstring source = expandedSize > 0 && expandedSize <= ARRAYSIZE(expanded) ? expanded : path;
    wchar_t full[MAX_PATH * 2] = {};
    const DWORD size = GetFullPathNameW(source.c_str(), ARRAYSIZE(full), full, nullptr);
    return size > 0 && size < ARRAYSIZE(full) ? std::wstring(full, size) : source;
}

// The program of a service's image path: the quoted part, or up to the first ".exe".
std::wstring ProgramOfImagePath(const std::wstring& imagePath)
{
    if (!imagePath.empty() && imagePath[0] == L'"')
    {
        const size_t end = imagePath.find(L'"', 1);
        return imagePath.substr(1, end == std::wstring::npos ? std::wstring::npos : end - 1);
    }
    for (size_t at = 0; at + 4 <= imagePath.size(); ++at)
        if (CompareStringOrdinal(imagePath.c_str() + at, 4, L".exe", 4, TRUE) == CSTR_EQUAL)
            return imagePath.substr(0, at + 4);
    return imagePath;
}

struct TokenUser
{
    BYTE buffer[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)] = {};
    PSID sid() { return reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid; }
};

void ReadUser(HANDLE process, TokenUser& user, const char* context)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token))
        throw_last_error(context);
    ScopedHandle owned = MakeScopedHandle(token);
    DWORD bytes = 0;
    if (!GetTokenInformation(token, ::TokenUser, user.buffer, sizeof user.buffer, &bytes))
        throw_last_error(context);
}

// A user who is not an administrator may not look into a service's process. For the feed
// (names and times, nothing sent to a window) a server that runs in session 0, where only
// services and what they start run, is taken then; its image, where readable, must still match.
bool ServedFromSessionZero(HANDLE pipe)
{
    ULONG session = 0;
    return GetNamedPipeServerSessionId(pipe, &session) && session == 0;
}

// The pipe server must be the agent of the running UI0Detect service: QuillonTray.exe from the
// folder of the service's image, under the service's own account.
void VerifyServer(HANDLE pipe, bool forFeed)
{
    ULONG serverPid = 0;
    if (!GetNamedPipeServerProcessId(pipe, &serverPid))
        throw_last_error("Couldn't identify the pipe server of the session 0 agent");

    ScopedServiceHandle manager = MakeScopedServiceHandle(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager)
        throw_last_error("Couldn't open the service control manager");
    ScopedServiceHandle service =
        MakeScopedServiceHandle(OpenServiceW(manager.get(), ServiceName, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS));
    if (!service)
        throw_last_error("Couldn't open the UI0Detect service");

    SERVICE_STATUS_PROCESS status{};
    DWORD bytes = 0;
    if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                              &bytes))
        throw_last_error("Couldn't query the UI0Detect service");
    if (status.dwCurrentState != SERVICE_RUNNING || status.dwProcessId == 0)
        throw_system_error(ERROR_SERVICE_NOT_ACTIVE,
                           "Refused the pipe server: the UI0Detect service is not running, so the session 0 agent is not running");

    std::vector<BYTE> config(8192);
    if (!QueryServiceConfigW(service.get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config.data()),
                             static_cast<DWORD>(config.size()), &bytes))
    {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            throw_last_error("Couldn't read the UI0Detect service's configuration");
        config.resize(bytes);
        if (!QueryServiceConfigW(service.get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config.data()),
                                 static_cast<DWORD>(config.size()), &bytes))
            throw_last_error("Couldn't read the UI0Detect service's configuration");
    }
    const wchar_t* imagePath = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config.data())->lpBinaryPathName;
    const std::wstring expected =
        FullPath(FolderOf(ProgramOfImagePath(imagePath != nullptr ? imagePath : L""))) + L"\\" + AgentImage;

    ScopedHandle server = MakeScopedHandle(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, serverPid));
    if (!server)
    {
        if (forFeed && GetLastError() == ERROR_ACCESS_DENIED && ServedFromSessionZero(pipe))
            return;
        throw_system_error(ERROR_ACCESS_DENIED, NotTheAgent);
    }
    const std::wstring image = FullPath(ImageOf(server.get()));
    if (image.empty() || CompareStringOrdinal(image.c_str(), -1, expected.c_str(), -1, TRUE) != CSTR_EQUAL)
        throw_system_error(ERROR_ACCESS_DENIED, NotTheAgent);

    ScopedHandle serviceProcess =
        MakeScopedHandle(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, status.dwProcessId));
    if (!serviceProcess && forFeed && GetLastError() == ERROR_ACCESS_DENIED && ServedFromSessionZero(pipe))
        return;
    if (!serviceProcess)
        throw_last_error("Couldn't open the UI0Detect service's process");
    TokenUser serverUser, serviceUser;
    HANDLE probe = nullptr;
    if (forFeed && !OpenProcessToken(server.get(), TOKEN_QUERY, &probe) && GetLastError() == ERROR_ACCESS_DENIED &&
        ServedFromSessionZero(pipe))
        return;
    if (probe != nullptr)
        CloseHandle(probe);
    ReadUser(server.get(), serverUser, "Couldn't read the account of the pipe server");
    ReadUser(serviceProcess.get(), serviceUser, "Couldn't read the account of the UI0Detect service");
    if (!EqualSid(serverUser.sid(), serviceUser.sid()))
        throw_system_error(ERROR_ACCESS_DENIED, NotTheAgent);
}

std::string WindowContext(const char* text, uint32_t window)
{
    char buffer[160];
    std::snprintf(buffer, sizeof buffer, text, static_cast<unsigned>(window));
    return buffer;
}

template <typename T>
T Get(const std::vector<uint8_t>& payload, size_t at)
{
    T value{};
    std::memcpy(&value, payload.data() + at, sizeof value);
    return value;
}

template <typename T>
void Put(std::vector<uint8_t>& payload, T value)
{
    const size_t at = payload.size();
    payload.resize(at + sizeof value);
    std::memcpy(payload.data() + at, &value, sizeof value);
}

[[noreturn]] void Malformed()
{
    throw_system_error(ERROR_INVALID_DATA, "The session 0 agent sent a malformed answer");
}

// One overlapped call on the pipe, completed within the time or cancelled. The error, or 0.
DWORD Complete(HANDLE pipe, HANDLE event, OVERLAPPED& overlapped, BOOL result, DWORD timeoutMs, DWORD* bytes)
{
    *bytes = 0;
    if (!result && GetLastError() != ERROR_IO_PENDING)
        return GetLastError();
    if (!result && WaitForSingleObject(event, timeoutMs) != WAIT_OBJECT_0)
    {
        CancelIoEx(pipe, &overlapped);
        GetOverlappedResult(pipe, &overlapped, bytes, TRUE);
        return ERROR_TIMEOUT;
    }
    return GetOverlappedResult(pipe, &overlapped, bytes, FALSE) ? 0 : GetLastError();
}
}

Client::Client(ScopedHandle pipe) : pipe_(std::move(pipe)) {}

Client Client::Connect(DWORD timeoutMs, bool forFeed)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;)
    {
        // No FILE_APPEND_DATA (FILE_CREATE_PIPE_INSTANCE): the agent grants administrators only
        // what a client needs. Identification only: the server may learn who we are, not act as us.
        const HANDLE pipe = CreateFileW(PipeName,
                                        FILE_READ_DATA | FILE_WRITE_DATA | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES |
                                            SYNCHRONIZE,
                                        0, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
        if (pipe != INVALID_HANDLE_VALUE)
        {
            ScopedHandle owned = MakeScopedHandle(pipe);
            DWORD mode = PIPE_READMODE_MESSAGE;
            if (!SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr))
                throw_last_error("Couldn't set up the connection to the session 0 agent");
            VerifyServer(pipe, forFeed);
            // The agent tells who it serves at the first request: a refusal shows here, not at
            // the caller's first use.
            Client client(std::move(owned));
            if (forFeed)
                return client;
            try
            {
                client.List();
            }
            catch (const std::system_error& error)
            {
                if (error.code().value() == ERROR_ACCESS_DENIED)
                    throw_system_error(ERROR_ACCESS_DENIED,
                                       "The session 0 agent refused this account: it answers only elevated administrators");
                throw;
            }
            return client;
        }
        const DWORD error = GetLastError();
        const ULONGLONG now = GetTickCount64();
        if (error == ERROR_PIPE_BUSY && now < deadline)
        {
            WaitNamedPipeW(PipeName, static_cast<DWORD>(deadline - now));
            continue;
        }
        if (error == ERROR_ACCESS_DENIED)
            throw_system_error(error, "The session 0 agent refused this account: it answers only elevated administrators");
        if (error == ERROR_FILE_NOT_FOUND)
            throw_system_error(error, "Couldn't connect to the session 0 agent, which is not running");
        throw_system_error(error, "Couldn't connect to the session 0 agent");
    }
}

std::vector<uint8_t> Client::Call(Request type, const std::vector<uint8_t>& payload, DWORD extraWaitMs)
{
    if (!pipe_)
        throw_system_error(ERROR_PIPE_NOT_CONNECTED, "The connection to the session 0 agent was lost");
    const uint32_t id = nextId_++;
    const Header header{Magic, VersionOf(type), static_cast<uint16_t>(type), id, static_cast<uint32_t>(payload.size())};
    std::vector<uint8_t> message(sizeof header + payload.size());
    std::memcpy(message.data(), &header, sizeof header);
    if (!payload.empty())
        std::memcpy(message.data() + sizeof header, payload.data(), payload.size());

    ScopedHandle event = MakeScopedHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event)
        throw_last_error("Couldn't talk to the session 0 agent");
    const HANDLE pipe = pipe_.get();
    // Any failure from here on leaves the connection out of step: it is dropped.
    const auto fail = [this](DWORD error, const char* context) {
        pipe_.reset();
        throw_system_error(error, context);
    };

    OVERLAPPED overlapped{};
    overlapped.hEvent = event.get();
    DWORD bytes = 0;
    DWORD error = Complete(pipe, event.get(), overlapped,
                           WriteFile(pipe, message.data(), static_cast<DWORD>(message.size()), nullptr, &overlapped),
                           IoTimeoutMs, &bytes);
    if (error != 0)
        fail(error, "Couldn't send a request to the session 0 agent");

    std::vector<uint8_t> answer(64 * 1024);
    size_t received = 0;
    for (DWORD timeoutMs = AnswerTimeoutMs + extraWaitMs;; timeoutMs = IoTimeoutMs)
    {
        ResetEvent(event.get());
        overlapped = OVERLAPPED{};
        overlapped.hEvent = event.get();
        error = Complete(pipe, event.get(), overlapped,
                         ReadFile(pipe, answer.data() + received, static_cast<DWORD>(answer.size() - received), nullptr,
                                  &overlapped),
                         timeoutMs, &bytes);
        received += bytes;
        if (error == 0)
            break;
        if (error != ERROR_MORE_DATA)
            fail(error, error == ERROR_TIMEOUT ? "The session 0 agent did not answer in time"
                                               : "The session 0 agent closed the connection");
        // A long answer: its header says how long.
        Header got{};
        if (received < sizeof got)
            fail(ERROR_INVALID_DATA, "The session 0 agent sent a malformed answer");
        std::memcpy(&got, answer.data(), sizeof got);
        if (got.length > MaxResponsePayload || sizeof got + got.length <= received)
            fail(ERROR_INVALID_DATA, "The session 0 agent sent a malformed answer");
        answer.resize(sizeof got + got.length);
    }
    answer.resize(received);

    Header got{};
    if (received < sizeof got + sizeof(uint32_t))
        fail(ERROR_INVALID_DATA, "The session 0 agent sent a malformed answer");
    std::memcpy(&got, answer.data(), sizeof got);
    if (got.magic != Magic || got.version != VersionOf(type) || got.type != (static_cast<uint16_t>(type) | ResponseBit) ||
        got.id != id || got.length != received - sizeof got)
        fail(ERROR_INVALID_DATA, "The session 0 agent sent a malformed answer");
    std::vector<uint8_t> result(answer.begin() + sizeof got, answer.end());
    return result;
}

namespace
{
// Throws the agent's error for a request about a window.
void Check(const std::vector<uint8_t>& result, uint32_t window)
{
    const uint32_t status = Get<uint32_t>(result, 0);
    if (status == 0)
        return;
    if (status == ERROR_INVALID_WINDOW_HANDLE)
        throw_system_error(status, WindowContext("No session 0 window 0x%08X", window).c_str());
    if (status == ERROR_TIMEOUT)
        throw_system_error(status, WindowContext("The session 0 window 0x%08X does not answer", window).c_str());
    throw_system_error(status, WindowContext("The session 0 agent could not act on window 0x%08X", window).c_str());
}
}

namespace
{
// UTF-16 text of the given length at the offset, whose room the caller has checked; returns the
// offset after it.
size_t TakeText(const std::vector<uint8_t>& data, size_t at, size_t units, std::wstring& text)
{
    text.resize(units);
    if (units > 0)
        std::memcpy(&text[0], data.data() + at, units * sizeof(wchar_t));
    return at + units * sizeof(wchar_t);
}
}

std::vector<WindowEntry> Client::List()
{
    const std::vector<uint8_t> result = Call(Request::List, {});
    const uint32_t status = Get<uint32_t>(result, 0);
    if (status != 0)
        throw_system_error(status, "The session 0 agent could not list the windows");
    if (result.size() < 8)
        Malformed();
    const uint32_t count = Get<uint32_t>(result, 4);
    std::vector<WindowEntry> windows;
    size_t at = 8;
    for (uint32_t i = 0; i < count; ++i)
    {
        if (result.size() - at < 12)
            Malformed();
        WindowEntry entry;
        entry.window = Get<uint32_t>(result, at);
        entry.processId = Get<uint32_t>(result, at + 4);
        const size_t programUnits = Get<uint16_t>(result, at + 8);
        const size_t titleUnits = Get<uint16_t>(result, at + 10);
        at += 12;
        if (result.size() - at < (programUnits + titleUnits) * sizeof(wchar_t))
            Malformed();
        at = TakeText(result, at, programUnits, entry.program);
        at = TakeText(result, at, titleUnits, entry.title);
        windows.push_back(std::move(entry));
    }
    return windows;
}

Feed Client::Watch(uint32_t known, uint32_t waitMs)
{
    waitMs = std::min<uint32_t>(waitMs, MaxWatchWaitMs);
    std::vector<uint8_t> payload;
    Put<uint32_t>(payload, known);
    Put<uint32_t>(payload, waitMs);
    const std::vector<uint8_t> result = Call(Request::Watch, payload, waitMs);
    const uint32_t status = Get<uint32_t>(result, 0);
    if (status == ERROR_ACCESS_DENIED)
        throw_system_error(status, "The session 0 agent refused this account: it tells the windows only to the "
                                   "interactive user of a session and to elevated administrators");
    if (status != 0)
        throw_system_error(status, "The session 0 agent could not tell its windows");
    if (result.size() < 12)
        Malformed();
    Feed feed;
    feed.sequence = Get<uint32_t>(result, 4);
    const uint32_t count = Get<uint32_t>(result, 8);
    size_t at = 12;
    for (uint32_t i = 0; i < count; ++i)
    {
        if (result.size() - at < 24)
            Malformed();
        FeedWindow entry;
        entry.window = Get<uint32_t>(result, at);
        entry.appeared = Get<uint64_t>(result, at + 4);
        entry.flashed = Get<uint64_t>(result, at + 12);
        const size_t programUnits = Get<uint16_t>(result, at + 20);
        const size_t titleUnits = Get<uint16_t>(result, at + 22);
        at += 24;
        if (programUnits > MaxFeedTextUnits || titleUnits > MaxFeedTextUnits ||
            result.size() - at < (programUnits + titleUnits) * sizeof(wchar_t))
            Malformed();
        at = TakeText(result, at, programUnits, entry.program);
        at = TakeText(result, at, titleUnits, entry.title);
        feed.windows.push_back(std::move(entry));
    }
    return feed;
}

Image Client::Capture(uint32_t window, uint64_t knownHash)
{
    std::vector<uint8_t> payload;
    Put<uint32_t>(payload, window);
    Put<uint64_t>(payload, knownHash);
    const std::vector<uint8_t> result = Call(Request::Capture, payload);
    Check(result, window);
    if (result.size() < 4 + 17)
        Malformed();
    Image image;
    image.width = Get<uint32_t>(result, 4);
    image.height = Get<uint32_t>(result, 8);
    image.hash = Get<uint64_t>(result, 12);
    image.unchanged = Get<uint8_t>(result, 20) != 0;
    if (image.width > MaxCaptureSide || image.height > MaxCaptureSide)
        Malformed();
    const size_t pixels = image.unchanged ? 0 : static_cast<size_t>(image.width) * image.height;
    if (result.size() != 21 + pixels * sizeof(uint32_t))
        Malformed();
    image.pixels.resize(pixels);
    if (pixels > 0)
        std::memcpy(image.pixels.data(), result.data() + 21, pixels * sizeof(uint32_t));
    return image;
}

void Client::Click(uint32_t window, int32_t x, int32_t y, bool right, bool twice)
{
    std::vector<uint8_t> payload;
    Put<uint32_t>(payload, window);
    Put<int32_t>(payload, x);
    Put<int32_t>(payload, y);
    Put<uint8_t>(payload, right ? 1 : 0);
    Put<uint8_t>(payload, twice ? 1 : 0);
    Check(Call(Request::Click, payload), window);
}

void Client::Text(uint32_t window, const std::wstring& text)
{
    // Long texts go in pieces the agent takes.
    for (size_t at = 0; at < text.size() || (at == 0 && text.empty()); at += MaxTextUnits)
    {
        const std::wstring piece = text.substr(at, MaxTextUnits);
        std::vector<uint8_t> payload;
        Put<uint32_t>(payload, window);
        const size_t start = payload.size();
        payload.resize(start + piece.size() * sizeof(wchar_t));
        if (!piece.empty())
            std::memcpy(payload.data() + start, piece.data(), piece.size() * sizeof(wchar_t));
        Check(Call(Request::Text, payload), window);
        if (text.empty())
            break;
    }
}

void Client::Key(uint32_t window, uint16_t virtualKey)
{
    std::vector<uint8_t> payload;
    Put<uint32_t>(payload, window);
    Put<uint16_t>(payload, virtualKey);
    Check(Call(Request::Key, payload), window);
}

void Client::Close(uint32_t window)
{
    std::vector<uint8_t> payload;
    Put<uint32_t>(payload, window);
    Check(Call(Request::Close, payload), window);
}
}
