// The bounded random host campaign: rule-keeping runs must match the models
// exactly, rule-breaking runs must leave no firmware finding and a board
// that still reads the card. A failing run is shrunk and printed as a
// `vboard script` file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "campaign.h"
#include "nebu.h"

namespace {

using campaign::RunSpec;

// Rule-breaking runs cost far more: their transfers often end only at the
// host's 5 s timeout, which the board runs through cycle by cycle.
struct Size {
    int runs;
    size_t commands;
};
#ifdef NEBU_CAMPAIGN_SMALL
constexpr Size keeping_size{8, 60}, breaking_size{3, 40}, old_firmware_size{3, 100};
#else
constexpr Size keeping_size{100, 200}, breaking_size{8, 100}, old_firmware_size{6, 100};
#endif

std::optional<vboard::card::CardIdentity> card_for(uint64_t seed) {
    switch (seed % 4) {
    case 1: return vboard::card::CardIdentity{0x98, 0x73, 0xC0, 0x21};
    case 3: return std::nullopt;
    default: return vboard::card::CardIdentity{};
    }
}

// Runs the class; the first failing run is shrunk and reported.
void campaign_of(bool rule_keeping, uint64_t first_seed) {
    const Size size = rule_keeping ? keeping_size : breaking_size;
    uint64_t commands = 0;
    double simulated = 0;
    for (int i = 0; i < size.runs; ++i) {
        RunSpec spec;
        spec.seed = first_seed + static_cast<uint64_t>(i);
        spec.rule_keeping = rule_keeping;
        spec.card = card_for(spec.seed);
        spec.commands = size.commands;
        const campaign::RunResult r = campaign::generate_and_run(spec);
        commands += r.commands;
        simulated += r.simulated_ms;
        ASSERT_FALSE(r.invalid) << "the generator broke its own rules: " << r.why_invalid;
        if (r.violation) {
            const auto shrunk = campaign::shrink(spec, r.body, r.violation->kind, 150);
            ADD_FAILURE() << "seed " << spec.seed << ": " << r.violation->kind << ": " << r.violation->detail
                          << "\nshrunk from " << r.body.size() << " to " << shrunk.size() << " lines:\n"
                          << campaign::reproducer(spec, shrunk);
            return;
        }
    }
    std::printf("[ campaign ] %s: %d runs, %llu host commands, %.1f s simulated\n",
                rule_keeping ? "rule-keeping" : "rule-breaking", size.runs,
                static_cast<unsigned long long>(commands), simulated / 1000);
}

TEST(FirmwareCampaign, RuleKeepingRunsMatchTheModels) { campaign_of(true, 1000); }

TEST(FirmwareCampaign, RuleBreakingRunsLeaveNoFindingsAndAWorkingBoard) { campaign_of(false, 2000); }

// The campaign and its shrinker against a firmware with one fault put in on
// purpose (the last character of string 1): found, and shrunk to one line.
TEST(FirmwareCampaign, FindsAPlantedFaultAndShrinksItToOneLine) {
    RunSpec spec;
    spec.image.assign(fw_bin, fw_bin + fw_size);
    const uint8_t nebu[] = {'N', 0, 'E', 0, 'B', 0, 'U', 0};
    const auto at = std::search(spec.image.begin(), spec.image.end(), std::begin(nebu), std::end(nebu));
    ASSERT_NE(at, spec.image.end());
    at[6] = 'V';
    spec.commands = 100;
    for (spec.seed = 1; spec.seed < 20; ++spec.seed) {
        const campaign::RunResult r = campaign::generate_and_run(spec);
        if (!r.violation) continue;
        const auto shrunk = campaign::shrink(spec, r.body, r.violation->kind);
        ASSERT_EQ(shrunk.size(), 1u) << campaign::reproducer(spec, shrunk);
        EXPECT_TRUE(shrunk[0].rfind("string 1", 0) == 0 || shrunk[0].rfind("control", 0) == 0) << shrunk[0];
        return;
    }
    FAIL() << "no run found the changed string";
}

// The firmware before the fixes of its toggles, its request errors and its
// stream order: rule-keeping runs find its faults, each shrunk to a few lines.
TEST(FirmwareCampaign, FindsTheOldFirmwaresFaultsAndShrinksThem) {
    RunSpec spec;
    std::ifstream f(NEBU_OLD_FW_DIR "/nebu.bin", std::ios::binary);
    spec.image.assign(std::istreambuf_iterator<char>(f), {});
    ASSERT_EQ(spec.image.size(), 4096u);
    spec.commands = old_firmware_size.commands;
    int found = 0;
    for (spec.seed = 1; spec.seed <= static_cast<uint64_t>(old_firmware_size.runs); ++spec.seed) {
        const campaign::RunResult r = campaign::generate_and_run(spec);
        ASSERT_FALSE(r.invalid) << r.why_invalid;
        if (!r.violation) continue;
        ++found;
        const auto shrunk = campaign::shrink(spec, r.body, r.violation->kind, 60);
        EXPECT_LE(shrunk.size(), 6u) << campaign::reproducer(spec, shrunk);
        if (spec.seed == 1) std::printf("%s", campaign::reproducer(spec, shrunk).c_str());
    }
    EXPECT_GE(found, old_firmware_size.runs * 2 / 3);
}

// The failing runs the long campaign found, kept shrunk in found/, each
// replayed in its own class on its own card: each must now pass its judge.
TEST(FirmwareCampaign, KeptReproducersNowPass) {
    int replayed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(NEBU_CAMPAIGN_FOUND_DIR)) {
        if (entry.path().extension() != ".script") continue;
        std::ifstream f(entry.path());
        std::string head;
        std::getline(f, head);
        RunSpec spec;
        spec.rule_keeping = head.find("rule-breaking") == std::string::npos;
        if (const size_t at = head.find("seed "); at != std::string::npos) spec.card = card_for(std::stoull(head.substr(at + 5)));
        const campaign::RunResult r = campaign::replay(spec, campaign::reproducer_body(f));
        ++replayed;
        EXPECT_FALSE(r.invalid) << entry.path() << ": " << r.why_invalid;
        if (r.violation)
            ADD_FAILURE() << entry.path() << ": line " << r.violation->line << ": " << r.violation->kind << ": "
                          << r.violation->detail;
    }
    EXPECT_GE(replayed, 2);
}

}  // namespace
