#include "Session0Report.h"

#include <windows.h>
#include <wtsapi32.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <iterator>
#include <system_error>
#include <vector>

#include "session/Console.h"
#include "session/ScopedResource.h"
#include "session/SystemError.h"

namespace
{
constexpr DWORD NameBufferUnits = 256;

std::string narrow(const std::wstring& text)
{
    std::string result;
    for (wchar_t c : text)
        result += c < 0x100 ? static_cast<char>(c) : '?';
    return result;
}

// Text held in a fixed array that the system may have filled to the last unit.
template <size_t Units>
std::wstring bounded(const WCHAR (&text)[Units])
{
    size_t length = 0;
    while (length < Units && text[length] != L'\0')
        ++length;
    return std::wstring(text, length);
}

// Reads a string value of at most allowedBytes bytes. Data without a terminator is terminated
// here; a longer value is read whole and cut to the allowance.
LSTATUS query_string(HKEY key, const wchar_t* name, DWORD allowedBytes, std::wstring& value)
{
    std::vector<wchar_t> buffer(allowedBytes / sizeof(wchar_t) + 1, L'\0');
    DWORD bytes = allowedBytes;
    LSTATUS status = RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer.data()), &bytes);
    if (status == ERROR_MORE_DATA)
    {
        buffer.assign(bytes / sizeof(wchar_t) + 1, L'\0');
        status = RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer.data()), &bytes);
        bytes = std::min<DWORD>(bytes, allowedBytes);
    }
    if (status != ERROR_SUCCESS)
        return status;
    const size_t units = std::min<size_t>(bytes / sizeof(wchar_t), buffer.size() - 1);
    value.assign(buffer.data(), wcsnlen(buffer.data(), units));
    return ERROR_SUCCESS;
}

void query_or_throw(HKEY key, const wchar_t* name, DWORD allowedBytes, std::wstring& value, const char* context,
                    const std::string& sid)
{
    const LSTATUS status = query_string(key, name, allowedBytes, value);
    if (status != ERROR_SUCCESS)
        throw_system_error(static_cast<DWORD>(status), (context + sid).c_str());
}

template <typename Record>
void query_session0(WTS_INFO_CLASS infoClass, Record& record)
{
    LPWSTR buffer = nullptr;
    DWORD bytes = 0;
    if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, 0, infoClass, &buffer, &bytes))
        return;
    const ScopedWtsMemory owner = MakeScopedWtsMemory(buffer);
    if (buffer != nullptr)
        std::memcpy(&record, buffer, std::min<size_t>(bytes, sizeof record));
}
}

std::wstring session_state_name(unsigned long state)
{
    static const wchar_t* const names[] = {L"active", L"connected",    L"connecting", L"shadowed",
                                           L"disconnected", L"idle",   L"listening",  L"resetting",
                                           L"down",   L"initializing"};
    if (state < std::size(names))
        return names[state];
    return std::to_wstring(state);
}

