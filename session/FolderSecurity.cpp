#include "FolderSecurity.h"

#include <aclapi.h>
#include <shlwapi.h>

#include <initializer_list>
#include <vector>

#include "Names.h"
#include "Paths.h"
#include "ScopedResource.h"

namespace
{

// Compared part by part, so that no SID has to be built or freed.
bool sid_is(PSID sid, BYTE authority, std::initializer_list<DWORD> parts)
{
    if (sid == nullptr || !IsValidSid(sid) || *GetSidSubAuthorityCount(sid) != parts.size())
        return false;
    const SID_IDENTIFIER_AUTHORITY* const identifier = GetSidIdentifierAuthority(sid);
    for (int i = 0; i < 5; ++i)
        if (identifier->Value[i] != 0)
            return false;
    if (identifier->Value[5] != authority)
        return false;
    DWORD index = 0;
    for (const DWORD part : parts)
        if (*GetSidSubAuthority(sid, index++) != part)
            return false;
    return true;
}

bool is_everyone(PSID sid) { return sid_is(sid, 1, {0}); }

bool is_administrator(PSID sid, PSID administrator)
{
    return sid_is(sid, 5, {18}) ||       // SYSTEM
           sid_is(sid, 5, {32, 544}) ||  // Administrators
           sid_is(sid, 5, {80, 956008885, 3418522649, 1831038044, 1853292631, 2271478464}) ||  // TrustedInstaller
           (administrator != nullptr && EqualSid(sid, administrator));
}

// CREATOR OWNER and CREATOR GROUP stand for the creator only in ACEs to inherit; OWNER RIGHTS
// is the owner, who is judged on its own.
bool stands_for_no_other_account(PSID sid)
{
    return sid_is(sid, 3, {0}) || sid_is(sid, 3, {1}) || sid_is(sid, 3, {4});
}

struct Entry
{
    bool allow;
    DWORD mask;
    PSID sid;
};

// The ACEs that apply to the object itself, in order. A conditional deny may not apply, so it
// is left out; a conditional allow may, so it counts.
std::vector<Entry> effective_entries(PACL dacl)
{
    GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    std::vector<Entry> entries;
    for (DWORD index = 0; index < dacl->AceCount; ++index)
    {
        void* ace = nullptr;
        if (!GetAce(dacl, index, &ace))
            continue;
        const auto* header = static_cast<const ACE_HEADER*>(ace);
        if ((header->AceFlags & INHERIT_ONLY_ACE) != 0)
            continue;
        const bool allow = header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_ALLOWED_CALLBACK_ACE_TYPE;
        if (!allow && header->AceType != ACCESS_DENIED_ACE_TYPE)
            continue;
        // Allowed, denied and allowed-callback ACEs share this layout.
        auto* simple = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        DWORD mask = simple->Mask;
        MapGenericMask(&mask, &mapping);
        entries.push_back(Entry{allow, mask, &simple->SidStart});
    }
    return entries;
}
}

bool open_to_non_administrators(PSECURITY_DESCRIPTOR descriptor, DWORD rights, PSID administrator)
{
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    // The owner may always rewrite the DACL.
    if (GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) && owner != nullptr &&
        !is_administrator(owner, administrator))
        return true;

    BOOL present = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present || dacl == nullptr)
        return true;

    const std::vector<Entry> entries = effective_entries(dacl);
    for (size_t i = 0; i < entries.size(); ++i)
    {
        const Entry& grant = entries[i];
        if (!grant.allow || (grant.mask & rights) == 0 || is_administrator(grant.sid, administrator) ||
            stands_for_no_other_account(grant.sid))
            continue;
        // The access check takes each right from the first ACE that names it for one of the
        // token's SIDs. Every member of grant.sid holds grant.sid and Everyone; other groups it
        // may or may not hold, so their denials cannot be relied on.
        DWORD granted = grant.mask & rights;
        for (size_t j = 0; j < i; ++j)
            if (!entries[j].allow && (EqualSid(entries[j].sid, grant.sid) || is_everyone(entries[j].sid)))
                granted &= ~entries[j].mask;
        if (granted != 0)
            return true;
    }
    return false;
}

