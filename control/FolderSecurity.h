#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The service runs as LocalSystem from the tool's folder, and starts its helpers from there: an
// account that can change that folder, a program in it or the folder that holds it can run its own code
// as LocalSystem. These decide who "can change" from the security descriptors alone, so that the
// rule can be tried on any descriptor.

// On the folder: adding a file (a program, or a DLL the programs would load from their folder),
// adding a folder, deleting or replacing a program in it, deleting or renaming the folder itself,
// and rewriting its permissions or owner.
constexpr DWORD ProgramFolderRights =
    FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER;
// On a shipped program: rewriting, deleting or re-permissioning it.
constexpr DWORD ProgramFileRights = FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE | WRITE_DAC | WRITE_OWNER;
// On the folder that holds it: renaming or deleting it or the folder below it (which lets the account put
// a folder of its own in its place), and rewriting its permissions or owner.
constexpr DWORD AncestorFolderRights = FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER;

// True when an account that is not an administrator owns the object or, walking the DACL in
// order as the access check does, can be granted any of `rights` (generic rights mapped as for
// files; for the write, delete and permission rights of a registry key that mapping gives the same). Administrators are SYSTEM, the Administrators group, TrustedInstaller and `administrator`
// (may be null), an account known to be one. A missing DACL grants everyone everything.
bool open_to_non_administrators(PSECURITY_DESCRIPTOR descriptor, DWORD rights, PSID administrator);

// The SID of the account running the tool when it is a member of Administrators; empty otherwise.
std::vector<BYTE> caller_if_administrator();

// Raises a system error (ERROR_ACCESS_DENIED) naming what an account that is not an administrator
// can change: `folder`, a shipped program in it, or the folder that holds it. `folder` is a full path
// without a trailing backslash.
void check_program_folder(const std::wstring& folder);
