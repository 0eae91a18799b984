// The build step that turns the linker's Intel HEX into the firmware image.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "image.h"
#include "ihex.h"

namespace {

using fwimage::build_image;
using fwimage::parse_ihex;

TEST(IntelHex, ReadsDataRecordsAtTheirAddresses) {
    const auto chunks = parse_ihex(":030000000200807B\r\n:02008000E4F6A4\n:00000001FF\n");
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(chunks[0].address, 0x0000u);
    EXPECT_EQ(chunks[0].bytes, (std::vector<uint8_t>{0x02, 0x00, 0x80}));
    EXPECT_EQ(chunks[1].address, 0x0080u);
    EXPECT_EQ(chunks[1].bytes, (std::vector<uint8_t>{0xE4, 0xF6}));
}

TEST(IntelHex, ExtendedLinearAddressMovesTheBase) {
    const auto chunks = parse_ihex(":020000040001F9\n:01001000559A\n:00000001FF\n");
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(chunks[0].address, 0x10010u);
}

TEST(IntelHex, RejectsMalformedInputNamingTheLine) {
    struct Case { const char* text; const char* what; };
    const Case cases[] = {
        {":030000000200807C\n:00000001FF\n", "line 1: bad checksum"},
        {"030000000200807B\n:00000001FF\n", "line 1: record does not start"},
        {":0300000002G0807B\n:00000001FF\n", "line 1: non-hex"},
        {":0000\n:00000001FF\n", "line 1: record too short"},
        {":050000000200807B00\n:00000001FF\n", "line 1: record length does not match its byte count"},
        {":030000000200807B\n", "missing end-of-file"},
        {":00000001FF\n:030000000200807B\n", "line 2: data after"},
        {":00000007F9\n:00000001FF\n", "line 1: unknown record type"},
    };
    for (const Case& c : cases) {
        try {
            parse_ihex(c.text);
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(c.what), std::string::npos)
                << "for " << c.text << " got: " << e.what();
        }
    }
}

TEST(FirmwareImageBuild, FillsEveryUnwrittenByte) {
    const auto img = build_image({{0x0000, {0x02, 0x00, 0x80}}, {0x0FFF, {0x55}}}, 4096, 0xAA);
    ASSERT_EQ(img.size(), 4096u);
    EXPECT_EQ(img[0], 0x02);
    EXPECT_EQ(img[2], 0x80);
    EXPECT_EQ(img[3], 0xAA);
    EXPECT_EQ(img[0x0FFE], 0xAA);
    EXPECT_EQ(img[0x0FFF], 0x55);
}

TEST(FirmwareImageBuild, RefusesBytesAtOrAboveTheImageEnd) {
    EXPECT_THROW(build_image({{0x0FFF, {0x00, 0x01}}}, 4096, 0xAA), std::runtime_error);
    EXPECT_THROW(build_image({{0x1000, {0x00}}}, 4096, 0xAA), std::runtime_error);
}

TEST(FirmwareImageBuild, RefusesOverlappingPieces) {
    try {
        build_image({{0x0080, {1, 2, 3, 4}}, {0x0083, {9}}}, 4096, 0xAA);
        FAIL() << "overlap accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("0x0083"), std::string::npos) << e.what();
    }
}

TEST(FirmwareImageBuild, CppArrayHoldsEveryByte) {
    const std::vector<uint8_t> img = {0x00, 0xAA, 0xFF};
    const std::string cpp = fwimage::to_cpp_array(img, "nebu.h", "fw_bin");
    EXPECT_NE(cpp.find("#include \"nebu.h\""), std::string::npos);
    EXPECT_NE(cpp.find("const unsigned char fw_bin[3] = {"), std::string::npos);
    EXPECT_NE(cpp.find("0x00, 0xaa, 0xff,"), std::string::npos) << cpp;
}

}  // namespace
