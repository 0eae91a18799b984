// The board itself: power-on state and pattern, settings, firmware loading
// and its errors, and the fill marks of a loaded image.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

#include "board/board.h"
#include "controller/regs.h"

namespace vboard::test {
namespace {

using namespace controller::reg;

std::string temp_file(const std::string& name, const std::string& contents) {
    const std::string path = ::testing::TempDir() + name;
    std::ofstream(path, std::ios::binary) << contents;
    return path;
}

TEST(Board, PowerOnStateAndDeterministicPattern) {
    board::Settings s7;
    s7.seed = 7;
    board::Settings s8;
    s8.seed = 8;
    board::Board a(s7), b(s7), c(s8);

    EXPECT_TRUE(a.cpu().reset_held()) << "the bare chip holds the 8051";
    EXPECT_TRUE(a.attached()) << "and is on the bus as the default device";
    EXPECT_FALSE(a.controller().renum());
    EXPECT_EQ(a.controller().read(CPUCS) & 0x01, 0x01);

    const std::vector<std::uint8_t> ram_a(a.controller().ram(), a.controller().ram() + 0x2000);
    const std::vector<std::uint8_t> ram_b(b.controller().ram(), b.controller().ram() + 0x2000);
    const std::vector<std::uint8_t> ram_c(c.controller().ram(), c.controller().ram() + 0x2000);
    EXPECT_EQ(ram_a, ram_b);
    EXPECT_NE(ram_a, ram_c);
    EXPECT_NE(std::count(ram_a.begin(), ram_a.end(), ram_a[0]), 0x2000) << "a pattern, not a constant";
    EXPECT_EQ(std::vector<std::uint8_t>(a.cpu().iram(), a.cpu().iram() + 256),
              std::vector<std::uint8_t>(b.cpu().iram(), b.cpu().iram() + 256));
    EXPECT_NE(std::vector<std::uint8_t>(a.cpu().iram(), a.cpu().iram() + 256),
              std::vector<std::uint8_t>(c.cpu().iram(), c.cpu().iram() + 256));
    EXPECT_EQ(a.controller().read(IN0BUF + 3), b.controller().read(IN0BUF + 3));

    a.controller().ram()[0] = static_cast<std::uint8_t>(~ram_a[0]);
    a.power_cycle();
    EXPECT_EQ(a.controller().ram()[0], ram_a[0]) << "a power cycle starts over with the same pattern";
    EXPECT_TRUE(a.diagnostics().empty());
}

TEST(Board, CpucsBit3FollowsTheSetting) {
    board::Settings slow;
    slow.cpucs_slow = true;
    board::Board fast_board, slow_board(slow);
    EXPECT_EQ(fast_board.controller().read(CPUCS) & bmCPUCS_SLOW, 0);
    EXPECT_EQ(slow_board.controller().read(CPUCS) & bmCPUCS_SLOW, bmCPUCS_SLOW);
}

TEST(Board, FirmwareOutsideTheRamIsRefusedAndLeavesTheBoardAlone) {
    board::Board board;
    const std::uint8_t before = board.controller().ram()[0];
    std::string error;
    // One data record at 0x1FFF..0x2000.
    const std::string hex = temp_file("outside.ihx", ":021FFF001122AD\n:00000001FF\n");
    EXPECT_FALSE(board.load_firmware(hex, error));
    EXPECT_NE(error.find("0x2000"), std::string::npos) << error;
    EXPECT_TRUE(board.cpu().reset_held());
    EXPECT_EQ(board.controller().ram()[0], before);

    EXPECT_FALSE(board.load_firmware(::testing::TempDir() + "no-such-image.bin", error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(board.load_firmware_bytes(std::vector<std::uint8_t>(0x2001, 0), error));
    EXPECT_NE(error.find("8,192"), std::string::npos) << error;
    EXPECT_TRUE(board.cpu().reset_held());

    board::Settings none;
    none.card.reset();
    board::Board empty(none);
    EXPECT_FALSE(empty.load_card_image(hex, error));
    EXPECT_NE(error.find("no card"), std::string::npos) << error;
}

// Raw images: an LJMP at 0x0000 into a run of the fill byte, or past the image.
struct FillCase {
    const char* name;
    std::vector<std::uint8_t> image;
    bool reported;
};

class FillMarks : public ::testing::TestWithParam<FillCase> {};

TEST_P(FillMarks, ExecutingFillIsReported) {
    board::Board board;
    std::string error;
    ASSERT_TRUE(board.load_firmware_bytes(GetParam().image, error)) << error;
    EXPECT_FALSE(board.cpu().reset_held()) << "the loader released the 8051";
    board.run_for_ms(0.01);
    std::ostringstream text;
    board.diagnostics().print(text);
    EXPECT_EQ(board.diagnostics().count(FindingKind::fill_execution) > 0, GetParam().reported) << text.str();
}

std::vector<std::uint8_t> ljmp_into_run(std::uint8_t target, std::size_t run) {
    std::vector<std::uint8_t> image(3 + run + 2, 0xAA);
    image[0] = 0x02;  // ljmp target
    image[1] = 0x00;
    image[2] = target;
    image[3 + run] = 0x80;  // sjmp $
    image[4 + run] = 0xFE;
    return image;
}

INSTANTIATE_TEST_SUITE_P(
    Board, FillMarks,
    ::testing::Values(FillCase{"InsideARunOfEight", ljmp_into_run(0x05, 8), true},
                      FillCase{"ShortRunIsCode", ljmp_into_run(0x03, 6), false},  // mov r2,0xAA three times
                      FillCase{"PastTheImage", {0x02, 0x10, 0x00}, true},
                      FillCase{"AboveTheRam", {0x02, 0x80, 0x00}, true}),
    [](const ::testing::TestParamInfo<FillCase>& info) { return std::string(info.param.name); });

// The first two bytes of a run may still be code (here MOV R2,0xAA): the
// first report is for the instruction after them.
TEST(Board, FillStartsTwoBytesIntoARun) {
    board::Board board;
    std::string error;
    ASSERT_TRUE(board.load_firmware_bytes(ljmp_into_run(0x03, 10), error)) << error;
    board.run_for_ms(0.01);
    const auto& all = board.diagnostics().findings();
    const auto first = std::find_if(all.begin(), all.end(),
                                    [](const Finding& f) { return f.kind == FindingKind::fill_execution; });
    ASSERT_NE(first, all.end());
    EXPECT_EQ(first->pc, 0x0005);
}

// A snapshot put back, into the same board or another built alike, runs on
// exactly as the board did from that instant: the firmware leaving the bus
// and coming back with its own code, cycle for cycle.
TEST(Board, RestoredSnapshotRunsOnAsTheBoardDid) {
    struct Trace {
        std::uint64_t cycles, instructions;
        std::uint16_t pc;
        bool attached;
        std::vector<std::uint8_t> ram, iram;
        bool operator==(const Trace&) const = default;
    };
    const auto trace = [](board::Board& b) {
        return Trace{b.cpu().cycles(), b.cpu().instructions(), b.cpu().pc(), b.attached(),
                     std::vector<std::uint8_t>(b.controller().ram(), b.controller().ram() + 0x2000),
                     std::vector<std::uint8_t>(b.cpu().iram(), b.cpu().iram() + 256)};
    };
    board::Board a, other;
    std::string error;
    ASSERT_TRUE(a.load_firmware(FIRMWARE_BIN, error)) << error;
    a.run_for_ms(20);
    const board::Board::Snapshot snap = a.snapshot();
    std::vector<Trace> first;
    for (int i = 0; i < 4; ++i) a.run_for_ms(500), first.push_back(trace(a));
    ASSERT_TRUE(first.back().attached) << "the firmware came back on the bus";
    for (board::Board* b : {&a, &other}) {
        b->restore(snap);
        for (int i = 0; i < 4; ++i) {
            b->run_for_ms(500);
            EXPECT_TRUE(trace(*b) == first[i]) << (b == &a ? "same board" : "other board") << ", step " << i;
        }
        EXPECT_TRUE(b->diagnostics().empty());
    }
}

// The card is pulled at the chosen instant, halfway through an erase of a
// programmed page given through the wires, and comes back half erased.
TEST(Board, TheCardIsPulledAtTheChosenInstantAndKeptHalfErased) {
    board::Board b;
    card::Socket& s = b.socket();
    const auto cycles = [&s](bool cle, bool ale, std::vector<uint8_t> bytes) {
        s.set_cle(cle), s.set_ale(ale);
        for (uint8_t byte : bytes) s.write_strobe(byte);
        s.set_cle(false), s.set_ale(false);
    };
    s.set_ce_n(false);
    cycles(true, false, {0x80}), cycles(false, true, {0, 0, 0}), cycles(false, false, std::vector<uint8_t>(528, 0));
    cycles(true, false, {0x10});
    b.run_for_ms(1);
    cycles(true, false, {0x60}), cycles(false, true, {0, 0}), cycles(true, false, {0xD0});  // 2 ms busy
    const usb::clock_t pull = b.now() + 24 * 1000;  // 1 ms on
    b.pull_card_at(pull);
    b.run_until(pull - 24);
    EXPECT_TRUE(s.card_present() && !b.take_pulled_card()) << "not before the instant";
    b.run_until(pull + 24 * 10'000);
    std::optional<card::Card> card = b.take_pulled_card();
    ASSERT_TRUE(card && !s.card_present());
    const std::vector<uint8_t> page = card->page(0);
    EXPECT_LT(std::count(page.begin(), page.end(), 0xFF) + std::count(page.begin(), page.end(), 0x00), 528)
        << "a mix of erased and programmed bits";
}

}  // namespace
}  // namespace vboard::test
