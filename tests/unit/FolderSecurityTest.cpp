// Who may change the program folder, decided on descriptors as Windows gives them (Wine's own
// file descriptors are made up, so real folders cannot show it).

#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "session/FolderSecurity.h"

namespace
{
const std::wstring TI = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

// C:\ of a fresh installation.
const std::wstring DriveRoot = L"O:" + TI + L"G:" + TI +
                               L"D:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)"
                               L"(A;OICIIO;SDGXGWGR;;;AU)(A;;LC;;;AU)";
// C:\Program Files, and a folder an elevated administrator made in it, and a program there.
const std::wstring ProgramFiles = L"O:" + TI + L"G:" + TI + L"D:PAI(A;;FA;;;" + TI + L")(A;CIIO;GA;;;" + TI +
                                  L")(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;SY)(A;;0x1301bf;;;BA)(A;OICIIO;GA;;;BA)"
                                  L"(A;;0x1200a9;;;BU)(A;OICIIO;GXGR;;;BU)(A;OICIIO;GA;;;S-1-3-0)"
                                  L"(A;;0x1200a9;;;S-1-15-2-1)(A;OICIIO;GXGR;;;S-1-15-2-1)";
const std::wstring UnderProgramFiles = L"O:BAG:SYD:AI(A;ID;FA;;;" + TI + L")(A;CIIOID;GA;;;" + TI +
                                       L")(A;ID;FA;;;SY)(A;OICIIOID;GA;;;SY)(A;ID;FA;;;BA)(A;OICIIOID;GA;;;BA)"
                                       L"(A;ID;0x1200a9;;;BU)(A;OICIIOID;GXGR;;;BU)(A;OICIIOID;GA;;;S-1-3-0)"
                                       L"(A;ID;0x1200a9;;;S-1-15-2-1)(A;OICIIOID;GXGR;;;S-1-15-2-1)";
const std::wstring ProgramUnderProgramFiles =
    L"O:BAG:SYD:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;0x1200a9;;;BU)(A;ID;0x1200a9;;;S-1-15-2-1)";
// A folder made under C:\: Authenticated Users inherit Modify.
const std::wstring UnderDriveRoot = L"O:BAG:SYD:AI(A;OICIID;FA;;;BA)(A;OICIID;FA;;;SY)(A;OICIID;0x1200a9;;;BU)"
                                    L"(A;ID;0x1301bf;;;AU)(A;OICIIOID;SDGXGWGR;;;AU)";
const std::wstring ProgramUnderDriveRoot =
    L"O:BAG:SYD:AI(A;ID;FA;;;BA)(A;ID;FA;;;SY)(A;ID;0x1200a9;;;BU)(A;ID;0x1301bf;;;AU)";
const std::wstring PlainUser = L"S-1-5-21-1004336348-1177238915-682003330-1001";

bool Open(const std::wstring& sddl, DWORD rights, const std::wstring& administrator = std::wstring())
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor,
                                                                     nullptr))
        << GetLastError() << " for " << std::string(sddl.begin(), sddl.end());
    PSID sid = nullptr;
    if (!administrator.empty())
    {
        EXPECT_TRUE(ConvertStringSidToSidW(administrator.c_str(), &sid));
    }
    const bool open = open_to_non_administrators(descriptor, rights, sid);
    LocalFree(sid);
    LocalFree(descriptor);
    return open;
}

TEST(FolderSecurity, ProgramFilesIsForAdministratorsAndAFolderUnderTheDriveRootIsNot)
{
    EXPECT_FALSE(Open(UnderProgramFiles, ProgramFolderRights));
    EXPECT_FALSE(Open(ProgramUnderProgramFiles, ProgramFileRights));
    EXPECT_FALSE(Open(ProgramFiles, AncestorFolderRights));
    // Users may make folders in C:\, but rename or delete none of them.
    EXPECT_FALSE(Open(DriveRoot, AncestorFolderRights));
    EXPECT_TRUE(Open(DriveRoot, ProgramFolderRights));

    EXPECT_TRUE(Open(UnderDriveRoot, ProgramFolderRights));
    EXPECT_TRUE(Open(ProgramUnderDriveRoot, ProgramFileRights));
    EXPECT_TRUE(Open(UnderDriveRoot, AncestorFolderRights));
    // Each right alone is enough.
    for (const DWORD right : std::initializer_list<DWORD>{FILE_ADD_FILE, FILE_ADD_SUBDIRECTORY, FILE_DELETE_CHILD,
                                                          DELETE, WRITE_DAC, WRITE_OWNER})
    {
        SCOPED_TRACE(right);
        EXPECT_TRUE(Open(L"O:BAD:(A;;" + std::to_wstring(right) + L";;;IU)", ProgramFolderRights));
    }
}

TEST(FolderSecurity, DenialsCountInOrderAndOnlyForEveryMemberOfTheGrantee)
{
    // Everything that changes the folder denied to Authenticated Users ahead of their Modify.
    const std::wstring denyAll = L"(D;OICI;0xd0156;;;AU)";
    EXPECT_FALSE(Open(L"O:BAG:SYD:AI" + denyAll + UnderDriveRoot.substr(UnderDriveRoot.find(L"D:AI") + 4),
                      ProgramFolderRights));
    // Behind the allow it comes too late; leaving out delete leaves the folder renameable.
    EXPECT_TRUE(Open(UnderDriveRoot + denyAll, ProgramFolderRights));
    EXPECT_TRUE(Open(L"O:BAD:(D;;0xc0156;;;AU)(A;;0x1301bf;;;AU)", ProgramFolderRights));
    // Everyone covers every grantee; Users do not cover an authenticated user who is not one.
    EXPECT_FALSE(Open(L"O:BAD:(D;;0xd0156;;;WD)(A;;0x1301bf;;;" + PlainUser + L")", ProgramFolderRights));
    EXPECT_TRUE(Open(L"O:BAD:(D;;0xd0156;;;BU)(A;;0x1301bf;;;AU)", ProgramFolderRights));
}

