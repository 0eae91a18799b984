// Programs and erases that fail, and cards pulled or reset while busy: the
// status the card reports and what the page or block then holds (new, or a
// seeded mix of old and new bits), and that a pulled card keeps it.
#include <gtest/gtest.h>

#include "card_wires.h"

namespace vboard::card::test {
namespace {

enum class Cut { none, pull, reset };

struct Row {
    const char* name;
    bool erase;          // block 1 (pages 32-63) of the 16 MB card; else a program of page 33
    const char* faults;  // --card-faults text ("" none)
    Cut cut;
    uint64_t cut_after_ns;
    int status;          // after the busy time (or the cut)
    bool mix;            // else the data sheet's result
};

const Row rows[] = {
    {"ProgramPasses", false, "", Cut::none, 0, 0xC0, false},
    {"ProgramOfAListedBlockFails", false, "program:1", Cut::none, 0, 0xC1, true},
    {"OtherBlocksAndErasesPass", false, "program:2,erase:1", Cut::none, 0, 0xC0, false},
    {"RateOneFailsEveryProgram", false, "rate:100%", Cut::none, 0, 0xC1, true},
    {"EraseOfAListedBlockFails", true, "block:0-1", Cut::none, 0, 0xC1, true},
    {"ErasePasses", true, "program:1,rate:0", Cut::none, 0, 0xC0, false},
    {"PullHalfwayThroughAProgram", false, "", Cut::pull, Card::kProgramNs / 2, 0xC0, true},
    {"PullAfterTheProgram", false, "", Cut::pull, Card::kProgramNs, 0xC0, false},
    {"PullHalfwayThroughAnErase", true, "", Cut::pull, Card::kEraseNs / 2, 0xC0, true},
    {"ResetHalfwayThroughAnErase", true, "", Cut::reset, Card::kEraseNs / 2, 0xC0, true},
};

using Pages = std::vector<std::vector<uint8_t>>;

// Runs the row with `seed`: the pages before, as the data sheet says they end, and as held.
int run(const Row& row, uint64_t seed, Pages& before, Pages& after, Pages& held) {
    const Geometry g = geometry_for_device(0x73);
    std::string error;
    CardFaults faults = *row.faults ? *parse_card_faults(row.faults, error) : CardFaults{};
    faults.seed = seed;
    Card card = loaded_card(0x73, pattern_image(g, 64));
    card.set_faults(faults);
    Wires w(std::move(card));
    uint64_t now_ns = 1'000'000;
    w.socket.set_clock([](const void* ctx) { return *static_cast<const uint64_t*>(ctx); }, &now_ns);
    std::vector<uint8_t> bytes(g.page_bytes());
    for (uint32_t c = 0; c < g.page_bytes(); ++c) bytes[c] = uint8_t(0x5A ^ c);
    const uint32_t first = row.erase ? 32 : 33, count = row.erase ? 32 : 1;
    before.clear(), after.clear(), held.clear();
    for (uint32_t p = first; p < first + count; ++p) {
        before.push_back(w.card().page(p));
        after.push_back(before.back());
        for (uint32_t c = 0; c < g.page_bytes(); ++c) after.back()[c] = row.erase ? 0xFF : before.back()[c] & bytes[c];
    }
    row.erase ? (w.cmd(0x60), w.addr({32, 0}), w.cmd(0xD0)) : (w.cmd(0x80), w.addr({0, 33, 0}), w.data(bytes), w.cmd(0x10));
    now_ns += row.cut_after_ns;
    if (row.cut == Cut::pull) {
        std::optional<Card> pulled = w.socket.remove();
        EXPECT_FALSE(w.socket.card_present());
        w.socket.insert(std::move(*pulled));  // back in: the card kept what the pull left
    } else if (row.cut == Cut::reset) {
        w.cmd(0xFF);
    }
    now_ns += Card::kEraseNs;
    for (uint32_t p = first; p < first + count; ++p) held.push_back(w.card().page(p));
    return w.status();
}

TEST(CardFaults, FailedAndInterruptedOperationsLeaveNewDataOrASeededMix) {
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Pages before, after, held, again;
        EXPECT_EQ(run(row, 7, before, after, held), row.status);
        if (!row.mix) {
            EXPECT_EQ(held, after);
            continue;
        }
        // Each bit old or new; some of both; the same seed gives the same mix, another seed another.
        size_t old_bits = 0, new_bits = 0;
        for (size_t p = 0; p < held.size(); ++p)
            for (size_t i = 0; i < held[p].size(); ++i) {
                const uint8_t differ = before[p][i] ^ after[p][i];
                EXPECT_EQ((held[p][i] ^ before[p][i]) & ~differ, 0) << "page " << p << " byte " << i;
                old_bits += size_t(std::popcount(unsigned((held[p][i] ^ after[p][i]) & differ)));
                new_bits += size_t(std::popcount(unsigned((held[p][i] ^ before[p][i]) & differ)));
            }
        EXPECT_GT(old_bits, 0u);
        EXPECT_GT(new_bits, 0u);
        run(row, 7, before, after, again);
        EXPECT_EQ(again, held);
        run(row, 8, before, after, again);
        EXPECT_NE(again, held);
    }
}

TEST(CardFaults, SpecsThatParse) {
    std::string error;
    EXPECT_EQ(*parse_card_faults("program:3-5,erase:9,block:1,rate:0.25%,seed:42", error),
              (CardFaults{{3, 4, 5, 1}, {9, 1}, 2500, 42}));
    EXPECT_EQ(parse_card_faults("rate:1", error)->rate_ppm, 1'000'000u);
    EXPECT_EQ(parse_card_faults("rate:0.000001", error)->rate_ppm, 1u);
}

}  // namespace
}  // namespace vboard::card::test
