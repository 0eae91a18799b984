// Programs and erases that fail, and cards pulled or reset while busy: the
// status the card reports and what the page or block then holds (new, or a
// seeded mix of old and new bits), and that a pulled card keeps it.
#include <gtest/gtest.h>

#include "card_wires.h"

namespace vboard::card::test {
namespace {

struct Clocked : Wires {
    explicit Clocked(Card card) : Wires(std::move(card)) {
        socket.set_clock([](const void* ctx) { return *static_cast<const uint64_t*>(ctx); }, &now_ns);
    }
    uint64_t now_ns = 1'000'000;
};

enum class Holds { new_bits, mix };
enum class Cut { none, pull, reset };

struct Row {
    const char* name;
    bool erase;           // else program page 33 (block 1) of the 16 MB card
    const char* faults;   // --card-faults text
    Cut cut;
    uint64_t cut_after_ns;
    int status;           // after the busy time (or the cut)
    Holds holds;
};

const Row rows[] = {
    {"ProgramPasses", false, "seed:1", Cut::none, 0, 0xC0, Holds::new_bits},
    {"ProgramOfAListedBlockFails", false, "program:1", Cut::none, 0, 0xC1, Holds::mix},
    {"OtherBlocksAndErasesPass", false, "program:2,erase:1", Cut::none, 0, 0xC0, Holds::new_bits},
    {"RateOneFailsEveryProgram", false, "rate:100%", Cut::none, 0, 0xC1, Holds::mix},
    {"EraseOfAListedBlockFails", true, "block:0-1", Cut::none, 0, 0xC1, Holds::mix},
    {"ErasePasses", true, "program:1,rate:0", Cut::none, 0, 0xC0, Holds::new_bits},
    {"PullHalfwayThroughAProgram", false, "", Cut::pull, Card::kProgramNs / 2, 0xC0, Holds::mix},
    {"PullAfterTheProgram", false, "", Cut::pull, Card::kProgramNs, 0xC0, Holds::new_bits},
    {"PullHalfwayThroughAnErase", true, "", Cut::pull, Card::kEraseNs / 2, 0xC0, Holds::mix},
    {"ResetHalfwayThroughAnErase", true, "", Cut::reset, Card::kEraseNs / 2, 0xC0, Holds::mix},
};

// Page 33 or block 1 (pages 32-63) before and after the operation as the
// data sheet describes it; what the card holds after the row's events.
struct Outcome {
    std::vector<std::vector<uint8_t>> before, after, held;
    int status;
};

Outcome run(const Row& row, uint64_t seed) {
    const Geometry g = geometry_for_device(0x73);
    std::string error;
    std::optional<CardFaults> faults = parse_card_faults(row.faults, error);
    if (!faults) faults = CardFaults{};  // "" is no item: the row wants none
    faults->seed = seed;
    Card card = loaded_card(0x73, pattern_image(g, 64));
    card.set_faults(*faults);
    Clocked w(std::move(card));
    const uint32_t first = row.erase ? 32 : 33, count = row.erase ? 32 : 1;
    Outcome o;
    std::vector<uint8_t> bytes(g.page_bytes());
    for (uint32_t c = 0; c < g.page_bytes(); ++c) bytes[c] = uint8_t(0x5A ^ c);
    for (uint32_t p = first; p < first + count; ++p) {
        o.before.push_back(w.card().page(p));
        o.after.push_back(o.before.back());
        for (uint32_t c = 0; c < g.page_bytes(); ++c) o.after.back()[c] = row.erase ? 0xFF : o.before.back()[c] & bytes[c];
    }
    if (row.erase) {
        w.cmd(0x60);
        w.addr({32, 0});
        w.cmd(0xD0);
    } else {
        w.cmd(0x80);
        w.addr({0, 33, 0});
        w.data(bytes);
        w.cmd(0x10);
    }
    w.now_ns += row.cut_after_ns;
    if (row.cut == Cut::pull) {
        std::optional<Card> pulled = w.socket.remove();
        EXPECT_FALSE(w.socket.card_present());
        w.socket.insert(std::move(*pulled));  // back in: the card kept what the pull left
    } else if (row.cut == Cut::reset) {
        w.cmd(0xFF);
    } else {
        w.now_ns += row.erase ? Card::kEraseNs : Card::kProgramNs;
    }
    o.status = w.status();
    for (uint32_t p = first; p < first + count; ++p) o.held.push_back(w.card().page(p));
    return o;
}

TEST(CardFaults, FailedAndInterruptedOperationsLeaveNewDataOrASeededMix) {
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Outcome o = run(row, 7);
        EXPECT_EQ(o.status, row.status);
        if (row.holds == Holds::new_bits) {
            EXPECT_EQ(o.held, o.after);
            continue;
        }
        // Each bit old or new; some of both; the same seed gives the same mix.
        size_t old_bits = 0, new_bits = 0;
        for (size_t p = 0; p < o.held.size(); ++p)
            for (size_t i = 0; i < o.held[p].size(); ++i) {
                const uint8_t differ = o.before[p][i] ^ o.after[p][i];
                EXPECT_EQ((o.held[p][i] ^ o.before[p][i]) & ~differ, 0) << "page " << p << " byte " << i;
                old_bits += size_t(std::popcount(unsigned((o.held[p][i] ^ o.after[p][i]) & differ)));
                new_bits += size_t(std::popcount(unsigned((o.held[p][i] ^ o.before[p][i]) & differ)));
            }
        EXPECT_GT(old_bits, 0u);
        EXPECT_GT(new_bits, 0u);
        EXPECT_EQ(run(row, 7).held, o.held);
        EXPECT_NE(run(row, 8).held, o.held);
    }
}

TEST(CardFaults, SpecsThatParse) {
    std::string error;
    const std::optional<CardFaults> f = parse_card_faults("program:3-5,erase:9,block:1,rate:0.25%,seed:42", error);
    ASSERT_TRUE(f) << error;
    EXPECT_EQ(*f, (CardFaults{{3, 4, 5, 1}, {9, 1}, 2500, 42}));
    EXPECT_EQ(parse_card_faults("rate:1", error)->rate_ppm, 1'000'000u);
    EXPECT_EQ(parse_card_faults("rate:0.000001", error)->rate_ppm, 1u);
}

}  // namespace
}  // namespace vboard::card::test
