// Which physical block holds a logical block: the one rule that the logical
// read and the writer both follow when blocks claim one address.
//
// A block claims the address its first sector's address field names (the
// first copy of the field when it is well formed and inside the zone, else
// the second). Each claimant is judged by all its sectors:
//   complete    every sector names the address, has both halves of its
//               spare bytes programmed, good data status and data that its
//               ECC finds clean or corrects;
//   damaged     every sector names the address and has both halves of its
//               spare programmed, but some data status is bad or some data
//               are beyond the ECC (the card's own wear, not a cut write);
//   unfinished  anything else: a sector still erased or naming another
//               address, as a write or an erase cut short leaves it.
// The address is held by the first complete claimant in block order; when
// none is complete, by the first damaged one; an unfinished block never holds
// it (without another claimant the logical block reads as never written).
// The writer programs a new block's pages with the first sector's address
// field left erased, checks them, programs the field, and only then erases
// the old block; a block to be cleared has its first sector's field and data
// status programmed to 0x00 before its erase. So at every moment the rule
// gives the old content or the new (writer.cpp; docs/writing-cards.md).
#pragma once

#include "card_tool/geometry.h"

#include <cstdint>
#include <optional>

enum class sm_claim : uint8_t { unfinished, damaged, complete };

struct sm_claimant {
    sm_claim kind = sm_claim::unfinished;
    uint32_t corrected = 0;      // 256-byte halves with one bit put right
    uint32_t uncorrectable = 0;  // sectors with an error the ECC cannot correct
};

// Sector `s` of a block (raw pages, data then spare, in page order): its 512
// data bytes and 16 spare bytes, from one page or from two of 256 + 8 bytes.
void sm_sector_of(const sm_geometry& g, const unsigned char* raw, uint32_t s, unsigned char* data,
                  unsigned char* spare);

// The address a sector's 16 spare bytes name within a zone of
// `logical_per_zone` blocks, or nothing.
std::optional<uint16_t> sm_sector_address(const unsigned char* spare, uint32_t logical_per_zone);

// Judges a block claiming `address`; `data` (the block's data bytes) receives
// its sectors with single bits put right.
sm_claimant sm_judge_claimant(const sm_geometry& g, const unsigned char* raw, uint16_t address,
                              uint32_t logical_per_zone, unsigned char* data);

// The rule: true when a claimant of kind `candidate`, found after the one
// holding the address now (`held`, nothing when none does), takes it over.
bool sm_claim_takes_over(sm_claim candidate, std::optional<sm_claim> held);
