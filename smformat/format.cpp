// Block address field, status bytes, zones and the spare bytes of a sector.
#include <bit>

#include "smformat/smformat.h"

namespace smformat {

std::array<uint8_t, 2> encode_block_address(uint16_t address) {
    const uint8_t high = uint8_t(0x10 | ((address >> 7) & 0x07));
    uint8_t low = uint8_t((address & 0x7F) << 1);
    if ((std::popcount(unsigned(high)) + std::popcount(unsigned(low))) & 1) low |= 1;
    return {high, low};
}

std::optional<uint16_t> decode_block_address(uint8_t high, uint8_t low) {
    if ((high & 0xF8) != 0x10) return std::nullopt;
    if ((std::popcount(unsigned(high)) + std::popcount(unsigned(low))) & 1) return std::nullopt;
    return uint16_t((high & 0x07) << 7 | low >> 1);
}

bool block_status_bad(uint8_t status) { return std::popcount(unsigned(status)) < 7; }

bool data_status_invalid(uint8_t status) { return std::popcount(unsigned(status)) < 4; }

ZoneLayout zone_layout(uint32_t physical_blocks) {
    ZoneLayout z;
    if (physical_blocks == 0) return z;
    z.physical_per_zone = physical_blocks < 1024 ? physical_blocks : 1024;
    z.zones = physical_blocks / z.physical_per_zone;
    z.logical_per_zone = z.physical_per_zone * 1000 / 1024;
    return z;
}

std::array<uint8_t, sector_spare_bytes> sector_spare(const uint8_t* data, std::optional<uint16_t> address) {
    std::array<uint8_t, sector_spare_bytes> spare;
    spare.fill(0xFF);
    const std::array<uint8_t, 2> field = address ? encode_block_address(*address) : std::array<uint8_t, 2>{0, 0};
    spare[spare_address1] = spare[spare_address2] = field[0];
    spare[spare_address1 + 1] = spare[spare_address2 + 1] = field[1];
    const Ecc first = ecc_compute(data), second = ecc_compute(data + 256);
    for (unsigned i = 0; i < 3; ++i) {
        spare[spare_ecc_first + i] = first[i];
        spare[spare_ecc_second + i] = second[i];
    }
    return spare;
}

}  // namespace smformat
