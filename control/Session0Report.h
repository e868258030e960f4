#pragma once

#include <string>

// The user whose loaded hive names a session in its volatile environment; all fields empty
// when no hive does.
struct SessionUser
{
    std::wstring session_name;  // SESSIONNAME
    std::wstring client_name;   // CLIENTNAME
    std::wstring user_domain;   // USERDOMAIN
    std::wstring user_name;     // USERNAME
    std::wstring user_sid;      // the user's key under HKEY_USERS
};

// Raises std::system_error on a registry failure.
SessionUser find_session_user(const std::wstring& window_station_name);

// Writes the report on session 0 to standard output; a failed user lookup is written to
// standard error as part of it.
void print_session0_report();

// The printed name of a connection state; its number for a state the platform does not define.
std::wstring session_state_name(unsigned long state);
