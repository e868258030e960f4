// The PNG writer, read back by a decoder that knows only what a PNG reader must check: the
// signature, each chunk's CRC, the zlib header, stored blocks with their length complements,
// and the Adler-32 of the data.

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "viewer/Png.h"

namespace
{
uint32_t Big32(const uint8_t* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

struct Decoded
{
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint32_t> pixels;   // 0x00RRGGBB
};

Decoded Decode(const std::vector<uint8_t>& file)
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
        const Decoded image = Decode(png::Encode(size.first, size.second, pixels.data()));
        EXPECT_EQ(image.width, size.first);
        EXPECT_EQ(image.height, size.second);
        ASSERT_EQ(image.pixels.size(), pixels.size());
        for (size_t i = 0; i < pixels.size(); ++i)
            ASSERT_EQ(image.pixels[i], pixels[i] & 0xFFFFFF) << "pixel " << i;
    }
    EXPECT_THROW(png::Encode(0, 5, nullptr), std::length_error);
}
