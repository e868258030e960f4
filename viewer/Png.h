#pragma once

// A PNG writer small enough to carry no library: 8-bit RGB, no filtering, the image data in
// stored (uncompressed) deflate blocks. A window's picture is a few megabytes at most, written
// once per request.

#include <cstdint>
#include <string>
#include <vector>

namespace png
{
uint32_t Crc32(const uint8_t* data, size_t size, uint32_t crc = 0);
uint32_t Adler32(const uint8_t* data, size_t size);

// pixels: width * height values 0xAARRGGBB (BGRA in memory), rows top-down; alpha is dropped,
// since a window's picture has none that means anything.
std::vector<uint8_t> Encode(uint32_t width, uint32_t height, const uint32_t* pixels);

// Writes the bytes to a new file in the target's folder and renames it over the target: the
// target is replaced whole or not at all, and a target that is a link is replaced by the file,
// not written through (the viewer runs elevated: a link must not steer where it writes). The
// new file takes the folder's inherited permissions. Throws std::system_error naming the file.
void SaveFile(const std::wstring& path, const std::vector<uint8_t>& bytes);
}
