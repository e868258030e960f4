#pragma once

// Who made a named kernel object. Mutexes and events named in the global namespace can be made
// first by any program in any session; ours carry an owner, so that a copy can tell its own
// objects from ones another program made under the same name.

#include <windows.h>

#include <string>

// Room for "O:" and the longest SID string, with its terminator.
constexpr size_t OwnerTextUnits = 2 + 184 + 1;

// "O:<SID of this process's account>", to open a security descriptor string, written into the
// buffer; false if the token cannot be read or the text does not fit. Without std::wstring, so
// that the explorer helper links no C++ runtime.
bool OwnAccountOwner(wchar_t* text, size_t units);

// The same as a string; empty when it cannot be read.
inline std::wstring OwnAccountOwner()
{
    wchar_t text[OwnerTextUnits];
    return OwnAccountOwner(text, OwnerTextUnits) ? std::wstring(text) : std::wstring();
}

// Whether the object on this handle (opened with READ_CONTROL) is owned by LocalSystem,
// Administrators or this process's own account. An object without an owner, or of any other
// owner, was made by some other program.
bool HasTrustedOwner(HANDLE object);

// Takes the mutex whose name marks the one running copy, with a descriptor owned by this account
// and open to SYSTEM, Administrators and the owner only. Returns whether this copy is the one to
// run: false only when a trusted account's copy holds the name already. A name that another
// program took first does not keep this copy from running: the service, which starts the
// helpers, decides that. The mutex, when there is one, is left open in `held`.
bool ClaimSingleInstance(const wchar_t* name, HANDLE* held);
