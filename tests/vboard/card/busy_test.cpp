// The card's busy times on a clock: after a page load, a program and an
// erase the card shows busy in its status, drives no page data and takes no
// command but status and reset until the time is up.
#include <gtest/gtest.h>

#include "card_wires.h"

namespace vboard::card::test {
namespace {

struct ClockedWires : Wires {
    explicit ClockedWires(Card card) : Wires(std::move(card)) {
        socket.set_clock([](const void* ctx) { return *static_cast<const uint64_t*>(ctx); }, &now_ns);
    }
    uint64_t now_ns = 1'000'000;
};

struct BusyCase {
    const char* name;
    void (*start)(ClockedWires&);  // leaves the card busy from now_ns
    uint64_t busy_ns;
};

void page_load(ClockedWires& w) {
    w.cmd(0x00);
    w.addr({0x00, 0x05, 0x00});
}
void program(ClockedWires& w) {
    w.cmd(0x80);
    w.addr({0x00, 0x09, 0x00});
    w.data({0x12, 0x34});
    w.cmd(0x10);
}
void erase(ClockedWires& w) {
    w.cmd(0x60);
    w.addr({0x20, 0x00});
    w.cmd(0xD0);
}

const BusyCase busy_cases[] = {
    {"PageLoad", page_load, Card::kPageLoadNs},
    {"Program", program, Card::kProgramNs},
    {"Erase", erase, Card::kEraseNs},
};

TEST(CardBusy, StatusShowsBusyUntilTheTimeIsUpAndOtherCommandsWait) {
    const Geometry g = geometry_for_device(0x75);
    for (const BusyCase& c : busy_cases) {
        SCOPED_TRACE(c.name);
        ClockedWires w(loaded_card(0x75, pattern_image(g, 64)));
        c.start(w);
        const uint64_t start = w.now_ns;
        EXPECT_EQ(w.status(), 0x80) << "busy: ready bit clear";
        w.cmd(0x90);  // not taken while busy: the status mode stays
        EXPECT_EQ(w.read(1)[0], 0x80);
        w.now_ns = start + c.busy_ns - 1;
        EXPECT_EQ(w.status(), 0x80);
        w.now_ns = start + c.busy_ns;
        EXPECT_EQ(w.status(), 0xC0);
    }
}

TEST(CardBusy, PageDataWaitsForTheLoadAndSequentialReadsLoadAgain) {
    const Geometry g = geometry_for_device(0x75);
    ClockedWires w(loaded_card(0x75, pattern_image(g, 64)));
    page_load(w);
    EXPECT_EQ(w.read(2), (std::vector<int>{-1, -1})) << "too early: nothing driven, nothing skipped";
    w.now_ns += Card::kPageLoadNs;
    EXPECT_EQ(w.read(3), expected(5, 0, 3));
    w.read(g.page_bytes() - 3);  // to the end of page 5: page 6 starts loading
    EXPECT_EQ(w.read(1)[0], -1);
    w.now_ns += Card::kPageLoadNs;
    EXPECT_EQ(w.read(2), expected(6, 0, 2));
}

TEST(CardBusy, ResetEndsTheBusyTime) {
    const Geometry g = geometry_for_device(0x75);
    ClockedWires w(loaded_card(0x75, pattern_image(g, 64)));
    erase(w);
    w.cmd(0xFF);
    EXPECT_EQ(w.status(), 0xC0);
}

}  // namespace
}  // namespace vboard::card::test
