#include "ProgramPath.h"

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
