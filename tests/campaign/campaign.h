// A seeded random host campaign against the firmware on the virtual board,
// through the same host-side commands `vboard script` runs (one line each).
//
// Two classes of runs:
//  - rule-keeping: the host keeps every limit the firmware trusts it with
//    (one script per packet, each reply read before the next replying
//    script, exactly the announced stream length, no script while a stream
//    is outstanding: during a host-to-bus stream the firmware puts waiting
//    stream packets before a script, as it cannot tell which came first).
//    Every result
//    line must be the one the reference models predict (the port engine's
//    for scripts and streams, the device-request model for control
//    requests), every card-side event must be the engine model's, and the
//    run ends with the card's ID scripts answering right.
//  - rule-breaking: anything the host side can send. No firmware finding
//    may appear (unless the host has written over the firmware's code
//    through the loader), and after a fixed recovery the board must still
//    answer requests and the card's ID scripts.
// A failing run is shrunk to a short script that still fails the same way,
// printed as a `vboard script` file.
#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <vector>

#include "card/card.h"

namespace campaign {

struct RunSpec {
    uint64_t seed = 1;
    bool rule_keeping = true;
    std::optional<vboard::card::CardIdentity> card = vboard::card::CardIdentity{};
    size_t commands = 200;  // generated body lines (the drain and the closing lines come on top)
    std::vector<uint8_t> image;  // the firmware image to run; empty: the built one
};

struct Violation {
    size_t line = 0;   // index into the run's lines (body, then the closing lines)
    std::string kind;  // what kind of violation: the shrinker keeps it
    std::string detail;
};

struct RunResult {
    std::vector<std::string> body;            // the generated (or replayed) lines
    std::vector<std::string> lines;           // every line run: the body's, then the closing ones
    std::vector<std::string> results;         // one per line run
    std::optional<Violation> violation;
    bool invalid = false;                     // a replayed body broke the class's rules
    std::string why_invalid;
    uint64_t commands = 0;                    // lines run, closing lines included
    double simulated_ms = 0;
};

// Generates and runs one run on a fresh board.
RunResult generate_and_run(const RunSpec& spec);
// Runs the given body lines (and the class's closing lines) on a fresh board.
RunResult replay(const RunSpec& spec, const std::vector<std::string>& body);

// A shorter body that still fails with the same violation kind (at most
// `max_replays` replays).
std::vector<std::string> shrink(const RunSpec& spec, const std::vector<std::string>& body,
                                const std::string& kind, size_t max_replays = 400);

// The body and the closing lines as a `vboard script` file, with the
// command line that replays it in a comment, and the results seen.
std::string reproducer(const RunSpec& spec, const std::vector<std::string>& body);

// The comment line before the closing lines in a reproducer: a replay of
// the file takes the lines before it as the body.
extern const char* const closing_marker;
// A reproducer file's body: its lines before the closing marker, comments
// and blank lines left out.
std::vector<std::string> reproducer_body(std::istream& in);

// Tallies of a campaign.
struct Tally {
    uint64_t runs = 0, commands = 0, failed = 0;
    double simulated_ms = 0;
};

}  // namespace campaign
