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

std::wstring OwnAccountOwner()
{
    AccountBuffer buffer;
    const PSID own = OwnAccount(buffer);
    ScopedLocal<LPWSTR> text = MakeScopedLocal<LPWSTR>(nullptr);
    if (own == nullptr || !ConvertSidToStringSidW(own, text.put()))
        return {};
    return L"O:" + std::wstring(text.get());
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
    const std::wstring owner = OwnAccountOwner();
    if (!owner.empty() &&
        ConvertStringSecurityDescriptorToSecurityDescriptorW((owner + L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;OW)").c_str(),
                                                             SDDL_REVISION_1, descriptor.put(), nullptr))
        attributes.lpSecurityDescriptor = descriptor.get();
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
