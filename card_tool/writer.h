// Writing a card: the logical disk from a file, or the standard layout
// (format): the card information structure in the first good block of zone
// 0, the layout's logical blocks, every other block that holds anything
// erased (bad blocks never touched).
// Only logical blocks whose content differs from the card are rewritten,
// each into a free block of its zone (chosen in turn over the zone's free
// blocks), checked, and only then is the block that held it erased; see
// claimant.h for why every logical block reads old or new at every moment.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Exit statuses of a card write (also in the tool's --help).
inline constexpr int write_complete = 0;    // the card holds what was asked (or, dry run: nothing changed)
inline constexpr int write_failed = 1;      // no board, no card, unknown card, FILE unreadable or of the wrong
                                            // size, a write-protected card, the answer was no
inline constexpr int write_usage = 2;       // bad command line, or no terminal to ask and no --yes
inline constexpr int write_stopped = 3;     // card removed or transfer failed: every logical block old or new
inline constexpr int write_zone_full = 5;   // a zone has no usable free block left: the blocks before are written

struct sm_write_request {
    std::string file;          // the disk image to write; empty with `format`
    bool format = false;       // the standard layout of the card's size instead of a file
    bool verify = true;        // read every programmed block back and compare
    bool dry_run = false;      // plan only: print what would change
    // Asked with the plan's line before anything changes; null: go ahead.
    std::function<bool(const std::string& plan)> confirm;
};

// The tool's flow with a write: banner, card set-up, ID line, the card's
// spare areas and the blocks to compare, the plan, the confirmation, the
// writes with a progress bar on standard error when it is a terminal, and a
// summary. Returns one of the statuses above.
int card_tool_write(const sm_write_request& request);
