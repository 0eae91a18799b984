// The standard layout of a formatted card: the card information structure,
// and the logical disk's master boot record, boot sector, FATs and root
// directory, with the format's parameters for each card size.
#include <algorithm>
#include <cstring>

#include "smformat/smformat.h"

namespace smformat {

// The card information structure: a PC Card tuple chain describing an ATA
// disk card (docs/card-format.md lists the tuples).
const std::array<uint8_t, 115> cis_tuples = {
    0x01, 0x03, 0xD9, 0x01, 0xFF,                                                  // CISTPL_DEVICE
    0x18, 0x02, 0xDF, 0x01,                                                        // CISTPL_JEDEC_C
    0x20, 0x04, 0x00, 0x00, 0x00, 0x00,                                            // CISTPL_MANFID
    0x21, 0x02, 0x04, 0x01,                                                        // CISTPL_FUNCID: disk
    0x22, 0x02, 0x01, 0x01,                                                        // CISTPL_FUNCE: ATA interface
    0x22, 0x03, 0x02, 0x04, 0x07,                                                  // CISTPL_FUNCE: ATA features
    0x1A, 0x05, 0x01, 0x03, 0x00, 0x02, 0x0F,                                      // CISTPL_CONFIG
    0x1B, 0x08, 0xC0, 0xC0, 0xA1, 0x01, 0x55, 0x08, 0x00, 0x20,                    // CFTABLE_ENTRY 0: memory
    0x1B, 0x0A, 0xC1, 0x41, 0x99, 0x01, 0x55, 0x64, 0xF0, 0xFF, 0xFF, 0x20,        // 1: I/O, 16 bytes
    0x1B, 0x0C, 0x82, 0x41, 0x18, 0xEA, 0x61, 0xF0, 0x01, 0x07, 0xF6, 0x03, 0x01, 0xEE,  // 2: primary
    0x1B, 0x0C, 0x83, 0x41, 0x18, 0xEA, 0x61, 0x70, 0x01, 0x07, 0x76, 0x03, 0x01, 0xEE,
    0x1B, 0x0C, 0x84, 0x41, 0x18, 0xEA, 0x61, 0xF0, 0x02, 0x07, 0xF6, 0x03, 0x01, 0xEE,  // 4: secondary
    0x1B, 0x0C, 0x85, 0x41, 0x18, 0xEA, 0x61, 0x70, 0x02, 0x07, 0x76, 0x03, 0x01, 0xEE,
    0x14, 0x00,                                                                    // CISTPL_NO_LINK
};

namespace {

// The format's table: size, sectors per block, C/H/S, partition start, FAT
// sectors. The rest follows: total sectors = C x H x S - start, a cluster is
// a block, FAT16 only on 128 MB cards, 256 root entries, media 0xF8.
struct Row {
    unsigned megabytes;
    uint32_t sectors_per_block;
    uint16_t cylinders, heads, sectors;
    uint32_t start;
    uint16_t fat_sectors;
};
constexpr Row kRows[] = {
    {1, 8, 125, 4, 4, 13, 1},     {2, 8, 125, 4, 8, 11, 2},    {4, 16, 250, 4, 8, 27, 2},
    {8, 16, 250, 4, 16, 25, 3},   {16, 32, 500, 4, 16, 41, 3}, {32, 32, 500, 8, 16, 35, 6},
    {64, 32, 500, 8, 32, 55, 12}, {128, 32, 500, 16, 32, 47, 32},
};

void put16(uint8_t* at, uint32_t v) {
    at[0] = uint8_t(v);
    at[1] = uint8_t(v >> 8);
}
void put32(uint8_t* at, uint32_t v) {
    put16(at, v & 0xFFFF);
    put16(at + 2, v >> 16);
}

// Cylinder, head and sector of `lba` packed as a partition entry holds them.
void put_chs(uint8_t* at, const FormatParameters& f, uint32_t lba) {
    const uint32_t per_cylinder = uint32_t{f.heads} * f.sectors_per_track;
    const uint32_t cylinder = lba / per_cylinder;
    const uint32_t head = lba / f.sectors_per_track % f.heads;
    const uint32_t sector = lba % f.sectors_per_track + 1;
    at[0] = uint8_t(head);
    at[1] = uint8_t(sector | (cylinder >> 8 & 0x03) << 6);
    at[2] = uint8_t(cylinder);
}

void master_boot_record(uint8_t* s, const FormatParameters& f) {
    uint8_t* entry = s + 0x1BE;
    entry[0] = 0x80;  // active
    put_chs(entry + 1, f, f.partition_start);
    entry[4] = f.partition_type;
    put_chs(entry + 5, f, f.partition_start + f.partition_sectors - 1);
    put32(entry + 8, f.partition_start);
    put32(entry + 12, f.partition_sectors);
    s[510] = 0x55;
    s[511] = 0xAA;
}

void boot_sector(uint8_t* s, const FormatParameters& f, uint32_t serial) {
    const uint8_t jump[] = {0xEB, 0x3C, 0x90};
    std::memcpy(s, jump, 3);
    std::memcpy(s + 3, "NEBU1.0 ", 8);
    put16(s + 11, sector_bytes);
    s[13] = f.sectors_per_cluster;
    put16(s + 14, 1);  // reserved sectors: the boot sector
    s[16] = 2;         // FATs
    put16(s + 17, f.root_entries);
    put16(s + 19, f.partition_sectors < 0x10000 ? f.partition_sectors : 0);
    s[21] = f.media;
    put16(s + 22, f.fat_sectors);
    put16(s + 24, f.sectors_per_track);
    put16(s + 26, f.heads);
    put32(s + 28, f.partition_start);
    put32(s + 32, f.partition_sectors < 0x10000 ? 0 : f.partition_sectors);
    s[36] = 0x80;  // drive number: a fixed disk
    s[38] = 0x29;  // extended boot signature: serial, label and type follow
    put32(s + 39, serial);
    std::memcpy(s + 43, "NO NAME    ", 11);
    std::memcpy(s + 54, f.fat16 ? "FAT16   " : "FAT12   ", 8);
    s[62] = 0xEB;  // boot code: wait here for ever (no system on this disk)
    s[63] = 0xFE;
    s[510] = 0x55;
    s[511] = 0xAA;
}

}  // namespace

std::optional<FormatParameters> format_parameters(unsigned megabytes) {
    const Row* row = std::find_if(std::begin(kRows), std::end(kRows), [=](const Row& r) { return r.megabytes == megabytes; });
    if (row == std::end(kRows)) return std::nullopt;
    FormatParameters f;
    f.megabytes = row->megabytes;
    f.sectors_per_block = row->sectors_per_block;
    const uint32_t physical_blocks = megabytes * 2048u / row->sectors_per_block;
    const ZoneLayout zones = zone_layout(physical_blocks);
    f.logical_blocks = zones.zones * zones.logical_per_zone;
    f.cylinders = row->cylinders;
    f.heads = row->heads;
    f.sectors_per_track = row->sectors;
    f.partition_start = row->start;
    f.partition_sectors = uint32_t{row->cylinders} * row->heads * row->sectors - row->start;
    f.sectors_per_cluster = uint8_t(row->sectors_per_block);
    f.fat16 = megabytes >= 128;
    f.fat_sectors = row->fat_sectors;
    f.root_entries = 256;
    f.media = 0xF8;
    f.partition_type = !f.fat16 ? 0x01 : f.partition_sectors < 0x10000 ? 0x04 : 0x06;
    return f;
}

std::vector<uint8_t> cis_sector() {
    std::vector<uint8_t> sector(sector_bytes, 0x00);
    std::copy(cis_tuples.begin(), cis_tuples.end(), sector.begin());
    std::copy(cis_tuples.begin(), cis_tuples.end(), sector.begin() + 256);
    return sector;
}

std::optional<StandardLayout> standard_layout(unsigned megabytes, uint32_t serial) {
    const std::optional<FormatParameters> found = format_parameters(megabytes);
    if (!found) return std::nullopt;
    StandardLayout layout;
    const FormatParameters& f = layout.parameters = *found;

    layout.cis = cis_sector();

    // The system area, sector 0 up to the data area, in whole blocks.
    const uint32_t block_bytes = f.sectors_per_block * sector_bytes;
    const size_t used = size_t(f.data_start()) * sector_bytes;
    std::vector<uint8_t> area((used + block_bytes - 1) / block_bytes * block_bytes, 0x00);
    master_boot_record(area.data(), f);
    boot_sector(area.data() + size_t(f.partition_start) * sector_bytes, f, serial);
    for (uint32_t n = 0; n < 2; ++n) {
        uint8_t* fat = area.data() + (size_t(f.partition_start) + 1 + n * f.fat_sectors) * sector_bytes;
        fat[0] = f.media;  // entries 0 and 1: the media byte, then all ones
        fat[1] = fat[2] = 0xFF;
        if (f.fat16) fat[3] = 0xFF;
    }
    for (uint32_t b = 0; b * block_bytes < area.size(); ++b)
        layout.blocks.emplace(b, std::vector<uint8_t>(area.begin() + std::ptrdiff_t(b) * block_bytes,
                                                      area.begin() + std::ptrdiff_t(b + 1) * block_bytes));
    return layout;
}

std::vector<uint8_t> render_logical_disk(const StandardLayout& layout) {
    const FormatParameters& f = layout.parameters;
    const size_t block_bytes = size_t(f.sectors_per_block) * sector_bytes;
    std::vector<uint8_t> disk(f.logical_blocks * block_bytes, 0xFF);
    for (const auto& [block, bytes] : layout.blocks)
        std::copy(bytes.begin(), bytes.end(), disk.begin() + std::ptrdiff_t(block * block_bytes));
    return disk;
}

}  // namespace smformat
