#include "Paths.h"

#include <windows.h>

namespace
{
// Longest path the system handles, in UTF-16 units, terminator included.
constexpr size_t LongestPath = 32768;

// "X:\..." or "\\server\share\..." (also "\\?\..."); "X:name", "\name" and "name" depend on
// the current drive or directory.
bool IsAbsolute(const std::wstring& path)
{
    const wchar_t letter = static_cast<wchar_t>(path.empty() ? 0 : path[0] | 0x20);
    const bool drive = path.size() >= 3 && letter >= L'a' && letter <= L'z' && path[1] == L':' && path[2] == L'\\';
    const bool unc = path.size() >= 3 && path[0] == L'\\' && path[1] == L'\\' && path[2] != L'\\';
    return drive || unc;
}
}

bool ProgramPath(std::wstring& path)
{
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;)
    {
        const DWORD length = GetModuleFileNameW(nullptr, &buffer[0], static_cast<DWORD>(buffer.size()));
        if (length == 0)
        {
            if (GetLastError() == ERROR_SUCCESS)
                SetLastError(ERROR_BAD_PATHNAME);
            return false;
        }
        // A path cut to the buffer fills it completely (and before Vista sets no error).
        if (length < buffer.size())
        {
            buffer.resize(length);
            break;
        }
        if (buffer.size() >= LongestPath)
        {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return false;
        }
        buffer.resize(buffer.size() * 2 < LongestPath ? buffer.size() * 2 : LongestPath);
    }
    if (!IsAbsolute(buffer))
    {
        SetLastError(ERROR_BAD_PATHNAME);
        return false;
    }
    path = std::move(buffer);
    return true;
}

bool PathBesideProgram(const std::wstring& name, std::wstring& path)
{
    std::wstring program;
    if (!ProgramPath(program))
        return false;
    path = FolderOf(program) + L"\\" + name;
    return true;
}

std::wstring FolderOf(const std::wstring& path)
{
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring FileNameOf(const std::wstring& path)
{
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring ProgramOfImagePath(const std::wstring& imagePath)
{
    if (!imagePath.empty() && imagePath[0] == L'"')
    {
        const size_t end = imagePath.find(L'"', 1);
        return imagePath.substr(1, end == std::wstring::npos ? std::wstring::npos : end - 1);
    }
    // ".exe" inside a folder's name ("C:\\x.exe.d\\") ends nothing.
    for (size_t at = 0; at + 4 <= imagePath.size(); ++at)
    {
        const size_t end = at + 4;
        if (CompareStringOrdinal(imagePath.c_str() + at, 4, L".exe", 4, TRUE) == CSTR_EQUAL &&
            (end == imagePath.size() || imagePath[end] == L' ' || imagePath[end] == L'\t'))
            return imagePath.substr(0, end);
    }
    return imagePath;
}
