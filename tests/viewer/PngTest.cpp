// The PNG writer, read back by the tests' own decoder.

#include <gtest/gtest.h>

#include <stdexcept>

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