TEST(FolderSecurity, OwnersNullDaclsGenericRightsAndInheritOnlyEntries)
{
    const std::wstring adminsOnly = L"D:(A;;FA;;;SY)(A;;FA;;;BA)";
    EXPECT_TRUE(Open(L"O:" + PlainUser + adminsOnly, ProgramFileRights));
    EXPECT_FALSE(Open(L"O:" + PlainUser + adminsOnly, ProgramFileRights, PlainUser));
    EXPECT_FALSE(Open(L"O:" + TI + adminsOnly + L"(A;;FA;;;" + TI + L")", ProgramFileRights));

    // A present but null DACL lets everyone do everything.
    SECURITY_DESCRIPTOR nullDacl{};
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof administrators;
    ASSERT_TRUE(InitializeSecurityDescriptor(&nullDacl, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size));
    ASSERT_TRUE(SetSecurityDescriptorOwner(&nullDacl, administrators, FALSE));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&nullDacl, TRUE, nullptr, FALSE));
    EXPECT_TRUE(open_to_non_administrators(&nullDacl, ProgramFileRights, nullptr));
    EXPECT_TRUE(Open(L"O:BAD:(A;;GW;;;BU)", ProgramFileRights));
    EXPECT_TRUE(Open(L"O:BAD:(A;;GA;;;WD)", ProgramFileRights));
    EXPECT_TRUE(Open(L"O:BAD:(A;;FA;;;" + PlainUser + L")", ProgramFileRights));
    EXPECT_FALSE(Open(L"O:BAD:(A;;GRGX;;;WD)(A;OICIIO;FA;;;AU)(A;;FA;;;S-1-3-0)", ProgramFileRights));
}
}

namespace
{
ObjectSecurity Read(const std::wstring& sddl)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor,
                                                                     nullptr));
    const BYTE* const start = static_cast<const BYTE*>(descriptor);
    ObjectSecurity read{ERROR_SUCCESS, std::vector<BYTE>(start, start + GetSecurityDescriptorLength(descriptor))};
    LocalFree(descriptor);
    return read;
}

// A copy in C:\Tools\Apps\Quillon: the folder and Apps kept as under Program Files, but Tools
// made by hand under the drive's root, so that users may rename it.
TEST(FolderSecurity, EveryShippedProgramAndEveryFolderUpToTheRootIsJudged)
{
    const std::vector<GuardedObject> objects = guarded_objects(L"C:\\Tools\\Apps\\Quillon\\");
    std::vector<std::wstring> paths;
    for (const GuardedObject& object : objects)
        paths.push_back(object.path);
    const std::wstring folder = L"C:\\Tools\\Apps\\Quillon";
    EXPECT_EQ(paths, (std::vector<std::wstring>{folder, folder + L"\\Quillon.exe", folder + L"\\QuillonControl.exe",
                                                folder + L"\\QuillonExplorer.exe", folder + L"\\QuillonTray.exe",
                                                folder + L"\\QuillonViewer.exe", L"C:\\Tools\\Apps", L"C:\\Tools",
                                                L"C:\\"}));

    const ObjectSecurity program = Read(ProgramUnderProgramFiles);
    std::vector<ObjectSecurity> facts = {Read(UnderProgramFiles), program, program, program, program,
                                         ObjectSecurity{ERROR_FILE_NOT_FOUND, {}},   // no viewer in this copy
                                         Read(UnderProgramFiles), Read(UnderDriveRoot), Read(DriveRoot)};
    ASSERT_EQ(facts.size(), objects.size());

    FolderVerdict verdict = judge_program_folder(objects, facts, nullptr);
    EXPECT_EQ(verdict.error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(verdict.reason.rfind(L"the folder C:\\Tools, which holds " + folder + L" can be changed", 0), 0u)
        << std::string(verdict.reason.begin(), verdict.reason.end());

    facts[7] = Read(ProgramFiles);
    EXPECT_EQ(judge_program_folder(objects, facts, nullptr).error, static_cast<DWORD>(ERROR_SUCCESS));

    // The viewer, started elevated, counts as much as the service.
    facts[5] = Read(ProgramUnderDriveRoot);
    verdict = judge_program_folder(objects, facts, nullptr);
    EXPECT_EQ(verdict.error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(verdict.reason.rfind(folder + L"\\QuillonViewer.exe can be changed", 0), 0u);

    // A folder that is missing or unreadable is no pass.
    facts[5] = ObjectSecurity{ERROR_FILE_NOT_FOUND, {}};
    facts[8] = ObjectSecurity{ERROR_FILE_NOT_FOUND, {}};
    verdict = judge_program_folder(objects, facts, nullptr);
    EXPECT_EQ(verdict.error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(verdict.reason, L"the permissions of C:\\ cannot be read");
}
}
