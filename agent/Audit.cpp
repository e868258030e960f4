#include "Audit.h"

#include <sddl.h>

#include <new>

#include "AuditMessages.h"
#include "session/EventLog.h"
#include "session/Paths.h"
#include "session/ProcessLookup.h"
#include "session/ScopedResource.h"
#include "session/SystemError.h"

namespace agent::audit
{
namespace
{
constexpr const wchar_t* Unknown = L"unknown";

// Numbers are formatted by hand: the tray carries no printf family.
std::wstring Decimal(uint64_t value)
{
    wchar_t digits[24];
    wchar_t* first = digits + 24;
    do
    {
        *--first = static_cast<wchar_t>(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    return std::wstring(first, digits + 24);
}

std::wstring Signed(int32_t value)
{
    return value < 0 ? L"-" + Decimal(0 - static_cast<int64_t>(value)) : Decimal(static_cast<uint64_t>(value));
}

std::wstring Hex(uint32_t value, int width)
{
    std::wstring text = L"0x";
    for (int shift = (width - 1) * 4; shift >= 0; shift -= 4)
        text += L"0123456789ABCDEF"[(value >> shift) & 0xF];
    return text;
}

// As the viewer's list shows a window: 0x and eight hexadecimal digits.
std::wstring WindowId(uint32_t window)
{
    return Hex(window, 8);
}

const wchar_t* OrUnknown(const std::wstring& text)
{
    return text.empty() ? Unknown : text.c_str();
}

std::wstring ActorText(const Actor& actor)
{
    if (actor.name.empty())
        return actor.account.empty() ? Unknown : actor.account;
    return actor.account.empty() ? actor.name : actor.name + L" (" + actor.account + L")";
}

// The key's name in the keyboard layout of the agent, and its code; the code alone when the
// layout has no name for it.
std::wstring KeyText(uint16_t virtualKey)
{
    const std::wstring code = Hex(virtualKey, 2);
    const UINT scanCode = MapVirtualKeyW(virtualKey, MAPVK_VK_TO_VSC);
    if (scanCode == 0)
        return code;
    // These share their scan codes with keys of the numeric pad, from which the extended bit
    // tells them apart.
    bool extended = false;
    switch (virtualKey)
    {
    case VK_PRIOR: case VK_NEXT: case VK_END: case VK_HOME: case VK_LEFT: case VK_UP: case VK_RIGHT: case VK_DOWN:
    case VK_INSERT: case VK_DELETE: case VK_DIVIDE: case VK_NUMLOCK: case VK_RCONTROL: case VK_RMENU:
    case VK_LWIN: case VK_RWIN: case VK_APPS: case VK_SNAPSHOT:
        extended = true;
        break;
    default:
        break;
    }
    wchar_t name[64];
    const LONG keyData = static_cast<LONG>((scanCode << 16) | (extended ? 1u << 24 : 0u));
    if (GetKeyNameTextW(keyData, name, 64) <= 0)
        return code;
    return std::wstring(name) + L" (" + code + L")";
}

// Tenths of seconds are enough for how long a window waited for an answer.
std::wstring Seconds(uint64_t milliseconds)
{
    const uint64_t tenths = (milliseconds + 50) / 100;
    return Decimal(tenths / 10) + L"." + Decimal(tenths % 10);
}

// An action on a window: the administrator, their session and process, the window, and what
// was done, in the inserts' order of the message table.
void Action(DWORD messageId, const Actor& actor, const Window& window, const wchar_t* detail)
{
    const std::wstring who = ActorText(actor);
    const std::wstring session = Decimal(actor.session);
    const std::wstring process = Decimal(actor.process);
    const std::wstring id = WindowId(window.window);
    eventlog::Report(messageId, actor.account,
                     {who.c_str(), session.c_str(), process.c_str(), window.title.c_str(), OrUnknown(window.program),
                      OrUnknown(window.place), id.c_str(), detail});
}

// Each event is built in memory that may run out: the event is lost then, never the request.
template <typename Build>
void Guarded(Build build) noexcept
{
    try
    {
        build();
    }
    catch (const std::bad_alloc&)
    {
    }
}

std::wstring AccountName(const std::wstring& account)
{
    ScopedLocal<PSID> sid = MakeScopedLocal<PSID>(nullptr);
    if (account.empty() || !ConvertStringSidToSidW(account.c_str(), sid.put()))
        return {};
    wchar_t name[256];
    wchar_t domain[256];
    DWORD nameSize = 256;
    DWORD domainSize = 256;
    SID_NAME_USE use{};
    if (!LookupAccountSidW(nullptr, sid.get(), name, &nameSize, domain, &domainSize, &use))
        return {};
    return domainSize == 0 ? std::wstring(name) : std::wstring(domain) + L"\\" + name;
}
}

Actor ActorOf(HANDLE pipe, const std::wstring& account)
{
    Actor actor;
    actor.account = account;
    ULONG value = 0;
    if (GetNamedPipeClientProcessId(pipe, &value))
        actor.process = value;
    if (GetNamedPipeClientSessionId(pipe, &value))
        actor.session = value;
    else if (actor.process != 0)
        ProcessIdToSessionId(actor.process, &actor.session);
    Guarded([&] {
        actor.name = AccountName(account);
    });
    return actor;
}

void Pressed(const Actor& actor, const Window& window, const std::wstring& button)
{
    Guarded([&] {
        Action(MSG_WINDOW_BUTTON_PRESSED, actor, window, button.c_str());
    });
}

void Clicked(const Actor& actor, const Window& window, int32_t x, int32_t y)
{
    Guarded([&] {
        Action(MSG_WINDOW_CLICKED, actor, window, (Signed(x) + L"," + Signed(y)).c_str());
    });
}

void Typed(const Actor& actor, const Window& window, size_t length)
{
    Guarded([&] {
        Action(MSG_WINDOW_TEXT_TYPED, actor, window, Decimal(length).c_str());
    });
}

void KeyPressed(const Actor& actor, const Window& window, uint16_t virtualKey)
{
    Guarded([&] {
        Action(MSG_WINDOW_KEY_PRESSED, actor, window, KeyText(virtualKey).c_str());
    });
}

void Closed(const Actor& actor, const Window& window)
{
    Guarded([&] {
        Action(MSG_WINDOW_CLOSED, actor, window, L"");
    });
}

void Pictured(const Actor& actor, const Window& window)
{
    Guarded([&] {
        Action(MSG_WINDOW_PICTURED, actor, window, L"");
    });
}

void ClientRefused(const Actor& actor, const char* reason)
{
    Guarded([&] {
        const std::wstring why = from_utf8(reason);
        const std::wstring who = ActorText(actor);
        const std::wstring session = Decimal(actor.session);
        const std::wstring process = Decimal(actor.process);
        eventlog::Report(MSG_CLIENT_REFUSED, actor.account, {who.c_str(), session.c_str(), process.c_str(), why.c_str()});
    });
}

void ServerRefused(DWORD serverProcess, const std::wstring& serverImage, const std::wstring& reason)
{
    Guarded([&] {
        // Reported by whoever refused it, under their own account.
        std::wstring account;
        ScopedHandle token = MakeScopedHandle(nullptr);
        if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()))
            account = token_account(token.get());
        std::wstring self;
        if (!ProgramPath(self))
            self.clear();
        const std::wstring server = serverProcess != 0 ? Decimal(serverProcess) : std::wstring(Unknown);
        const std::wstring own = Decimal(GetCurrentProcessId());
        eventlog::Report(MSG_SERVER_REFUSED, account,
                         {server.c_str(), OrUnknown(serverImage), reason.c_str(), OrUnknown(self), own.c_str()});
    });
}

void PipeTaken(const std::wstring& pipe, DWORD holderProcess, const std::wstring& holderImage)
{
    Guarded([&] {
        const std::wstring holder = holderProcess != 0 ? Decimal(holderProcess) : std::wstring(Unknown);
        eventlog::Report(MSG_PIPE_TAKEN, std::wstring(), {pipe.c_str(), holder.c_str(), OrUnknown(holderImage)});
    });
}

void Appeared(const Window& window, DWORD processId)
{
    Guarded([&] {
        const std::wstring id = WindowId(window.window);
        const std::wstring process = Decimal(processId);
        eventlog::Report(MSG_WINDOW_APPEARED, std::wstring(),
                         {window.title.c_str(), OrUnknown(window.program), OrUnknown(window.place), id.c_str(),
                          process.c_str()});
    });
}

void Left(const Window& window, DWORD processId, uint64_t waitedMs)
{
    Guarded([&] {
        const std::wstring id = WindowId(window.window);
        const std::wstring process = Decimal(processId);
        const std::wstring waited = Seconds(waitedMs);
        eventlog::Report(MSG_WINDOW_LEFT, std::wstring(),
                         {window.title.c_str(), OrUnknown(window.program), OrUnknown(window.place), id.c_str(),
                          process.c_str(), waited.c_str()});
    });
}
}
