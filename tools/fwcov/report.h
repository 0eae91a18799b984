// Coverage of one firmware image: the counts of the coverage files laid
// over the listing, the known uncovered entries checked against what is
// uncovered, the annotated listing and the summary.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "coverage/coverage.h"
#include "listing.h"

namespace fwcov {

// What is uncovered about one instruction.
enum class Gap : std::uint8_t {
    none,
    never,        // never executed
    always_taken, // a conditional jump that never fell through
    never_taken,  // a conditional jump that was never taken
};
const char* gap_name(Gap gap);  // "never", "always-taken", "never-taken"

// One entry of the known uncovered file:
//   KIND | FILE | ROUTINE | STATEMENT | why
// KIND a gap name, for a conditional jump optionally behind "fixed " when
// the firmware's own code fixes its direction (a hook that always answers
// the same, a single caller): its other way is unreachable. STATEMENT the instruction as statement_of() gives it, or
// '*' for every instruction of ROUTINE with that gap.
struct KnownEntry {
    Gap gap = Gap::none;
    bool fixed = false;  // "fixed KIND": the jump's other way is unreachable
    std::string file, routine, statement, why;
    int line = 0;  // in the known file
    int matched = 0;
};
bool read_known(const std::string& path, std::vector<KnownEntry>& entries, std::string& error);

struct Instruction {
    const SourceLine* line;
    bool branch = false;  // a conditional jump
    std::uint64_t executed = 0, taken = 0;
    Gap gap = Gap::none;
    const KnownEntry* known = nullptr;  // the entry that explains the gap
};

struct Figures {
    int instructions = 0, executed = 0, unreachable = 0;  // unreachable: never executed, explained
    int branches = 0, both_ways = 0, always_taken = 0, never_taken = 0, branches_never = 0;
    int branches_reachable = 0;  // conditional jumps not explained as unreachable
    int branches_fixed = 0;      // of those, explained as going one way by the firmware's own code
    int unexplained = 0, stale = 0;
    bool target_met(double branch_percent) const;
};

// Every instruction of the modules with its counts; false with one line in
// `error` when the listing's bytes differ from the image (they come from
// another build).
bool collect(const std::vector<Module>& modules, const std::vector<std::uint8_t>& image,
             const vboard::coverage::ImageCounts& counts, std::vector<KnownEntry>& known,
             std::vector<Instruction>& out, Figures& figures, std::string& error);

// The annotated listing: every source line with its counts.
std::string annotated_listing(const std::vector<Module>& modules, const std::vector<Instruction>& instructions);
// The summary: figures, every gap with its source line and explanation,
// stale known entries, and whether the target is met.
std::string summary(const std::vector<Instruction>& instructions, const std::vector<KnownEntry>& known,
                    const Figures& figures, double branch_percent, const std::string& header);

}  // namespace fwcov
