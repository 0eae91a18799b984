// The built firmware image: size, fill, vector area, and that the array the
// tool carries is the image the build wrote.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ihex.h"
#include "nebu.h"

namespace {

std::string slurp(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<uint8_t> image() {
    const std::string raw = slurp(NEBU_FW_BIN);
    return {raw.begin(), raw.end()};
}

TEST(FirmwareImage, IsFourKiBAndIsTheArrayTheToolCarries) {
    const auto img = image();
    ASSERT_EQ(img.size(), 4096u) << NEBU_FW_BIN;
    ASSERT_EQ(fw_size, 4096u);
    for (size_t i = 0; i < img.size(); ++i)
        ASSERT_EQ(fw_bin[i], img[i]) << "fw_bin differs from nebu.bin at " << i;
}

TEST(FirmwareImage, EveryByteTheLinkerDidNotPlaceIsFill) {
    const auto img = image();
    ASSERT_EQ(img.size(), 4096u);
    std::vector<bool> placed(img.size(), false);
    for (const auto& chunk : fwimage::parse_ihex(slurp(NEBU_FW_IHX))) {
        for (size_t i = 0; i < chunk.bytes.size(); ++i) {
            const size_t a = chunk.address + i;
            ASSERT_LT(a, img.size()) << "linker placed a byte outside the image";
            EXPECT_EQ(img[a], chunk.bytes[i]) << "at " << a;
            placed[a] = true;
        }
    }
    size_t fill = 0;
    for (size_t a = 0; a < img.size(); ++a) {
        if (!placed[a]) {
            EXPECT_EQ(img[a], 0xAA) << "unplaced byte at " << a << " is not fill";
            ++fill;
        }
    }
    EXPECT_GT(fill, 0u);
}

// The vector area 0x0000-0x007F holds the reset jump and nothing else.
TEST(FirmwareImage, VectorAreaHoldsOnlyTheResetJump) {
    const auto img = image();
    ASSERT_EQ(img.size(), 4096u);
    ASSERT_EQ(img[0], 0x02) << "reset vector is not an LJMP";
    const unsigned target = img[1] << 8 | img[2];
    EXPECT_GE(target, 0x0080u) << "start-up lies inside the vector area";
    EXPECT_LT(target, 0x1000u);
    for (unsigned a = 3; a < 0x80; ++a) EXPECT_EQ(img[a], 0xAA) << "vector area byte " << a;
}

}  // namespace
