// The logical disk (what a camera sees) assembled from a card's physical
// blocks: each block's address field names its logical block within its
// zone; every 256 bytes are checked against their ECC and a single wrong bit
// is put right. Blocks that are bad, erased, without a valid address or
// holding the card information structure are not part of the disk; a block
// with a valid address always is. The structure is known by its tuples and
// its address field 0x0000, never by where it lies.
#pragma once

#include "card_tool/claimant.h"
#include "card_tool/geometry.h"

#include <cstddef>
#include <cstdint>
#include <vector>

struct sm_logical_summary {
    uint32_t bad_blocks = 0;
    uint32_t corrected = 0;       // 256-byte halves with one bit put right
    uint32_t uncorrectable = 0;   // 512-byte sectors with an error the ECC cannot correct
    // Logical blocks no physical block claims read as 0xFF. They are
    // unwritten when their zone holds no written block without a valid
    // address, else missing (one of those blocks may have been theirs).
    uint32_t unwritten = 0;
    uint32_t missing = 0;
    static constexpr size_t missing_named = 8;
    std::vector<uint32_t> first_missing;  // the first missing_named of them
    uint32_t unaddressed = 0;     // good, written blocks with neither a valid address nor the structure
    uint32_t doubled = 0;         // physical blocks claiming an address another block holds (claimant.h)
    bool cis_found = false;       // a block holds the card information structure
    bool no_disk = false;         // every block is bad or unaddressed: nothing of a logical disk
};

// True when the block (its raw pages, data and spare, in page order) is
// marked bad in its first sector.
bool sm_block_bad(const sm_geometry& g, const unsigned char* raw);

class sm_logical_disk {
public:
    explicit sm_logical_disk(const sm_geometry& g);

    // Bytes of the whole logical disk: zones x logical blocks x block data.
    uint64_t size() const { return image_.size(); }
    // Takes physical block `block`, in ascending order from block 0: its
    // raw pages (g.pages_per_block of them, data then spare).
    void add_block(uint32_t block, const unsigned char* raw);
    // After the last block: sorts the logical blocks nobody claimed into
    // unwritten and missing.
    void finish();

    const std::vector<unsigned char>& image() const { return image_; }
    const sm_logical_summary& summary() const { return summary_; }

private:
    sm_geometry g_;
    uint32_t physical_per_zone_ = 0;
    uint32_t logical_per_zone_ = 0;
    uint32_t sectors_per_block_ = 0;
    uint32_t blocks_seen_ = 0;
    uint32_t addressed_ = 0;
    std::vector<uint32_t> unaddressed_;  // per zone
    std::vector<unsigned char> image_;
    std::vector<bool> claimed_;
    std::vector<sm_claimant> held_;  // the claimant holding each logical block (claimant.h)
    sm_logical_summary summary_;
};
