// The PNG writer, read back by the tests' own decoder, and how it replaces a file.

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <stdexcept>
#include <system_error>

#include "BenchClient.h"
#include "PngRead.h"
#include "viewer/Png.h"

TEST(Png, ChecksumsMatchTheirStandardValues)
{
    const std::string digits = "123456789";
    EXPECT_EQ(png::Crc32(reinterpret_cast<const uint8_t*>(digits.data()), digits.size()), 0xCBF43926u);
    const std::string word = "Wikipedia";
    EXPECT_EQ(png::Adler32(reinterpret_cast<const uint8_t*>(word.data()), word.size()), 0x11E60398u);

    // Every PNG ends with the same twelve bytes.
    const uint32_t pixel = 0xFF123456;
    const std::vector<uint8_t> file = png::Encode(1, 1, &pixel);
    const std::vector<uint8_t> end{0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
    ASSERT_GT(file.size(), end.size());
    EXPECT_TRUE(std::equal(end.begin(), end.end(), file.end() - end.size()));
}

TEST(Png, ImagesComeBackPixelForPixel)
{
    // 300 x 100 RGB is 90 100 bytes of image data: two stored blocks, the second partly filled.
    for (const auto& size : {std::make_pair(1u, 1u), std::make_pair(300u, 100u), std::make_pair(7u, 3u)})
    {
        SCOPED_TRACE(std::to_string(size.first) + "x" + std::to_string(size.second));
        std::vector<uint32_t> pixels(size_t(size.first) * size.second);
        uint32_t seed = 12345;
        for (uint32_t& p : pixels)
            p = seed = seed * 1103515245 + 12345;   // alpha varies too, and must not matter
        const pngread::Decoded image = pngread::Decode(png::Encode(size.first, size.second, pixels.data()));
        EXPECT_EQ(image.width, size.first);
        EXPECT_EQ(image.height, size.second);
        ASSERT_EQ(image.pixels.size(), pixels.size());
        for (size_t i = 0; i < pixels.size(); ++i)
            ASSERT_EQ(image.pixels[i], pixels[i] & 0xFFFFFF) << "pixel " << i;
    }
    EXPECT_THROW(png::Encode(0, 5, nullptr), std::length_error);
}

namespace
{
// The names in a folder, sorted, without "." and "..".
std::vector<std::wstring> FilesIn(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do
    {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..")
            names.push_back(name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

// A folder of the test's own under the temporary folder, emptied first.
std::wstring ScratchFolder(const wchar_t* name)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder = std::wstring(temp) + name;
    CreateDirectoryW(folder.c_str(), nullptr);
    for (const std::wstring& file : FilesIn(folder))
        DeleteFileW((folder + L"\\" + file).c_str());
    return folder;
}

void Write(const std::wstring& path, const std::string& bytes)
{
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

std::vector<uint8_t> Picture()
{
    const std::vector<uint32_t> pixels(40 * 30, 0xFF336699);
    return png::Encode(40, 30, pixels.data());
}

DWORD SaveError(const std::wstring& path, const std::vector<uint8_t>& bytes)
{
    try
    {
        png::SaveFile(path, bytes);
    }
    catch (const std::system_error& error)
    {
        return static_cast<DWORD>(error.code().value());
    }
    return 0;
}
}

TEST(PngSave, ReplacesTheTargetWholeOrNotAtAll)
{
    const std::wstring folder = ScratchFolder(L"png-save");
    const std::wstring target = folder + L"\\picture.png";
    Write(target, "the earlier picture");
    const std::vector<uint8_t> bytes = Picture();

    png::SaveFile(target, bytes);
    const std::string saved = bench::ReadFileBytes(target);
    EXPECT_EQ(std::vector<uint8_t>(saved.begin(), saved.end()), bytes);
    EXPECT_EQ(FilesIn(folder), std::vector<std::wstring>{L"picture.png"}) << "a temporary file is left";

    // The name cannot be taken while another program has the target open: the save fails, the
    // target keeps every byte, and the new file beside it is gone.
    Write(target, "the earlier picture");
    const HANDLE reader =
        CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_EQ(SaveError(target, bytes), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(reader);
    EXPECT_EQ(bench::ReadFileBytes(target), "the earlier picture");
    EXPECT_EQ(FilesIn(folder), std::vector<std::wstring>{L"picture.png"}) << "a temporary file is left";

    // A folder that does not exist: nothing is made anywhere.
    EXPECT_EQ(SaveError(folder + L"\\missing\\picture.png", bytes), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(FilesIn(folder), std::vector<std::wstring>{L"picture.png"});
}

// Wine has no Windows links of its own, but shows a Unix symbolic link in the prefix as a file
// that opens its target: made with ln from the bench machine.
TEST(PngSave, ReplacesALinkInsteadOfWritingThroughIt)
{
    using UnixName = char*(CDECL*)(const wchar_t*);
    const auto unixName = reinterpret_cast<UnixName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (unixName == nullptr)
        GTEST_SKIP() << "not under Wine";
    const std::wstring folder = ScratchFolder(L"png-save-link");
    const std::wstring elsewhere = ScratchFolder(L"png-save-victim");
    Write(elsewhere + L"\\victim.txt", "not for the viewer to write");
    char* const victim = unixName((elsewhere + L"\\victim.txt").c_str());
    char* const link = unixName((folder + L"\\picture.png").c_str());
    ASSERT_TRUE(victim != nullptr && link != nullptr);
    const auto wide = [](const char* text) {
        std::wstring result(MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0), L'\0');
        MultiByteToWideChar(CP_UTF8, 0, text, -1, &result[0], static_cast<int>(result.size()));
        result.pop_back();
        return result;
    };
    std::wstring line = L"ln -s \"" + wide(victim) + L"\" \"" + wide(link) + L"\"";
    HeapFree(GetProcessHeap(), 0, victim);
    HeapFree(GetProcessHeap(), 0, link);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(
        CreateProcessW(L"Z:\\bin\\ln", &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process));
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    const std::wstring target = folder + L"\\picture.png";
    // Wine cannot wait on a Linux program's handle: the link is there once it reads as the victim.
    ASSERT_TRUE(bench::WaitUntil([&] { return bench::ReadFileBytes(target) == "not for the viewer to write"; }, 5000));

    const std::vector<uint8_t> bytes = Picture();
    png::SaveFile(target, bytes);
    EXPECT_TRUE(bench::ReadFileBytes(elsewhere + L"\\victim.txt") == "not for the viewer to write")
        << "the save wrote through the link";
    const std::string saved = bench::ReadFileBytes(target);
    EXPECT_EQ(std::vector<uint8_t>(saved.begin(), saved.end()), bytes);
    EXPECT_EQ(FilesIn(folder), std::vector<std::wstring>{L"picture.png"});
}
