// Logical disk assembly from the spare areas' block addresses, with ECC.
#include "card_tool/logical.h"

#include "card_tool/claimant.h"
#include "smformat/smformat.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

namespace {

using Spare = std::array<unsigned char, smformat::sector_spare_bytes>;

void sector_of(const sm_geometry& g, const unsigned char* raw, uint32_t s, unsigned char* data, Spare& spare)
{
    sm_sector_of(g, raw, s, data, spare.data());
}

bool all_ff(const unsigned char* p, size_t n)
{
    return std::all_of(p, p + n, [](unsigned char b) { return b == 0xFF; });
}

}  // namespace

bool sm_block_bad(const sm_geometry& g, const unsigned char* raw)
{
    unsigned char data[smformat::sector_bytes];
    Spare spare;
    sector_of(g, raw, 0, data, spare);
    return smformat::block_status_bad(spare[smformat::spare_block_status]);
}

sm_logical_disk::sm_logical_disk(const sm_geometry& g) : g_(g)
{
    const smformat::ZoneLayout z = smformat::zone_layout(g.blocks());
    physical_per_zone_ = z.physical_per_zone;
    logical_per_zone_ = z.logical_per_zone;
    sectors_per_block_ = g.pages_per_block * g.data_bytes / smformat::sector_bytes;
    const uint64_t blocks = uint64_t{z.zones} * z.logical_per_zone;
    image_.assign(size_t(blocks * sectors_per_block_ * smformat::sector_bytes), 0xFF);
    claimed_.assign(size_t(blocks), false);
    held_.assign(size_t(blocks), sm_claimant{});
}

void sm_logical_disk::add_block(uint32_t block, const unsigned char* raw)
{
    unsigned char data[smformat::sector_bytes];
    Spare spare;
    sector_of(g_, raw, 0, data, spare);
    if (smformat::block_status_bad(spare[smformat::spare_block_status])) {
        ++summary_.bad_blocks;
        return;
    }
    const bool erased = all_ff(data, sizeof data) && all_ff(spare.data(), spare.size());
    if (!cis_seen_ && !erased) {
        // The first good block that holds anything is the card information structure.
        cis_seen_ = true;
        summary_.cis_found = std::equal(smformat::cis_signature.begin(), smformat::cis_signature.end(), data);
        return;
    }
    if (erased)
        return;

    const std::optional<uint16_t> address = sm_sector_address(spare.data(), logical_per_zone_);
    if (!address)
        return;
    const uint32_t zone = block / physical_per_zone_;
    const uint32_t logical = zone * logical_per_zone_ + *address;
    if (logical >= claimed_.size())
        return;
    // Which claimant holds the address: the rule in claimant.h.
    const size_t block_bytes = size_t(sectors_per_block_) * smformat::sector_bytes;
    std::vector<unsigned char> sectors(block_bytes);
    const sm_claimant c = sm_judge_claimant(g_, raw, *address, logical_per_zone_, sectors.data());
    std::optional<sm_claim> held;
    if (claimed_[logical])
        held = held_[logical].kind;
    if (held && c.kind != sm_claim::unfinished)
        ++summary_.doubled;
    if (!sm_claim_takes_over(c.kind, held))
        return;
    claimed_[logical] = true;
    held_[logical] = c;
    std::memcpy(image_.data() + logical * block_bytes, sectors.data(), block_bytes);
}

void sm_logical_disk::finish()
{
    summary_.missing = static_cast<uint32_t>(std::count(claimed_.begin(), claimed_.end(), false));
    for (const sm_claimant& c : held_) {
        summary_.corrected += c.corrected;
        summary_.uncorrectable += c.uncorrectable;
    }
}
