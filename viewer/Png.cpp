#include "Png.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <stdexcept>

#include "session/Paths.h"
#include "session/ScopedResource.h"
#include "session/SystemError.h"

namespace png
{
namespace
{
void PutBig32(std::vector<uint8_t>& out, uint32_t value)
{
    out.push_back(static_cast<uint8_t>(value >> 24));
    out.push_back(static_cast<uint8_t>(value >> 16));
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

void PutChunk(std::vector<uint8_t>& out, const char type[4], const std::vector<uint8_t>& data)
{
    PutBig32(out, static_cast<uint32_t>(data.size()));
    const size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    PutBig32(out, Crc32(out.data() + start, out.size() - start));
}
}

uint32_t Crc32(const uint8_t* data, size_t size, uint32_t crc)
{
    static const auto table = [] {
        std::vector<uint32_t> entries(256);
        for (uint32_t n = 0; n < 256; ++n)
        {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            entries[n] = c;
        }
        return entries;
    }();
    crc = ~crc;
    for (size_t i = 0; i < size; ++i)
        crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

uint32_t Adler32(const uint8_t* data, size_t size)
{
    uint32_t a = 1;
    uint32_t b = 0;
    for (size_t i = 0; i < size; ++i)
    {
        a = (a + data[i]) % 65521;
        b = (b + a) % 65521;
    }
    return (b << 16) | a;
}

std::vector<uint8_t> Encode(uint32_t width, uint32_t height, const uint32_t* pixels)
{
    if (width == 0 || height == 0 || width > 0x7FFFFFFF / 4 / height)
        throw std::length_error("The image is empty or too large for a PNG file");

    // Each row: filter type 0 (none), then RGB.
    std::vector<uint8_t> raw;
    raw.reserve(static_cast<size_t>(height) * (1 + width * 3));
    for (uint32_t y = 0; y < height; ++y)
    {
        raw.push_back(0);
        for (uint32_t x = 0; x < width; ++x)
        {
            const uint32_t pixel = pixels[static_cast<size_t>(y) * width + x];
            raw.push_back(static_cast<uint8_t>(pixel >> 16));
            raw.push_back(static_cast<uint8_t>(pixel >> 8));
            raw.push_back(static_cast<uint8_t>(pixel));
        }
    }

    // zlib stream: header (deflate, 32K window, no dictionary), stored blocks, Adler-32.
    std::vector<uint8_t> zlib{0x78, 0x01};
    zlib.reserve(raw.size() + raw.size() / 65535 * 5 + 16);
    size_t offset = 0;
    do
    {
        const size_t length = std::min<size_t>(raw.size() - offset, 65535);
        const bool last = offset + length == raw.size();
        zlib.push_back(last ? 1 : 0);
        zlib.push_back(static_cast<uint8_t>(length));
        zlib.push_back(static_cast<uint8_t>(length >> 8));
        zlib.push_back(static_cast<uint8_t>(~length));
        zlib.push_back(static_cast<uint8_t>(~length >> 8));
        zlib.insert(zlib.end(), raw.begin() + offset, raw.begin() + offset + length);
        offset += length;
    } while (offset < raw.size());
    PutBig32(zlib, Adler32(raw.data(), raw.size()));

    std::vector<uint8_t> header;
    PutBig32(header, width);
    PutBig32(header, height);
    header.insert(header.end(), {8, 2, 0, 0, 0});   // 8 bits, RGB, deflate, no filter choice, no interlace

    std::vector<uint8_t> out{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    PutChunk(out, "IHDR", header);
    PutChunk(out, "IDAT", zlib);
    PutChunk(out, "IEND", {});
    return out;
}

namespace
{
// The file's name as the system's own calls take it: full, with the prefix that turns off the
// translation of Win32 names (a short temporary name beside a long target may cross MAX_PATH).
struct SystemNames
{
    std::wstring extended;   // for CreateFileW: \\?\C:\x.png
    std::wstring native;     // for a rename on the handle: \??\C:\x.png
};

SystemNames NamesOf(const std::wstring& path)
{
    const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    std::wstring full(size, L'\0');
    const DWORD length = size != 0 ? GetFullPathNameW(path.c_str(), size, &full[0], nullptr) : 0;
    if (length == 0 || length >= size)
        return {};
    full.resize(length);
    if (full.rfind(L"\\\\?\\", 0) == 0 || full.rfind(L"\\\\.\\", 0) == 0)
        return {full, L"\\??\\" + full.substr(4)};
    if (full.rfind(L"\\\\", 0) == 0)
        return {L"\\\\?\\UNC\\" + full.substr(2), L"\\??\\UNC\\" + full.substr(2)};
    return {L"\\\\?\\" + full, L"\\??\\" + full};
}

// A new file of a name nobody has used in the folder: CREATE_NEW follows no link and opens no
// file that is already there.
ScopedFile CreateBeside(const std::wstring& folder, DWORD& error)
{
    static LONG counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt)
    {
        wchar_t name[64];
        swprintf(name, 64, L"\\~QuillonViewer-%lx-%lx-%llx.tmp", GetCurrentProcessId(),
                 static_cast<unsigned long>(InterlockedIncrement(&counter)), GetTickCount64());
        const std::wstring temporary = folder + name;
        ScopedFile file = MakeScopedFile(CreateFileW(temporary.c_str(), GENERIC_WRITE | DELETE, 0, nullptr,
                                                     CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file)
            return file;
        error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS)
            break;
    }
    return MakeScopedFile(INVALID_HANDLE_VALUE);
}

bool WriteAll(HANDLE file, const std::vector<uint8_t>& bytes)
{
    size_t done = 0;
    while (done < bytes.size())
    {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
        DWORD written = 0;
        if (!::WriteFile(file, bytes.data() + done, chunk, &written, nullptr))
            return false;
        if (written == 0)
        {
            SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
        done += written;
    }
    return FlushFileBuffers(file) != FALSE;
}

// Renames the open file: whatever the name holds then (a file, a link) is replaced, never
// followed.
bool RenameOver(HANDLE file, const std::wstring& nativeName)
{
    const DWORD nameBytes = static_cast<DWORD>(nativeName.size() * sizeof(wchar_t));
    std::vector<uint8_t> buffer(sizeof(FILE_RENAME_INFO) + nameBytes);
    auto* const info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->ReplaceIfExists = TRUE;
    info->RootDirectory = nullptr;
    info->FileNameLength = nameBytes;
    std::copy(nativeName.begin(), nativeName.end(), info->FileName);
    return SetFileInformationByHandle(file, FileRenameInfo, info, static_cast<DWORD>(buffer.size())) != FALSE;
}
}

void SaveFile(const std::wstring& path, const std::vector<uint8_t>& bytes)
{
    const std::string context = "Couldn't write " + to_utf8(path);
    const SystemNames names = NamesOf(path);
    if (names.extended.empty())
        throw_last_error(context.c_str());
    // The picture goes to a new file beside the target, which takes the target's name only once
    // it is whole: a write that fails leaves the target as it was. The new file is removed
    // through its handle, never by a name that someone may have pointed elsewhere meanwhile.
    DWORD error = ERROR_PATH_NOT_FOUND;
    ScopedFile file = CreateBeside(FolderOf(names.extended), error);
    if (!file)
        throw_system_error(error, context.c_str());
    if (WriteAll(file.get(), bytes) && RenameOver(file.get(), names.native))
        return;
    error = GetLastError() != 0 ? GetLastError() : ERROR_WRITE_FAULT;
    FILE_DISPOSITION_INFO disposition{TRUE};
    SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition, sizeof disposition);
    throw_system_error(error, context.c_str());
}
}
