// Firmware coverage: the core's counts of a program whose every count is
// known, filed by the board under the image that ran, through a coverage
// file and a merge; malformed coverage files.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "board/board.h"

namespace vboard::test {
namespace {

TEST(Coverage, CountsFiledByImageThroughFileAndMerge) {
    const std::vector<std::uint8_t> program = {
        0x78, 0x03,        // 0000 mov r0,#3
        0xD8, 0xFE,        // 0002 djnz r0,0002     3 times, jumps twice
        0xE4,              // 0004 clr a
        0x60, 0x01,        // 0005 jz 0008          taken
        0x00,              // 0007 nop              jumped over
        0x70, 0xFE,        // 0008 jnz 0008         not taken
        0xB4, 0x00, 0x00,  // 000A cjne a,#0,000D   target is the next instruction: not taken
        0x12, 0x00, 0x20,  // 000D lcall 0020
        0x80, 0xFE,        // 0010 sjmp 0010        the breakpoint: not run
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0x22,              // 0020 ret
    };
    const struct Row {
        std::uint16_t addr;
        std::uint64_t executed, jumped;
    } rows[] = {{0x0000, 1, 0}, {0x0002, 3, 2}, {0x0004, 1, 0}, {0x0005, 1, 1}, {0x0007, 0, 0},
                {0x0008, 1, 0}, {0x000A, 1, 0}, {0x000D, 1, 1}, {0x0010, 0, 0}, {0x0020, 1, 1}};

    for (const bool traced : {false, true}) {
        SCOPED_TRACE(traced ? "with a trace hook" : "without a trace hook");
        coverage::Collection collection;
        board::Settings settings;
        settings.coverage = &collection;
        std::uint64_t first = 0, second = 0, loops = 0;
        {
            board::Board board(settings);
            if (traced) board.cpu().set_trace([](void*, const Cpu&) {}, nullptr);
            std::string error;
            ASSERT_TRUE(board.load_firmware_bytes(program, error)) << error;
            first = coverage::image_id({board.controller().ram(), coverage::image_bytes});
            board.cpu().set_breakpoint(0x0010);
            ASSERT_TRUE(board.run_to_breakpoint(board.now() + usb::clocks_per_ms));
            board.cpu().set_breakpoint(0x0010, false);

            // Another image: its counts go elsewhere; changed while it ran, they are dropped.
            std::vector<std::uint8_t> other = program;
            other[0x15] = 0x01;
            ASSERT_TRUE(board.load_firmware_bytes(other, error)) << error;
            second = coverage::image_id({board.controller().ram(), coverage::image_bytes});
            board.run_for_ms(0.1);
            loops = board.cpu().coverage()->executed[0x0010];
            board.hand_over_coverage();
            board.controller().loader_write(0x0015, 0x02);
            board.run_for_ms(0.1);
        }
        ASSERT_NE(first, second);
        const coverage::Profile profile = collection.profile();
        ASSERT_EQ(profile.images().size(), 2u);
        EXPECT_GT(loops, 150u);
        EXPECT_EQ(profile.images().at(second).at(0x0010).executed, loops);

        // Through a file, read twice: the counts doubled.
        const std::string path = ::testing::TempDir() + "counts.cov";
        std::string error;
        ASSERT_TRUE(profile.write(path, error)) << error;
        coverage::Profile merged;
        ASSERT_TRUE(merged.read(path, error)) << error;
        ASSERT_TRUE(merged.read(path, error)) << error;
        const coverage::ImageCounts& counts = merged.images().at(first);
        for (const Row& r : rows) {
            const auto it = counts.find(r.addr);
            const coverage::Count c = it == counts.end() ? coverage::Count{} : it->second;
            EXPECT_EQ(c.executed, 2 * r.executed) << "at " << r.addr;
            EXPECT_EQ(c.jumped, 2 * r.jumped) << "at " << r.addr;
        }
    }

    const struct Bad {
        const char* text;
        const char* error;
    } bad[] = {
        {"", "f:0: empty, not a coverage file"},
        {"coverage\n", "f:1: not a coverage file"},
        {"nebu-coverage 1\n0000 1 0\n", "f:2: counts before the first 'image' line"},
        {"nebu-coverage 1\nimage 00000000000000zz\n", "f:2: needs 'image' and 16 hex digits"},
        {"nebu-coverage 1\nimage 0000000000000001\n0000 1 2\n", "f:3: JUMPED is larger than EXECUTED"},
        {"nebu-coverage 1\nimage 0000000000000001\n10000 1 0\n", "f:3: needs ADDR (4 hex digits)"},
    };
    for (const Bad& b : bad) {
        coverage::Profile p;
        std::string error;
        EXPECT_FALSE(p.parse(b.text, "f", error));
        EXPECT_EQ(error.rfind(b.error, 0), 0u) << error;
        EXPECT_TRUE(p.empty()) << "a bad file adds nothing";
    }
}

}  // namespace
}  // namespace vboard::test
