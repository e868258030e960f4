#pragma once

// Reads back what the viewer writes, checking only what a PNG reader must: the signature, each
// chunk's CRC, the zlib header, stored blocks with their length complements, and the Adler-32
// of the data. Throws std::runtime_error on anything else.

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "viewer/Png.h"

namespace pngread
{
inline uint32_t Big32(const uint8_t* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

struct Decoded
{
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint32_t> pixels;   // 0x00RRGGBB
};

inline Decoded Decode(const std::vector<uint8_t>& file)
{
    static const uint8_t signature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (file.size() < 8 || memcmp(file.data(), signature, 8) != 0)
        throw std::runtime_error("no PNG signature");
    Decoded image;
    std::vector<uint8_t> zlib;
    bool ended = false;
    for (size_t at = 8; at < file.size();)
    {
        if (ended || file.size() - at < 12)
            throw std::runtime_error("bytes after IEND or a cut chunk");
        const uint32_t length = Big32(&file[at]);
        if (file.size() - at - 12 < length)
            throw std::runtime_error("chunk longer than the file");
        const std::string type(reinterpret_cast<const char*>(&file[at + 4]), 4);
        const uint8_t* data = &file[at + 8];
        if (png::Crc32(&file[at + 4], length + 4) != Big32(data + length))
            throw std::runtime_error("bad CRC in " + type);
        if (type == "IHDR")
        {
            image.width = Big32(data);
            image.height = Big32(data + 4);
            if (length != 13 || data[8] != 8 || data[9] != 2 || data[10] != 0 || data[11] != 0 || data[12] != 0)
                throw std::runtime_error("not 8-bit RGB, plain");
        }
        else if (type == "IDAT")
            zlib.insert(zlib.end(), data, data + length);
        else if (type == "IEND")
            ended = true;
        at += 12 + length;
    }
    if (!ended || zlib.size() < 6 || (zlib[0] * 256 + zlib[1]) % 31 != 0 || (zlib[0] & 0x0F) != 8)
        throw std::runtime_error("no IEND or a bad zlib header");

    std::vector<uint8_t> raw;
    size_t at = 2;
    for (bool last = false; !last;)
    {
        if (zlib.size() - at < 5 || (zlib[at] & 0x06) != 0)
            throw std::runtime_error("not a stored block");
        last = (zlib[at] & 1) != 0;
        const unsigned length = zlib[at + 1] | zlib[at + 2] << 8;
        const unsigned complement = zlib[at + 3] | zlib[at + 4] << 8;
        if ((length ^ 0xFFFF) != complement || zlib.size() - at - 5 < length)
            throw std::runtime_error("bad stored block length");
        raw.insert(raw.end(), &zlib[at + 5], &zlib[at + 5] + length);
        at += 5 + length;
    }
    if (zlib.size() - at != 4 || Big32(&zlib[at]) != png::Adler32(raw.data(), raw.size()))
        throw std::runtime_error("bad Adler-32 or bytes after it");

    const size_t stride = 1 + size_t(image.width) * 3;
    if (raw.size() != stride * image.height)
        throw std::runtime_error("image data of the wrong size");
    for (uint32_t y = 0; y < image.height; ++y)
    {
        const uint8_t* row = &raw[y * stride];
        if (row[0] != 0)
            throw std::runtime_error("a filtered row");
        for (uint32_t x = 0; x < image.width; ++x)
            image.pixels.push_back(uint32_t(row[1 + 3 * x]) << 16 | uint32_t(row[2 + 3 * x]) << 8 | row[3 + 3 * x]);
    }
    return image;
}
}

