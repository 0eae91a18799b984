// SmartMedia's logical format, as the card tool reads it and the virtual
// board's image maker writes it: the 22-bit ECC over 256 bytes, the block
// address field, the layout of the 16 spare bytes of a 512-byte sector and
// the zones. One implementation for both ends, so that they cannot drift.
//
// Index:
//   ecc.cpp      ecc_compute, ecc_check
//   format.cpp   block address field, block status, zones, sector spare
//   layout.cpp   the standard layout a formatted card holds: CIS, MBR, boot sector, FATs, root
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace smformat {

// ---- ecc.cpp: line/column Hamming code over 256 bytes -------------------

// The three stored bytes: byte 0 = line parities LP07..LP00, byte 1 =
// LP15..LP08, byte 2 = column parities CP5..CP0 then two 1 bits; all stored
// inverted, so erased data (all 0xFF) has the code FF FF FF.
using Ecc = std::array<uint8_t, 3>;
Ecc ecc_compute(const uint8_t* data);  // 256 bytes

enum class EccResult : uint8_t {
    clean,          // data and code agree
    corrected,      // one data bit was wrong and has been flipped back
    code_corrupt,   // one bit of the stored code is wrong; the data stand
    uncorrectable,  // two or more bits wrong: the data are left as read
};
// Checks 256 bytes against their stored code, correcting a single-bit error in place.
EccResult ecc_check(uint8_t* data, const uint8_t* stored);

// ---- format.cpp: the spare bytes and the zones -------------------------

inline constexpr unsigned sector_bytes = 512;
inline constexpr unsigned sector_spare_bytes = 16;

// Offsets in the 16 spare bytes of a 512-byte sector. On cards with
// 256-byte pages the first page of a sector carries bytes 0-7, the second
// bytes 8-15.
inline constexpr unsigned spare_data_status = 4;   // 0xFF: the sector's data are valid
inline constexpr unsigned spare_block_status = 5;  // 0xFF: the block is good
inline constexpr unsigned spare_address1 = 6;      // block address field, high byte first
inline constexpr unsigned spare_ecc_second = 8;    // ECC of bytes 256-511
inline constexpr unsigned spare_address2 = 11;     // the block address field again
inline constexpr unsigned spare_ecc_first = 13;    // ECC of bytes 0-255

// The block address field: high byte 0x10 | address bits 9-7, low byte
// address bits 6-0 shifted left one, bit 0 making the 16 bits even parity.
std::array<uint8_t, 2> encode_block_address(uint16_t address);
// The address a field holds, or nothing when the field is not well formed
// (wrong marker bits, odd parity). Range checks are the caller's.
std::optional<uint16_t> decode_block_address(uint8_t high, uint8_t low);

// A block status byte with fewer than seven 1 bits marks a bad block.
bool block_status_bad(uint8_t status);
// A data status byte with fewer than four 1 bits marks the sector's data invalid.
bool data_status_invalid(uint8_t status);

// Zones of 1,024 physical blocks with 1,000 logical blocks each; a card with
// fewer blocks is one zone with the same proportion (256 -> 250, 512 -> 500).
struct ZoneLayout {
    uint32_t zones = 0;
    uint32_t physical_per_zone = 0;
    uint32_t logical_per_zone = 0;
};
ZoneLayout zone_layout(uint32_t physical_blocks);

// The 16 spare bytes of a 512-byte sector holding `data` in logical block
// `address` (nothing: the card information structure, address field 0).
std::array<uint8_t, sector_spare_bytes> sector_spare(const uint8_t* data, std::optional<uint16_t> address);

// How many of the card information structure's first bytes (cis_tuples,
// below) a reader compares to know the structure.
inline constexpr size_t cis_signature_bytes = 10;

// ---- layout.cpp: the standard layout of a formatted card ----------------

// The format's parameters for one card size (docs/card-format.md gives the
// table and where it comes from). The partition fills the disk from
// partition_start to cylinders x heads x sectors_per_track; a cluster is one
// erase block and the data area starts on a block boundary.
struct FormatParameters {
    unsigned megabytes = 0;
    uint32_t sectors_per_block = 0;    // 512-byte sectors in an erase block: 8, 16 or 32
    uint32_t logical_blocks = 0;       // blocks of the logical disk (zones x logical blocks per zone)
    uint16_t cylinders = 0, heads = 0, sectors_per_track = 0;
    uint32_t partition_start = 0;      // the boot sector's sector number: the hidden sectors
    uint32_t partition_sectors = 0;    // total sectors of the partition
    uint8_t sectors_per_cluster = 0;
    bool fat16 = false;                // else FAT12
    uint16_t fat_sectors = 0;          // each of the two FATs
    uint16_t root_entries = 0;
    uint8_t media = 0;                 // media descriptor
    uint8_t partition_type = 0;        // the MBR's system id: 0x01 FAT12, 0x04 FAT16 < 32 MB, 0x06 FAT16

    uint32_t data_start() const {      // sector of the disk where cluster 2 begins
        return partition_start + 1 + 2u * fat_sectors + root_entries * 32u / sector_bytes;
    }
};
// The row for a card of `megabytes` (1, 2, 4, ..., 128), or nothing.
std::optional<FormatParameters> format_parameters(unsigned megabytes);

struct StandardLayout {
    FormatParameters parameters;
    // The data of sector 0 of the card information structure's block (the
    // first good block of zone 0): the tuple chain at byte 0 and again at
    // byte 256, zeros between and after. Its spare bytes are
    // sector_spare(cis.data(), std::nullopt): address field 0x0000. The
    // block's other sectors stay erased.
    std::vector<uint8_t> cis;
    // The logical blocks the format writes, each sectors_per_block x 512
    // bytes: master boot record, boot sector, the two FATs and the root
    // directory, zeros elsewhere inside these blocks. Every other logical
    // block is left unwritten: no physical block claims it, it reads 0xFF.
    std::map<uint32_t, std::vector<uint8_t>> blocks;
};
// The layout for a card of `megabytes`, or nothing for a size the format has
// no row for. `serial` is the volume serial number in the boot sector.
std::optional<StandardLayout> standard_layout(unsigned megabytes, uint32_t serial = 0x4E454255);

// The whole logical disk the layout defines (logical_blocks blocks), 0xFF in
// the blocks it does not write: what a read of the formatted card returns.
std::vector<uint8_t> render_logical_disk(const StandardLayout& layout);

// The card information structure's tuple chain (PC Card metaformat).
extern const std::array<uint8_t, 115> cis_tuples;

// The structure's sector: the tuple chain at byte 0 and again at byte 256,
// zeros between and after.
std::vector<uint8_t> cis_sector();

}  // namespace smformat
