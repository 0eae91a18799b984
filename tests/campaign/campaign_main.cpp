// The long random host campaign:
//   firmware_campaign [--commands N] [--seed S] [--per-run N] [--keeping | --breaking]
//   firmware_campaign --replay FILE [--breaking] [--no-card | --card MAKER,DEVICE,ID3[,EXT]]
// --image IMAGE runs a raw 4,096-byte firmware image instead of the built
// one (tests/firmware/old_firmware/nebu.bin: the firmware before the fixes).
// Runs rule-keeping and rule-breaking runs in turn (cards in rotation) until
// N host commands have been run, shrinks every failing run to a short
// `vboard script` file (printed), and ends with its figures. Exit status 1
// when any run failed.
#include <chrono>
#include <fstream>
#include <iterator>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "campaign.h"

int main(int argc, char** argv) {
    uint64_t target = 1000000, seed = 1;
    size_t per_run = 250;
    int classes = 3;  // bit 0 rule-keeping, bit 1 rule-breaking
    std::string replay_file;
    std::vector<uint8_t> image;
    std::optional<vboard::card::CardIdentity> card = vboard::card::CardIdentity{};
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> uint64_t {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "firmware_campaign: %s needs a value\n", a.c_str());
                std::exit(2);
            }
            char* end = nullptr;
            const uint64_t v = std::strtoull(argv[++i], &end, 10);
            if (!end || *end) {
                std::fprintf(stderr, "firmware_campaign: %s takes a decimal number\n", a.c_str());
                std::exit(2);
            }
            return v;
        };
        if (a == "--commands") target = value();
        else if (a == "--seed") seed = value();
        else if (a == "--per-run") per_run = static_cast<size_t>(value());
        else if (a == "--keeping") classes = 1;
        else if (a == "--replay" && i + 1 < argc) replay_file = argv[++i];
        else if (a == "--no-card") card.reset();
        else if (a == "--image" && i + 1 < argc) {
            std::ifstream f(argv[++i], std::ios::binary);
            image.assign(std::istreambuf_iterator<char>(f), {});
            if (!f || image.empty() || image.size() > 0x2000) {
                std::fprintf(stderr, "firmware_campaign: %s is not a firmware image\n", argv[i]);
                return 2;
            }
        }
        else if (a == "--card" && i + 1 < argc) {
            std::string error;
            card = vboard::card::parse_card_identity(argv[++i], error);
            if (!card) {
                std::fprintf(stderr, "firmware_campaign: %s\n", error.c_str());
                return 2;
            }
        }
        else if (a == "--breaking") classes = 2;
        else {
            std::fprintf(stderr,
                         "usage: firmware_campaign [--commands N] [--seed S] [--per-run N] [--keeping | --breaking]"
                         " [--image IMAGE]\n"
                         "       firmware_campaign --replay FILE [--breaking] [--no-card | --card SPEC] [--image IMAGE]\n");
            return 2;
        }
    }
    if (per_run == 0) per_run = 1;

    if (!replay_file.empty()) {
        // A reproducer's body (the lines before the closing marker) under the judge.
        std::ifstream in(replay_file);
        if (!in) {
            std::fprintf(stderr, "firmware_campaign: cannot read %s\n", replay_file.c_str());
            return 2;
        }
        const std::vector<std::string> body = campaign::reproducer_body(in);
        campaign::RunSpec spec;
        spec.rule_keeping = classes != 2;
        spec.card = card;
        spec.image = image;
        std::printf("%s", campaign::reproducer(spec, body).c_str());
        const campaign::RunResult r = campaign::replay(spec, body);
        if (r.invalid) std::printf("breaks the rules: %s\n", r.why_invalid.c_str());
        return r.violation || r.invalid ? 1 : 0;
    }

    const auto start = std::chrono::steady_clock::now();
    campaign::Tally tally[2];
    for (uint64_t s = seed; tally[0].commands + tally[1].commands < target; ++s) {
        campaign::RunSpec spec;
        spec.seed = s;
        // A rule-breaking run costs about sixty rule-keeping ones (its
        // transfers often end at the host's 5 s timeout, which the board
        // runs through cycle by cycle): one run in fifty.
        spec.rule_keeping = classes == 1 || (classes == 3 && s % 50 != 0);
        switch (s % 4) {
        case 1: spec.card = vboard::card::CardIdentity{0x98, 0x73, 0xC0, 0x21}; break;
        case 3: spec.card.reset(); break;
        default: break;
        }
        spec.commands = per_run;
        spec.image = image;
        const campaign::RunResult r = campaign::generate_and_run(spec);
        campaign::Tally& t = tally[spec.rule_keeping ? 0 : 1];
        ++t.runs;
        t.commands += r.commands;
        t.simulated_ms += r.simulated_ms;
        if (r.invalid) {
            std::printf("seed %llu: the generator broke its own rules: %s\n", static_cast<unsigned long long>(s),
                        r.why_invalid.c_str());
            for (size_t k = r.lines.size() > 4 ? r.lines.size() - 4 : 0; k < r.lines.size(); ++k)
                std::printf("  %s\n", r.lines[k].substr(0, 160).c_str());
            ++t.failed;
        } else if (r.violation) {
            ++t.failed;
            const auto shrunk = campaign::shrink(spec, r.body, r.violation->kind);
            std::printf("seed %llu: %s: %s\nshrunk from %zu to %zu lines:\n%s\n", static_cast<unsigned long long>(s),
                        r.violation->kind.c_str(), r.violation->detail.c_str(), r.body.size(), shrunk.size(),
                        campaign::reproducer(spec, shrunk).c_str());
        }
        std::fflush(stdout);
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const char* names[2] = {"rule-keeping", "rule-breaking"};
    uint64_t failed = 0;
    for (int k = 0; k < 2; ++k) {
        if (!tally[k].runs) continue;
        std::printf("%s: %llu runs, %llu host commands, %.1f s simulated, %llu failed\n", names[k],
                    static_cast<unsigned long long>(tally[k].runs), static_cast<unsigned long long>(tally[k].commands),
                    tally[k].simulated_ms / 1000, static_cast<unsigned long long>(tally[k].failed));
        failed += tally[k].failed;
    }
    std::printf("total: %llu host commands in %.1f s wall time\n",
                static_cast<unsigned long long>(tally[0].commands + tally[1].commands), wall);
    return failed ? 1 : 0;
}