SessionUser find_session_user(const std::wstring& window_station_name)
{
    for (DWORD index = 0;; ++index)
    {
        wchar_t sidName[NameBufferUnits];
        DWORD sidLength = NameBufferUnits;
        LSTATUS status = RegEnumKeyExW(HKEY_USERS, index, sidName, &sidLength, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS)
            return SessionUser{};
        if (status != ERROR_SUCCESS)
            throw_system_error(static_cast<DWORD>(status), "Can't enumerate HKU key");
        const std::wstring sid(sidName, sidLength);
        const std::string narrowSid = narrow(sid);

        ScopedKey volatileKey = MakeScopedKey(nullptr);
        status = RegOpenKeyExW(HKEY_USERS, (sid + L"\\Volatile Environment").c_str(), 0,
                               KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE, volatileKey.put());
        if (status == ERROR_FILE_NOT_FOUND)
            continue;
        if (status != ERROR_SUCCESS)
            throw_system_error(static_cast<DWORD>(status),
                               ("Can't open HKU\\" + narrowSid + "\\Volatile Environment").c_str());

        // Each user is looked at through the first per-session key only.
        wchar_t sessionIdName[NameBufferUnits];
        DWORD sessionIdLength = NameBufferUnits;
        status = RegEnumKeyExW(volatileKey.get(), 0, sessionIdName, &sessionIdLength, nullptr, nullptr, nullptr,
                               nullptr);
        // A volatile environment without a per-session key names no session.
        if (status == ERROR_FILE_NOT_FOUND || status == ERROR_NO_MORE_ITEMS)
            continue;
        if (status != ERROR_SUCCESS)
            throw_system_error(static_cast<DWORD>(status),
                               ("Can't enumerate HKU\\" + narrowSid + "\\Volatile Environment").c_str());

        ScopedKey sessionKey = MakeScopedKey(nullptr);
        status = RegOpenKeyExW(volatileKey.get(), std::wstring(sessionIdName, sessionIdLength).c_str(), 0,
                               KEY_QUERY_VALUE, sessionKey.put());
        if (status == ERROR_FILE_NOT_FOUND)
            continue;
        if (status != ERROR_SUCCESS)
            throw_system_error(static_cast<DWORD>(status), ("Can't open session id key of user SID " + narrowSid).c_str());

        SessionUser user;
        query_or_throw(sessionKey.get(), L"SESSIONNAME", 510, user.session_name, "Can't query SESSIONNAME of user SID ",
                       narrowSid);
        if (_wcsicmp(user.session_name.c_str(), window_station_name.c_str()) != 0)
            continue;
        query_or_throw(sessionKey.get(), L"CLIENTNAME", 512, user.client_name, "Can't query CLIENTNAME of user SID ",
                       narrowSid);
        query_or_throw(volatileKey.get(), L"USERDOMAIN", 512, user.user_domain, "Can't query USERDOMAIN of user SID ",
                       narrowSid);
        query_or_throw(volatileKey.get(), L"USERNAME", 512, user.user_name, "Can't query USERNAME of user SID ",
                       narrowSid);
        user.user_sid = sid;
        return user;
    }
}

void print_session0_report()
{
    WTSINFOW session{};
    WTSCLIENTW client{};
    query_session0(WTSSessionInfo, session);
    query_session0(WTSClientInfo, client);

    bool is_remote = false;
    for (USHORT element : client.ClientAddress)
        is_remote = is_remote || element != 0;

    const std::wstring stationName = bounded(session.WinStationName);
    SessionUser user;
    std::error_code lookupError;
    std::string lookupMessage;
    if (is_remote)
    {
        try
        {
            user = find_session_user(stationName);
        }
        catch (const std::system_error& error)
        {
            lookupError = error.code();
            lookupMessage = error.what();
        }
    }

    std::wstring out = L"Session 0 Details\n";
    out += L"-----------------\n";
    out += L"  session state : " + std::wstring(session_state_name(static_cast<unsigned long>(session.State))) + L"\n";
    if (session.State != WTSConnected)
        return write_out(out);

    out += L"  session name  : \"" + stationName + L"\"\n";
    out += L"  remote control: " + std::wstring(is_remote ? L"true" : L"false") + L"\n";
    if (!is_remote)
    {
        out += L"  user          : locally connected\n";
        return write_out(out);
    }

    const std::wstring clientUserName = bounded(client.UserName);
    std::wstring clientUser;
    if (!clientUserName.empty())
    {
        const std::wstring domain = bounded(client.Domain);
        clientUser = (domain.empty() ? std::wstring(L".") : domain) + L"\\" + clientUserName;
    }
    out += L"  client name   : \"" + bounded(client.ClientName) + L"\"\n";
    out += L"  RDP user      : \"" + clientUser + L"\"\n";
    write_out(out);

    if (lookupError.value() != 0)
    {
        write_err(L"Error finding corresponding user name from HKU registry hive:\n[" +
                  widen(lookupError.category().name()) + L":" + std::to_wstring(lookupError.value()) + L"] " +
                  widen(lookupMessage.c_str()) + L"\n");
        return;
    }
    write_out(L"  real user     : \"" + (user.user_domain.empty() ? std::wstring(L".") : user.user_domain) + L"\\" +
              user.user_name + L"\"\n");
}
