#include "ObjectOwner.h"

#include <aclapi.h>
#include <sddl.h>

#include "ScopedResource.h"

namespace
{
using AccountBuffer = BYTE[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];

PSID OwnAccount(AccountBuffer& buffer)
{
    ScopedHandle token = MakeScopedHandle(nullptr);
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()))
        return nullptr;
    DWORD bytes = 0;
    if (!GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &bytes))
        return nullptr;
    return reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid;
}
}

bool OwnAccountOwner(wchar_t* text, size_t units)
{
    AccountBuffer buffer;
    const PSID own = OwnAccount(buffer);
    ScopedLocal<LPWSTR> sid = MakeScopedLocal<LPWSTR>(nullptr);
    if (own == nullptr || !ConvertSidToStringSidW(own, sid.put()))
        return false;
    const size_t length = lstrlenW(sid.get());
    if (length + 3 > units)
        return false;
    text[0] = L'O';
    text[1] = L':';
    CopyMemory(text + 2, sid.get(), (length + 1) * sizeof(wchar_t));
    return true;
}

bool HasTrustedOwner(HANDLE object)
{
    PSID owner = nullptr;
    ScopedLocal<PSECURITY_DESCRIPTOR> descriptor = MakeScopedLocal<PSECURITY_DESCRIPTOR>(nullptr);
    if (GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        descriptor.put()) != ERROR_SUCCESS ||
        owner == nullptr || !IsValidSid(owner))
        return false;
    if (IsWellKnownSid(owner, WinLocalSystemSid) || IsWellKnownSid(owner, WinBuiltinAdministratorsSid))
        return true;
    AccountBuffer buffer;
    const PSID own = OwnAccount(buffer);
    return own != nullptr && EqualSid(owner, own);
}

bool ClaimSingleInstance(const wchar_t* name, HANDLE* held)
{
    *held = nullptr;
    ScopedLocal<PSECURITY_DESCRIPTOR> descriptor = MakeScopedLocal<PSECURITY_DESCRIPTOR>(nullptr);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
    static const wchar_t Access[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;OW)";
    wchar_t sddl[OwnerTextUnits + ARRAYSIZE(Access)];
    if (OwnAccountOwner(sddl, OwnerTextUnits))
    {
        CopyMemory(sddl + lstrlenW(sddl), Access, sizeof Access);
        if (ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, descriptor.put(), nullptr))
            attributes.lpSecurityDescriptor = descriptor.get();
    }
    const HANDLE mutex = CreateMutexW(&attributes, FALSE, name);
    // Refused: another program made the name and keeps its object from us.
    if (mutex == nullptr)
        return true;
    if (GetLastError() == ERROR_ALREADY_EXISTS && HasTrustedOwner(mutex))
    {
        CloseHandle(mutex);
        return false;
    }
    *held = mutex;
    return true;
}
