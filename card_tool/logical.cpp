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

// The card information structure: its tuples at byte 0 (or their copy at
// byte 256) of the block's first sector, and the address field 0x0000.
bool is_cis(const unsigned char* data, const Spare& spare)
{
    const auto sig = smformat::cis_tuples.begin(), end = sig + smformat::cis_signature_bytes;
    const bool content = std::equal(sig, end, data) || std::equal(sig, end, data + 256);
    auto zero = [&](unsigned at) { return spare[at] == 0 && spare[at + 1] == 0; };
    return content && (zero(smformat::spare_address1) || zero(smformat::spare_address2));
}

// A block the writer left between two steps (claimant.h): its pages written
// before their address field was (fields still erased), or cleared for its
// erase (fields and data status 0x00). Neither can be a lost logical block.
bool left_by_writer(const Spare& spare)
{
    auto both = [&](unsigned char v) {
        return spare[smformat::spare_address1] == v && spare[smformat::spare_address1 + 1] == v &&
               spare[smformat::spare_address2] == v && spare[smformat::spare_address2 + 1] == v;
    };
    return both(0xFF) || (both(0x00) && spare[smformat::spare_data_status] == 0x00);
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
    unaddressed_.assign(z.zones, 0);
    held_.assign(size_t(blocks), sm_claimant{});
}

void sm_logical_disk::add_block(uint32_t block, const unsigned char* raw)
{
    unsigned char data[smformat::sector_bytes];
    Spare spare;
    sector_of(g_, raw, 0, data, spare);
    ++blocks_seen_;
    if (smformat::block_status_bad(spare[smformat::spare_block_status])) {
        ++summary_.bad_blocks;
        return;
    }
    const bool erased = all_ff(data, sizeof data) && all_ff(spare.data(), spare.size());
    if (erased)
        return;

    const uint32_t zone = block / physical_per_zone_;
    const std::optional<uint16_t> address = sm_sector_address(spare.data(), logical_per_zone_);
    if (!address) {
        if (is_cis(data, spare))
            summary_.cis_found = true;
        else if (!left_by_writer(spare) && zone < unaddressed_.size())
            ++unaddressed_[zone];  // written, but not to any logical block we can name
        return;
    }
    ++addressed_;
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
    summary_.missing = summary_.unwritten = 0;
    for (const sm_claimant& c : held_) {
        summary_.corrected += c.corrected;
        summary_.uncorrectable += c.uncorrectable;
    }
    summary_.first_missing.clear();
    for (uint32_t logical = 0; logical < claimed_.size(); ++logical) {
        if (claimed_[logical])
            continue;
        // Nobody claims it: lost if its zone holds written blocks without a
        // valid address (one of them may have been it), else never written.
        if (unaddressed_[logical / logical_per_zone_] == 0) {
            ++summary_.unwritten;
            continue;
        }
        if (summary_.first_missing.size() < sm_logical_summary::missing_named)
            summary_.first_missing.push_back(logical);
        ++summary_.missing;
    }
    summary_.unaddressed = 0;
    for (const uint32_t n : unaddressed_)
        summary_.unaddressed += n;
    summary_.no_disk = addressed_ == 0 && !summary_.cis_found && blocks_seen_ == summary_.bad_blocks + summary_.unaddressed;
}
