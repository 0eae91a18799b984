// The built firmware image: size, fill, the vector area, the USB jump
// table, the descriptor table and the internal RAM layout, checked against
// the image bytes and the link map.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "ihex.h"
#include "link_map.h"
#include "nebu.h"

namespace {

using fwtest::LinkMap;
using fwtest::slurp;

std::vector<uint8_t> image() {
    const std::string raw = slurp(NEBU_FW_BIN);
    return {raw.begin(), raw.end()};
}

LinkMap link_map() { return fwtest::read_link_map(NEBU_FW_MAP); }

unsigned ljmp_target(const std::vector<uint8_t>& img, unsigned at) {
    EXPECT_EQ(img[at], 0x02) << "no LJMP at " << at;
    return img[at + 1] << 8 | img[at + 2];
}

constexpr uint8_t fill = 0xAA;
constexpr uint8_t reti = 0x32;

TEST(FirmwareImage, IsFourKiBAndIsTheArrayTheToolCarries) {
    const auto img = image();
    ASSERT_EQ(img.size(), 4096u) << NEBU_FW_BIN;
    ASSERT_EQ(fw_size, 4096u);
    for (size_t i = 0; i < img.size(); ++i)
        ASSERT_EQ(fw_bin[i], img[i]) << "fw_bin differs from nebu.bin at " << i;
}

// Code and tables run from 0x0080 to the last routine; below that only the
// three vector jumps are placed, and every byte not placed is fill.
TEST(FirmwareImage, PlacedBytesAreTheVectorsAndOneCodeBlockTheRestIsFill) {
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
    for (size_t a = 0; a < img.size(); ++a)
        if (!placed[a]) {
            EXPECT_EQ(img[a], fill) << "unplaced byte at " << a << " is not fill";
        }

    for (unsigned a = 0; a < 0x80; ++a) {
        const bool vector = a < 3 || (a >= 0x33 && a < 0x36) || (a >= 0x43 && a < 0x46);
        EXPECT_EQ(placed[a], vector) << "vector area byte " << a;
    }
    const auto last = static_cast<size_t>(std::find(placed.rbegin(), placed.rend(), true) - placed.rbegin());
    const size_t end = img.size() - last;
    EXPECT_GT(end, 0x0100u + 88) << "no code after the jump table";
    // Between the code start and the last routine only the alignment gap
    // between the code before the jump table and the table may be unplaced.
    const LinkMap map = link_map();
    const uint32_t table = map.at("usb_vector_table");
    const uint32_t home_end = map.at("s_HOME") + map.at("l_HOME");
    EXPECT_LE(home_end, table);
    for (size_t a = 0x80; a < end; ++a)
        if (!placed[a]) {
            EXPECT_TRUE(a >= home_end && a < table) << "hole in the code at " << a;
        }
}

// 0x0000 reset, 0x0033 resume and 0x0043 USB are long jumps; every other
// byte below 0x0080 is fill.
TEST(FirmwareImage, VectorAreaHoldsTheThreeJumpsAndFill) {
    const auto img = image();
    ASSERT_EQ(img.size(), 4096u);
    const LinkMap map = link_map();
    EXPECT_EQ(ljmp_target(img, 0x0000), map.at("startup"));
    EXPECT_EQ(map.at("startup"), 0x0080u) << "code does not start right after the vector area";
    EXPECT_EQ(ljmp_target(img, 0x0033), map.at("resume_isr"));
    EXPECT_EQ(ljmp_target(img, 0x0043), map.at("usb_vector_table"));
    for (unsigned a = 0; a < 0x80; ++a) {
        if (a < 3 || (a >= 0x33 && a < 0x36) || (a >= 0x43 && a < 0x46)) continue;
        EXPECT_EQ(img[a], fill) << "vector area byte " << a;
    }
}

// 22 entries of 02 hi lo 00 on a 256-byte boundary. Events that can be
// enabled lead to a handler; the others to a bare RETI, which does not ack.
TEST(FirmwareImage, UsbJumpTableIsAlignedAndEveryEntryLeadsWhereItShould) {
    const auto img = image();
    ASSERT_EQ(img.size(), 4096u);
    const LinkMap map = link_map();
    const unsigned table = ljmp_target(img, 0x0043);
    ASSERT_EQ(table, map.at("usb_vector_table"));
    ASSERT_EQ(table & 0xFF, 0u) << "jump table not on a 256-byte boundary";
    ASSERT_LE(table + 88, img.size());

    enum Kind { handler, bare_return };
    struct Entry {
        unsigned offset;
        const char* event;
        Kind kind;
        const char* symbol;  // handler that must be there, or nullptr
    };
    const Entry entries[22] = {
        {0x00, "SETUP data", handler, nullptr},
        {0x04, "start of frame", handler, nullptr},
        {0x08, "SETUP token", handler, nullptr},
        {0x0C, "suspend", handler, nullptr},
        {0x10, "USB reset", handler, nullptr},
        {0x14, "(none)", bare_return, nullptr},
        {0x18, "EP0 IN", bare_return, nullptr},
        {0x1C, "EP0 OUT", bare_return, nullptr},
        {0x20, "EP1 IN", bare_return, nullptr},
        {0x24, "EP1 OUT", handler, "run_command_script"},
        {0x28, "EP2 IN", handler, "script_resume"},
        {0x2C, "EP2 OUT", handler, "stream_out_packet"},
        {0x30, "EP3 IN", bare_return, nullptr},
        {0x34, "EP3 OUT", bare_return, nullptr},
        {0x38, "EP4 IN", bare_return, nullptr},
        {0x3C, "EP4 OUT", handler, nullptr},
        {0x40, "EP5 IN", bare_return, nullptr},
        {0x44, "EP5 OUT", handler, nullptr},
        {0x48, "EP6 IN", bare_return, nullptr},
        {0x4C, "EP6 OUT", handler, nullptr},
        {0x50, "EP7 IN", bare_return, nullptr},
        {0x54, "EP7 OUT", handler, nullptr},
    };
    std::vector<unsigned> handlers;
    for (const Entry& e : entries) {
        const unsigned at = table + e.offset;
        SCOPED_TRACE(e.event);
        const unsigned target = ljmp_target(img, at);
        EXPECT_EQ(img[at + 3], 0x00) << "filler byte";
        ASSERT_GE(target, 0x0080u);
        ASSERT_LT(target, img.size());
        EXPECT_NE(img[target], fill) << "entry leads into fill";
        if (e.kind == bare_return) {
            EXPECT_EQ(img[target], reti) << "a disabled event must lead to a bare RETI";
        } else {
            EXPECT_NE(img[target], reti) << "an enabled event needs a handler that acks";
            EXPECT_TRUE(std::find(handlers.begin(), handlers.end(), target) == handlers.end())
                << "two events share a handler";
            handlers.push_back(target);
        }
        if (e.symbol) {
            EXPECT_EQ(target, map.at(e.symbol));
        }
    }
}

// The descriptor table, byte for byte, found where it lies; the start-up
// writes the three descriptor pointers with its addresses.
TEST(FirmwareImage, DescriptorTableIsInTheImageAndThePointersPointAtIt) {
    const std::vector<uint8_t> expected = {
        // device
        0x12, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x40, 0x47, 0x05, 0x31, 0x21, 0x01, 0x00, 0x01,
        0x02, 0x00, 0x01,
        // configuration, interface
        0x09, 0x02, 0x74, 0x00, 0x01, 0x01, 0x00, 0xA0, 0xFA,
        0x09, 0x04, 0x00, 0x00, 0x0E, 0xFF, 0x00, 0x00, 0x00,
        // endpoints: OUT 1-7, then IN 1-7 (EP1 IN interrupt, 1 ms)
        0x07, 0x05, 0x01, 0x02, 0x40, 0x00, 0x00, 0x07, 0x05, 0x02, 0x02, 0x40, 0x00, 0x00,
        0x07, 0x05, 0x03, 0x02, 0x40, 0x00, 0x00, 0x07, 0x05, 0x04, 0x02, 0x40, 0x00, 0x00,
        0x07, 0x05, 0x05, 0x02, 0x40, 0x00, 0x00, 0x07, 0x05, 0x06, 0x02, 0x40, 0x00, 0x00,
        0x07, 0x05, 0x07, 0x02, 0x40, 0x00, 0x00,
        0x07, 0x05, 0x81, 0x03, 0x40, 0x00, 0x01, 0x07, 0x05, 0x82, 0x02, 0x40, 0x00, 0x00,
        0x07, 0x05, 0x83, 0x02, 0x40, 0x00, 0x00, 0x07, 0x05, 0x84, 0x02, 0x40, 0x00, 0x00,
        0x07, 0x05, 0x85, 0x02, 0x40, 0x00, 0x00, 0x07, 0x05, 0x86, 0x02, 0x40, 0x00, 0x00,
        0x07, 0x05, 0x87, 0x02, 0x40, 0x00, 0x00,
        // strings 0, 1 "NEBU", 2 "Z100", end marker
        0x04, 0x03, 0x09, 0x04,
        0x0A, 0x03, 'N', 0, 'E', 0, 'B', 0, 'U', 0,
        0x0A, 0x03, 'Z', 0, '1', 0, '0', 0, '0', 0,
        0x00, 0x00,
    };
    ASSERT_EQ(expected.size(), 160u);
    const auto img = image();
    ASSERT_EQ(img.size(), 4096u);

    const auto found = std::search(img.begin(), img.end(), expected.begin(), expected.end());
    ASSERT_NE(found, img.end()) << "the 160-byte descriptor table is not in the image";
    const auto at = static_cast<uint32_t>(found - img.begin());
    EXPECT_EQ(std::search(found + 1, img.end(), expected.begin(), expected.begin() + 18), img.end())
        << "a second device descriptor";

    const LinkMap map = link_map();
    EXPECT_EQ(map.at("descriptor_table"), at);
    EXPECT_EQ(map.at("descriptor_table_end"), at + 160);
    // The start-up's `mov direct,#data` (0x75) pairs writing each pointer.
    const struct {
        const char* pointer;
        uint32_t target;
    } pointers[] = {
        {"device_descriptor_ptr", at},
        {"config_descriptor_ptr", at + 18},
        {"string_descriptor_ptr", at + 18 + 9 + 9 + 98},
    };
    for (const auto& p : pointers) {
        SCOPED_TRACE(p.pointer);
        const uint32_t var = map.at(p.pointer);
        int lo = -1, hi = -1, writes = 0;
        for (size_t a = 0x80; a + 2 < img.size(); ++a) {
            if (img[a] != 0x75) continue;
            if (img[a + 1] == var) lo = img[a + 2], ++writes;
            if (img[a + 1] == var + 1) hi = img[a + 2], ++writes;
        }
        EXPECT_EQ(writes, 2) << "expected one write of each byte";
        EXPECT_EQ(static_cast<uint32_t>(hi << 8 | lo), p.target);
    }
}

// Register banks 0 and 1 at 0x00-0x0F, the flags in bit-addressable byte
// 0x20, the variables above them and below the stack, which starts at 0x3F.
TEST(FirmwareImage, VariablesAndFlagsLieBelowTheStack) {
    const auto img = image();
    ASSERT_EQ(img.size(), 4096u);
    const LinkMap map = link_map();
    EXPECT_EQ(map.at("s_BSEG_BYTES"), 0x20u);
    EXPECT_EQ(map.at("l_BSEG_BYTES"), 1u);
    EXPECT_EQ(map.at("l_BSEG"), 7u) << "seven flags";
    ASSERT_TRUE(map.bases.count("DSEG"));
    const uint32_t dseg = map.bases.at("DSEG");
    EXPECT_EQ(dseg, 0x21u);
    EXPECT_LE(dseg + map.at("l_DSEG"), 0x3Fu) << "variables run into the stack";
    for (const char* v : {"device_descriptor_ptr", "config_descriptor_ptr", "string_descriptor_ptr",
                          "stream_pkts", "stream_rest", "stream_dir", "current_configuration",
                          "current_alt_setting"}) {
        EXPECT_GE(map.at(v), dseg) << v;
        EXPECT_LT(map.at(v), dseg + map.at("l_DSEG")) << v;
    }
    // The start-up sets SP to 0x3E (mov SP,#0x3E) before it enters main.
    const uint32_t startup = map.at("startup");
    const uint8_t set_sp[] = {0x75, 0x81, 0x3E};
    EXPECT_NE(std::search(img.begin() + startup, img.begin() + startup + 16, std::begin(set_sp), std::end(set_sp)),
              img.begin() + startup + 16);
}

}  // namespace