// Folders an administrator made are that administrator's own.
std::vector<BYTE> caller_if_administrator()
{
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof administrators;
    BOOL member = FALSE;
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size) ||
        !CheckTokenMembership(nullptr, administrators, &member) || !member)
        return {};
    ScopedHandle token = MakeScopedHandle(nullptr);
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()))
        return {};
    std::vector<BYTE> buffer(sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE);
    DWORD needed = 0;
    if (!GetTokenInformation(token.get(), TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &needed))
        return {};
    const PSID sid = reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid;
    const BYTE* const start = static_cast<const BYTE*>(sid);
    return std::vector<BYTE>(start, start + GetLengthSid(sid));
}

namespace
{
// "C:\a" for "C:\a\b", "C:\" for "C:\a", nothing for a root.
std::wstring parent_folder(const std::wstring& path)
{
    const wchar_t* const afterRoot = PathSkipRootW(path.c_str());
    const size_t rootLength = afterRoot != nullptr ? static_cast<size_t>(afterRoot - path.c_str()) : 0;
    if (rootLength == 0 || path.size() <= rootLength)
        return std::wstring();
    const std::wstring parent = FolderOf(path);
    return parent.size() < rootLength ? path.substr(0, rootLength) : parent;
}

ObjectSecurity read_security(const std::wstring& path)
{
    ScopedLocal<PSECURITY_DESCRIPTOR> descriptor = MakeScopedLocal<PSECURITY_DESCRIPTOR>(nullptr);
    const DWORD status = GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT,
                                               OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                                               nullptr, nullptr, nullptr, descriptor.put());
    if (status != ERROR_SUCCESS)
        return ObjectSecurity{status, {}};
    const BYTE* const start = static_cast<const BYTE*>(descriptor.get());
    return ObjectSecurity{status, std::vector<BYTE>(start, start + GetSecurityDescriptorLength(descriptor.get()))};
}
}

std::vector<GuardedObject> guarded_objects(const std::wstring& folder)
{
    std::wstring own = folder;
    if (own.size() > 1 && own.back() == L'\\' && PathSkipRootW(own.c_str()) != own.c_str() + own.size())
        own.pop_back();
    // A bare drive names its current folder, not its root.
    if (own.size() == 2 && own[1] == L':')
        own += L'\\';
    std::vector<GuardedObject> objects;
    objects.push_back(GuardedObject{own, ProgramFolderRights, false, L"the folder " + own});
    const std::wstring prefix = !own.empty() && own.back() == L'\\' ? own : own + L"\\";
    for (const wchar_t* program : ShippedPrograms)
        objects.push_back(GuardedObject{prefix + program, ProgramFileRights, true, prefix + program});
    // A folder above that users can rename lets them move the whole tree away and put their own
    // in its place, however well the folder itself is kept.
    for (std::wstring above = parent_folder(own); !above.empty(); above = parent_folder(above))
        objects.push_back(
            GuardedObject{above, AncestorFolderRights, false, L"the folder " + above + L", which holds " + own});
    return objects;
}

FolderVerdict judge_program_folder(const std::vector<GuardedObject>& objects,
                                   const std::vector<ObjectSecurity>& security, PSID administrator)
{
    for (size_t i = 0; i < objects.size(); ++i)
    {
        const GuardedObject& object = objects[i];
        if (i >= security.size())
            return FolderVerdict{ERROR_INVALID_DATA, L"the permissions of " + object.path + L" were not read"};
        const ObjectSecurity& read = security[i];
        if (read.status == ERROR_FILE_NOT_FOUND && object.may_be_missing)
            continue;
        if (read.status != ERROR_SUCCESS || read.descriptor.empty() ||
            !IsValidSecurityDescriptor(const_cast<BYTE*>(read.descriptor.data())))
            return FolderVerdict{read.status != ERROR_SUCCESS ? read.status : ERROR_INVALID_SECURITY_DESCR,
                                 L"the permissions of " + object.path + L" cannot be read"};
        if (open_to_non_administrators(const_cast<BYTE*>(read.descriptor.data()), object.rights, administrator))
            return FolderVerdict{ERROR_ACCESS_DENIED, object.subject + L" can be changed by users who are not "
                                                                       L"administrators; unpack Quillon under "
                                                                       L"Program Files"};
    }
    return FolderVerdict{};
}

FolderVerdict check_program_folder(const std::wstring& folder)
{
    const std::vector<BYTE> caller = caller_if_administrator();
    const std::vector<GuardedObject> objects = guarded_objects(folder);
    std::vector<ObjectSecurity> security;
    for (const GuardedObject& object : objects)
        security.push_back(read_security(object.path));
    return judge_program_folder(objects, security, caller.empty() ? nullptr : const_cast<BYTE*>(caller.data()));
}
