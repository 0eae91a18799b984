// Logical disk assembly from the spare areas' block addresses, with ECC.
#include "card_tool/logical.h"

#include "smformat/smformat.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

namespace {

using Spare = std::array<unsigned char, smformat::sector_spare_bytes>;

// Sector `s` of a block: its 512 data bytes and 16 spare bytes, gathered
// from one page or from two pages of 256 + 8 bytes.
void sector_of(const sm_geometry& g, const unsigned char* raw, uint32_t s, unsigned char* data, Spare& spare)
{
    const unsigned pages_per_sector = smformat::sector_bytes / g.data_bytes;
    for (unsigned p = 0; p < pages_per_sector; ++p) {
        const unsigned char* page = raw + size_t(s * pages_per_sector + p) * g.page_bytes();
        std::memcpy(data + p * g.data_bytes, page, g.data_bytes);
        std::memcpy(spare.data() + p * g.spare_bytes, page + g.data_bytes, g.spare_bytes);
    }
}

bool all_ff(const unsigned char* p, size_t n)
{
    return std::all_of(p, p + n, [](unsigned char b) { return b == 0xFF; });
}

// The card information structure: its tuples at byte 0 (or their copy at
// byte 256) of the block's first sector, and the address field 0x0000.
bool is_cis(const unsigned char* data, const Spare& spare)
{
    const auto& sig = smformat::cis_signature;
    const bool content = std::equal(sig.begin(), sig.end(), data) || std::equal(sig.begin(), sig.end(), data + 256);
    auto zero = [&](unsigned at) { return spare[at] == 0 && spare[at + 1] == 0; };
    return content && (zero(smformat::spare_address1) || zero(smformat::spare_address2));
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
    std::optional<uint16_t> address =
        smformat::decode_block_address(spare[smformat::spare_address1], spare[smformat::spare_address1 + 1]);
    if (!address || *address >= logical_per_zone_)
        address = smformat::decode_block_address(spare[smformat::spare_address2], spare[smformat::spare_address2 + 1]);
    if (!address || *address >= logical_per_zone_) {
        if (is_cis(data, spare))
            summary_.cis_found = true;
        else if (zone < unaddressed_.size())
            ++unaddressed_[zone];  // written, but not to any logical block we can name
        return;
    }
    ++addressed_;
    const uint32_t logical = zone * logical_per_zone_ + *address;
    if (logical >= claimed_.size())
        return;
    if (claimed_[logical]) {
        // The block found first keeps the address.
        ++summary_.doubled;
        return;
    }
    claimed_[logical] = true;

    unsigned char* out = image_.data() + size_t(logical) * sectors_per_block_ * smformat::sector_bytes;
    for (uint32_t s = 0; s < sectors_per_block_; ++s, out += smformat::sector_bytes) {
        sector_of(g_, raw, s, data, spare);
        const smformat::EccResult first = smformat::ecc_check(data, spare.data() + smformat::spare_ecc_first);
        const smformat::EccResult second = smformat::ecc_check(data + 256, spare.data() + smformat::spare_ecc_second);
        for (const smformat::EccResult r : {first, second})
            if (r == smformat::EccResult::corrected)
                ++summary_.corrected;
        if (first == smformat::EccResult::uncorrectable || second == smformat::EccResult::uncorrectable)
            ++summary_.uncorrectable;
        std::memcpy(out, data, sizeof data);
    }
}

void sm_logical_disk::finish()
{
    summary_.missing = summary_.unwritten = 0;
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
