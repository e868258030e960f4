#pragma once

// The audit trail: what the agent does to session 0's windows, for whom, and who it refused, as
// events of the Application log (source "Quillon"). The texts are the message table's, compiled
// into QuillonTray.exe; the strings below fill its inserts. Reporting never fails a request:
// an event that cannot be written is lost, the action goes on.

#include <windows.h>

#include <cstdint>
#include <string>

namespace agent::audit
{
// Who asked: the client of a pipe connection. The account is the event's user.
struct Actor
{
    std::wstring account;   // SID string; empty when unknown (the event then has no user)
    DWORD session = 0;
    DWORD process = 0;
    std::wstring name;      // DOMAIN\user, looked up once per connection; empty when unknown
};

// The client at the other end of the pipe: its account as the agent read it from its token,
// its session and process as the pipe tells them, the account's name as the system gives it.
Actor ActorOf(HANDLE pipe, const std::wstring& account);

// The window acted on, as the list shows it.
struct Window
{
    uint32_t window = 0;
    std::wstring program;
    std::wstring title;
    std::wstring place;   // "station\desktop"
};

void Pressed(const Actor& actor, const Window& window, const std::wstring& button);
void Clicked(const Actor& actor, const Window& window, int32_t x, int32_t y);
// Never the text itself: its length.
void Typed(const Actor& actor, const Window& window, size_t length);
void KeyPressed(const Actor& actor, const Window& window, uint16_t virtualKey);
void Closed(const Actor& actor, const Window& window);
// The first picture of the window on one connection (later ones are the same look).
void Pictured(const Actor& actor, const Window& window);

// The agent refused a client, with the reason it gave.
void ClientRefused(const Actor& actor, const char* reason);
// A client (the viewer, a user's tray) refused the pipe's server: the process and the reason.
void ServerRefused(DWORD serverProcess, const std::wstring& serverImage, const std::wstring& reason);
// The agent could not take its pipe names: whoever holds them, when known.
void PipeTaken(const std::wstring& pipe, DWORD holderProcess, const std::wstring& holderImage);

// A window appeared in session 0, or left it after waitedMs.
void Appeared(const Window& window, DWORD processId);
void Left(const Window& window, DWORD processId, uint64_t waitedMs);
}
