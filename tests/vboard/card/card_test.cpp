// The card's state machine through the socket's wires: ID reads, status,
// reset, page reads, program and erase, chip enable, the empty socket.
#include <gtest/gtest.h>

#include "card_wires.h"

namespace vboard::card {
namespace {

using test::expected;
using test::loaded_card;
using test::pattern_image;
using test::Wires;

const std::vector<int> kNothing1 = {-1};

// ---- identification --------------------------------------------------------

TEST(CardId, ReadIdGivesMakerDeviceThirdByteThenRepeats) {
    Wires w;
    w.cmd(0x90);
    EXPECT_EQ(w.read(1), kNothing1) << "no ID before the address cycle";
    w.addr({0x00});
    EXPECT_EQ(w.read(7), (std::vector<int>{0xEC, 0x75, 0xA5, 0xEC, 0x75, 0xA5, 0xEC}));

    w.cmd(0x90);
    w.addr({0x00});
    EXPECT_EQ(w.read(2), (std::vector<int>{0xEC, 0x75})) << "a new 0x90 starts over";

    w.cmd(0x90);
    w.addr({0x01});
    EXPECT_EQ(w.read(1), kNothing1) << "only address 0x00 is defined";
}

TEST(CardId, SecondIdReadGivesExtOnlyOnACardThatHasIt) {
    Wires with_ext(CardIdentity{0x98, 0x73, 0xC0, 0x21});
    with_ext.cmd(0x91);
    with_ext.addr({0x00});
    EXPECT_EQ(with_ext.read(2), (std::vector<int>{0x21, 0x21}));
    with_ext.cmd(0x90);
    with_ext.addr({0x00});
    EXPECT_EQ(with_ext.read(3), (std::vector<int>{0x98, 0x73, 0xC0}));

    Wires without;  // ec,75,a5: 0x91 is unknown and must not leave the ID stream running
    without.cmd(0x90);
    without.addr({0x00});
    without.read(1);
    without.cmd(0x91);
    without.addr({0x00});
    EXPECT_EQ(without.read(2), (std::vector<int>{-1, -1}));
}

// ---- status and reset ------------------------------------------------------

TEST(CardStatus, ReadyAndNotProtectedOnEveryReadAndResumesAPageRead) {
    Wires w(loaded_card(0x73, pattern_image(geometry_for_device(0x73), 2)));
    EXPECT_EQ(w.status(), 0xC0);
    EXPECT_EQ(w.read(2), (std::vector<int>{0xC0, 0xC0})) << "status repeats until another command";

    w.cmd(0x00);
    w.addr({0x10, 0x01, 0x00});
    EXPECT_EQ(w.read(2), expected(1, 0x10, 2));
    EXPECT_EQ(w.status(), 0xC0);
    w.cmd(0x00);  // back to read mode without an address: output goes on where it stopped
    EXPECT_EQ(w.read(2), expected(1, 0x12, 2));
}

TEST(CardReset, EndsTheRunningOperationAndClearsAFailure) {
    Wires w(CardIdentity{0xEC, 0x12, 0xA5, std::nullopt});  // unknown device: program fails
    w.cmd(0x80);
    w.addr({0x00, 0x00, 0x00});
    w.cmd(0x10);
    EXPECT_EQ(w.status(), 0xC1);
    w.cmd(0xFF);
    EXPECT_EQ(w.read(1), kNothing1) << "after reset nothing is driven until an address";
    EXPECT_EQ(w.status(), 0xC0);

    w.cmd(0x90);
    w.addr({0x00});
    w.cmd(0xFF);
    EXPECT_EQ(w.read(1), kNothing1) << "reset leaves Read ID";
}

// ---- page reads --------------------------------------------------------------

TEST(CardPageRead, ThreeAreasFromTheImage) {
    const Geometry g = geometry_for_device(0x75);
    Wires w(loaded_card(0x75, pattern_image(g, 3, 100)));
    struct Case {
        uint8_t command, column, page;
        uint32_t first_column;
    };
    const Case cases[] = {
        {0x00, 0x00, 0, 0},   {0x00, 0x10, 1, 0x10},  {0x00, 0xFF, 2, 0xFF},
        {0x01, 0x00, 0, 256}, {0x01, 0x05, 2, 261},   {0x50, 0x00, 1, 512},
        {0x50, 0x03, 2, 515}, {0x50, 0xF3, 2, 515},  // the upper column bits do not count in the spare area
    };
    for (const Case& c : cases) {
        w.cmd(c.command);
        w.addr({c.column, c.page, 0x00});
        EXPECT_EQ(w.read(4), expected(c.page, c.first_column, 4))
            << "command " << int(c.command) << " column " << int(c.column) << " page " << int(c.page);
    }

    w.cmd(0x00);
    w.addr({0x00, 3, 0x00});
    EXPECT_EQ(w.read(3), expected(3, 0, 3)) << "the short image's partial last page";
    w.cmd(0x00);
    w.addr({98, 3, 0x00});
    EXPECT_EQ(w.read(3), (std::vector<int>{test::pattern(3, 98), test::pattern(3, 99), 0xFF}));
    w.cmd(0x50);
    w.addr({0x00, 0x34, 0x12});
    EXPECT_EQ(w.read(2), (std::vector<int>{0xFF, 0xFF})) << "pages past the image are erased";
}

TEST(CardPageRead, AddressCyclesFollowTheCapacity) {
    // 32 MB: column + 2 page bytes.
    Wires small(loaded_card(0x75, pattern_image(geometry_for_device(0x75), 2)));
    small.cmd(0x00);
    small.addr({0x00, 0x01});
    EXPECT_EQ(small.read(1), kNothing1) << "address not complete";
    small.addr({0x00});
    EXPECT_EQ(small.read(1), expected(1, 0, 1));
    small.addr({0x07, 0x01, 0x00});
    EXPECT_EQ(small.read(1), expected(1, 7, 1)) << "a new address in read mode starts a new read";

    // 64 MB: column + 3 page bytes; the third one selects pages above 65535.
    Wires big(CardIdentity{0xEC, 0x76, 0xA5, std::nullopt});
    big.cmd(0x80);
    big.addr({0x00, 0x02, 0x00, 0x01});  // page 0x10002
    big.data({0x12, 0x34});
    big.cmd(0x10);
    big.cmd(0x00);
    big.addr({0x00, 0x02, 0x00});
    EXPECT_EQ(big.read(1), kNothing1) << "64 MB needs a fourth address byte";
    big.addr({0x01});
    EXPECT_EQ(big.read(3), (std::vector<int>{0x12, 0x34, 0xFF}));
    big.cmd(0x00);
    big.addr({0x00, 0x02, 0x00, 0xFD});  // bits above the card's size are ignored
    EXPECT_EQ(big.read(1), (std::vector<int>{0x12}));
    big.cmd(0x00);
    big.addr({0x00, 0x02, 0x00, 0x00});
    EXPECT_EQ(big.read(1), (std::vector<int>{0xFF})) << "page 2 is not page 0x10002";
}

TEST(CardPageRead, SequentialReadGoesOnIntoTheNextPage) {
    const Geometry g = geometry_for_device(0x73);
    Wires w(loaded_card(0x73, pattern_image(g, 3)));

    w.cmd(0x01);
    w.addr({250, 0x00, 0x00});
    std::vector<int> want = expected(0, 506, 22);  // rest of the data, the spare
    const auto next = expected(1, 0, 4);           // then page 1 from column 0
    want.insert(want.end(), next.begin(), next.end());
    EXPECT_EQ(w.read(26), want);

    // 0x01 holds for one operation: an address alone afterwards reads the first half.
    w.addr({0x00, 0x02, 0x00});
    EXPECT_EQ(w.read(1), expected(2, 0, 1));

    w.cmd(0x50);
    w.addr({14, 0x01, 0x00});
    want = expected(1, 526, 2);  // after 0x50 only the spare areas follow
    const auto spare2 = expected(2, 512, 16);
    want.insert(want.end(), spare2.begin(), spare2.end());
    EXPECT_EQ(w.read(18), want);

    // 0x50 holds until another pointer command.
    w.addr({0x01, 0x00, 0x00});
    EXPECT_EQ(w.read(1), expected(0, 513, 1));
}

TEST(CardPageRead, TheLastPageEndsTheRead) {
    Wires w(CardIdentity{0xEC, 0x73, 0xA5, std::nullopt});
    w.cmd(0x50);
    w.addr({12, 0xFF, 0x7F});  // page 32767, the last
    EXPECT_EQ(w.read(5), (std::vector<int>{0xFF, 0xFF, 0xFF, 0xFF, -1}));
}

TEST(CardPageRead, CardsWith256BytePages) {
    const Geometry g = geometry_for_device(0xEA);  // 2 MB
    ASSERT_EQ(g.page_bytes(), 264u);
    Wires w(loaded_card(0xEA, pattern_image(g, 3)));

    w.cmd(0x00);
    w.addr({253, 0x00, 0x00});
    std::vector<int> want = expected(0, 253, 11);
    const auto next = expected(1, 0, 2);
    want.insert(want.end(), next.begin(), next.end());
    EXPECT_EQ(w.read(13), want);

    w.cmd(0x50);
    w.addr({0x0F, 0x01, 0x00});  // 8 spare bytes: only A2..A0 count
    EXPECT_EQ(w.read(2), (std::vector<int>{test::pattern(1, 263), test::pattern(2, 256)}));

    w.cmd(0x01);  // no second half on these cards
    w.addr({0x00, 0x00, 0x00});
    EXPECT_EQ(w.read(1), kNothing1);
}

TEST(CardPageRead, UnknownDeviceCodeAnswersIdButHasNoArray) {
    Wires w(CardIdentity{0x98, 0x12, 0x34, std::nullopt});
    w.cmd(0x90);
    w.addr({0x00});
    EXPECT_EQ(w.read(3), (std::vector<int>{0x98, 0x12, 0x34}));
    w.cmd(0x00);
    w.addr({0x00, 0x00, 0x00});
    EXPECT_EQ(w.read(1), kNothing1);
    w.cmd(0x60);
    w.addr({0x00, 0x00});
    w.cmd(0xD0);
    EXPECT_EQ(w.status(), 0xC1);
}

// ---- program and erase ------------------------------------------------------

TEST(CardProgram, ProgramOnlyClearsBitsAndEraseSetsTheWholeBlock) {
    Wires w(CardIdentity{0xEC, 0x73, 0xA5, std::nullopt});
    const auto program = [&](uint8_t pointer, uint8_t column, uint16_t page, std::vector<uint8_t> bytes) {
        w.cmd(pointer);
        w.cmd(0x80);
        w.addr({column, uint8_t(page), uint8_t(page >> 8)});
        w.data(bytes);
        w.cmd(0x10);
        return w.status();
    };
    EXPECT_EQ(program(0x00, 4, 33, {0xF0, 0x0F, 0x55}), 0xC0);
    EXPECT_EQ(program(0x00, 5, 33, {0xFF, 0xF0}), 0xC0);  // 0x0F & 0xFF, 0x55 & 0xF0
    EXPECT_EQ(program(0x50, 2, 33, {0x00}), 0xC0);        // the spare area through the 0x50 pointer
    EXPECT_EQ(program(0x01, 0, 63, {0xAB}), 0xC0);        // page 63: last of block 1

    std::vector<uint8_t> page33(528, 0xFF);
    page33[4] = 0xF0;
    page33[5] = 0x0F;
    page33[6] = 0x50;
    page33[514] = 0x00;
    EXPECT_EQ(w.card().page(33), page33);
    EXPECT_EQ(w.card().page(63)[256], 0xAB);

    const auto read_back = [&](uint16_t page) {
        w.cmd(0x00);
        w.addr({0x04, uint8_t(page), uint8_t(page >> 8)});
        return w.read(3);
    };
    EXPECT_EQ(read_back(33), (std::vector<int>{0xF0, 0x0F, 0x50}));

    w.cmd(0x60);
    w.addr({0x2A, 0x00});  // page 42: block 1 (pages 32..63)
    EXPECT_EQ(read_back(33), (std::vector<int>{0xF0, 0x0F, 0x50})) << "no erase before 0xD0";
    w.cmd(0x60);
    w.addr({0x2A, 0x00});
    w.cmd(0xD0);
    EXPECT_EQ(w.status(), 0xC0);
    EXPECT_EQ(read_back(33), (std::vector<int>{0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(w.card().page(63), std::vector<uint8_t>(528, 0xFF));
    EXPECT_EQ(w.card().stored_pages(), 0u);
}

TEST(CardProgram, ConfirmWithoutTheFullSequenceDoesNothing) {
    Wires w(loaded_card(0x73, pattern_image(geometry_for_device(0x73), 1)));
    w.cmd(0x80);
    w.addr({0x00, 0x00});  // one page byte short
    w.data({0x00});
    w.cmd(0x10);
    w.cmd(0x60);
    w.addr({0x00});
    w.cmd(0xD0);
    w.cmd(0xD0);
    w.cmd(0x10);
    EXPECT_EQ(w.card().page(0), pattern_image(geometry_for_device(0x73), 1));
    EXPECT_EQ(w.status(), 0xC0);
}

// ---- the socket's wires ------------------------------------------------------

TEST(CardSocket, ChipEnableHighIgnoresStrobesAndKeepsTheCardsPlace) {
    Wires w(loaded_card(0x73, pattern_image(geometry_for_device(0x73), 1)));
    w.cmd(0x00);
    w.addr({0x08, 0x00, 0x00});
    EXPECT_EQ(w.read(2), expected(0, 8, 2));

    w.socket.set_ce_n(true);
    EXPECT_EQ(w.read(3), (std::vector<int>{-1, -1, -1})) << "deselected: the bus is not driven";
    w.cmd(0x90);
    w.addr({0x00});
    w.socket.set_ce_n(false);
    EXPECT_EQ(w.read(2), expected(0, 10, 2)) << "the command and reads while deselected did not reach the card";
}

TEST(CardSocket, EmptySocketIsNotPresentAndNeverDrives) {
    Socket empty;
    EXPECT_FALSE(empty.card_present());
    empty.set_ce_n(false);
    empty.set_cle(true);
    empty.write_strobe(0x90);
    empty.set_cle(false);
    EXPECT_FALSE(empty.read_strobe());

    Wires w;
    EXPECT_TRUE(w.socket.card_present());
    w.socket.remove();
    EXPECT_FALSE(w.socket.card_present());
    w.cmd(0x70);
    EXPECT_EQ(w.read(1), kNothing1);
}

TEST(CardSocket, OpenLatchDuringAReadStrobeDrivesNothing) {
    Wires w;
    w.cmd(0x90);
    w.addr({0x00});
    w.socket.set_ale(true);
    EXPECT_EQ(w.read(1), kNothing1);
    w.socket.set_ale(false);
    w.socket.set_cle(true);
    EXPECT_EQ(w.read(1), kNothing1);
    w.socket.set_ale(true);  // both latches: a write strobe is no bus cycle either
    w.socket.write_strobe(0xFF);
    w.socket.set_ale(false);
    w.socket.set_cle(false);
    EXPECT_EQ(w.read(1), (std::vector<int>{0xEC})) << "the ID stream kept its place";
}

TEST(CardSocket, RecordsTheCyclesTheCardTookPartIn) {
    Wires w(CardIdentity{0x98, 0x73, 0xC0, 0x21});
    w.cmd(0x90);
    w.socket.record(true);
    w.addr({0x00});
    w.read(2);
    w.socket.set_ce_n(true);
    w.read(1);  // deselected: not seen
    w.socket.set_ce_n(false);
    w.cmd(0x91);
    w.data({0x5A});
    w.read(1);
    std::vector<std::string> seen;
    for (const BusCycle& c : w.socket.cycles()) seen.push_back(to_string(c));
    EXPECT_EQ(seen, (std::vector<std::string>{"addr 00", "out 98", "out 73", "cmd 91", "in 5a", "out --"}));
    w.socket.clear_cycles();
    EXPECT_TRUE(w.socket.cycles().empty());
}

}  // namespace
}  // namespace vboard::card
