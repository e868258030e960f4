#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The service runs as LocalSystem from the programs' folder and starts its helpers from there,
// and the tray starts the viewer elevated from there: an account that can change that folder, a
// program in it or any folder above it can run its own code as LocalSystem or as an elevated
// administrator. Who "can change" is decided from the security descriptors alone, so that the
// rule can be tried on any descriptor.

// On the folder: adding a file (a program, or a DLL the programs would load from their folder),
// adding a folder, deleting or replacing a program in it, deleting or renaming the folder itself,
// and rewriting its permissions or owner.
constexpr DWORD ProgramFolderRights =
    FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER;
// On a shipped program: rewriting, deleting or re-permissioning it.
constexpr DWORD ProgramFileRights = FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE | WRITE_DAC | WRITE_OWNER;
// On every folder above it, up to the root: renaming or deleting that folder or the one below it
// (which lets the account put a folder of its own in its place), and rewriting its permissions
// or owner.
constexpr DWORD AncestorFolderRights = FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER;

// True when an account that is not an administrator owns the object or, walking the DACL in
// order as the access check does, can be granted any of `rights` (generic rights mapped as for
// files; for the write, delete and permission rights of a registry key that mapping gives the
// same). Administrators are SYSTEM, the Administrators group, TrustedInstaller and
// `administrator` (may be null), an account known to be one. A missing DACL grants everyone
// everything.
bool open_to_non_administrators(PSECURITY_DESCRIPTOR descriptor, DWORD rights, PSID administrator);

// The SID of the account running the program when it is a member of Administrators; empty
// otherwise.
std::vector<BYTE> caller_if_administrator();

// One object whose security decides who can change the programs of a folder.
struct GuardedObject
{
    std::wstring path;
    DWORD rights;          // what no account but an administrator may hold on it
    bool may_be_missing;   // a program that this copy may not ship
    std::wstring subject;  // how a refusal names it
};

// The folder, each shipped program in it, then each folder above it up to the root, nearest
// first. `folder` is a full path; a trailing backslash is allowed.
std::vector<GuardedObject> guarded_objects(const std::wstring& folder);

// What was read of one object: ERROR_SUCCESS and its descriptor, or the error of the read.
struct ObjectSecurity
{
    DWORD status;
    std::vector<BYTE> descriptor;
};

// ERROR_SUCCESS, or ERROR_ACCESS_DENIED naming what an account that is not an administrator can
// change, or the error of a descriptor that could not be read, naming it.
struct FolderVerdict
{
    DWORD error = ERROR_SUCCESS;
    std::wstring reason;
};

// Judges the objects in order on what was read of each (one entry per object) and gives the
// first finding. A program that may be missing and is not found is passed over.
FolderVerdict judge_program_folder(const std::vector<GuardedObject>& objects,
                                   const std::vector<ObjectSecurity>& security, PSID administrator);

// Reads the descriptors of guarded_objects(folder) and judges them, with the running account
// as the administrator when it is one.
FolderVerdict check_program_folder(const std::wstring& folder);
