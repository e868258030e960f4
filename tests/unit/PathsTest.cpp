#include <gtest/gtest.h>

#include "session/Paths.h"

namespace
{
TEST(Paths, FolderAndFileNameSplitAtTheLastSeparator)
{
    EXPECT_EQ(FolderOf(L"C:\\Program Files\\Quillon\\Quillon.exe"), L"C:\\Program Files\\Quillon");
    EXPECT_EQ(FileNameOf(L"C:\\Program Files\\Quillon\\Quillon.exe"), L"Quillon.exe");
    EXPECT_EQ(FolderOf(L"C:/Quillon/QuillonTray.exe"), L"C:/Quillon");
    EXPECT_EQ(FileNameOf(L"C:\\Quillon/QuillonTray.exe"), L"QuillonTray.exe");
    EXPECT_EQ(FolderOf(L"Quillon.exe"), L"");
    EXPECT_EQ(FileNameOf(L"Quillon.exe"), L"Quillon.exe");
}

TEST(Paths, TheProgramOfAServiceImagePathLeavesQuotesAndArgumentsOut)
{
    EXPECT_EQ(ProgramOfImagePath(L"\"C:\\Program Files\\Quillon\\Quillon.exe\" -x"),
              L"C:\\Program Files\\Quillon\\Quillon.exe");
    EXPECT_EQ(ProgramOfImagePath(L"C:\\Program Files\\Quillon\\Quillon.EXE -x \"y.exe\""),
              L"C:\\Program Files\\Quillon\\Quillon.EXE");
    EXPECT_EQ(ProgramOfImagePath(L"C:\\Tools\\a.exe.d\\Quillon.exe"), L"C:\\Tools\\a.exe.d\\Quillon.exe")
        << "an .exe inside a folder's name ends nothing";
    EXPECT_EQ(ProgramOfImagePath(L"\"C:\\Quillon\\Quillon.exe"), L"C:\\Quillon\\Quillon.exe") << "no closing quote";
    EXPECT_EQ(ProgramOfImagePath(L"%SystemRoot%\\System32\\UI0Detect.exe"), L"%SystemRoot%\\System32\\UI0Detect.exe");
    EXPECT_EQ(ProgramOfImagePath(L"C:\\Quillon\\Quillon"), L"C:\\Quillon\\Quillon");
}
}
