// The claimant rule (claimant.h).
#include "card_tool/claimant.h"

#include "smformat/smformat.h"

#include <algorithm>
#include <cstring>

namespace {

bool all_ff(const unsigned char* p, size_t n)
{
    return std::all_of(p, p + n, [](unsigned char b) { return b == 0xFF; });
}

}  // namespace

void sm_sector_of(const sm_geometry& g, const unsigned char* raw, uint32_t s, unsigned char* data,
                  unsigned char* spare)
{
    const unsigned pages_per_sector = smformat::sector_bytes / g.data_bytes;
    for (unsigned p = 0; p < pages_per_sector; ++p) {
        const unsigned char* page = raw + size_t(s * pages_per_sector + p) * g.page_bytes();
        std::memcpy(data + p * g.data_bytes, page, g.data_bytes);
        std::memcpy(spare + p * g.spare_bytes, page + g.data_bytes, g.spare_bytes);
    }
}

std::optional<uint16_t> sm_sector_address(const unsigned char* spare, uint32_t logical_per_zone)
{
    for (const unsigned at : {smformat::spare_address1, smformat::spare_address2}) {
        const std::optional<uint16_t> a = smformat::decode_block_address(spare[at], spare[at + 1]);
        if (a && *a < logical_per_zone)
            return a;
    }
    return std::nullopt;
}

sm_claimant sm_judge_claimant(const sm_geometry& g, const unsigned char* raw, uint16_t address,
                              uint32_t logical_per_zone, unsigned char* data)
{
    sm_claimant c;
    bool unfinished = false, damaged = false;
    const uint32_t sectors = g.pages_per_block * g.data_bytes / smformat::sector_bytes;
    unsigned char spare[smformat::sector_spare_bytes];
    constexpr unsigned half = smformat::sector_spare_bytes / 2;
    for (uint32_t s = 0; s < sectors; ++s) {
        unsigned char* sector = data + size_t(s) * smformat::sector_bytes;
        sm_sector_of(g, raw, s, sector, spare);
        if (all_ff(spare, half) || all_ff(spare + half, half) || sm_sector_address(spare, logical_per_zone) != address)
            unfinished = true;
        if (smformat::data_status_invalid(spare[smformat::spare_data_status]))
            damaged = true;
        const smformat::EccResult first = smformat::ecc_check(sector, spare + smformat::spare_ecc_first);
        const smformat::EccResult second = smformat::ecc_check(sector + 256, spare + smformat::spare_ecc_second);
        for (const smformat::EccResult r : {first, second})
            if (r == smformat::EccResult::corrected)
                ++c.corrected;
        if (first == smformat::EccResult::uncorrectable || second == smformat::EccResult::uncorrectable) {
            ++c.uncorrectable;
            damaged = true;
        }
    }
    c.kind = unfinished ? sm_claim::unfinished : damaged ? sm_claim::damaged : sm_claim::complete;
    return c;
}

bool sm_claim_takes_over(sm_claim candidate, std::optional<sm_claim> held)
{
    if (candidate == sm_claim::unfinished)
        return false;
    return !held || *held < candidate;
}
