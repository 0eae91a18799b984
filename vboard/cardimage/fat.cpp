// An empty FAT file system for a card's logical disk: boot sector, two FATs
// and the root directory, no partition table (as mkfs.fat makes a whole-disk
// file system). FAT12 while the clusters stay below 4,085, FAT16 above.
#include "cardimage/card_image.h"

#include <algorithm>

namespace vboard::cardimage {
namespace {

void put16(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}
void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    put16(b, at, v & 0xFFFF);
    put16(b, at + 2, v >> 16);
}

}  // namespace

std::vector<uint8_t> empty_fat(uint64_t disk_bytes) {
    constexpr uint32_t sector = 512, reserved = 1, fats = 2, root_entries = 256;
    constexpr uint32_t root_sectors = root_entries * 32 / sector;
    const uint32_t sectors = uint32_t(disk_bytes / sector);
    uint32_t per_cluster = 1;
    while (sectors / per_cluster >= 4085 && per_cluster < 16) per_cluster *= 2;  // FAT12 up to 16 MB
    while (sectors / per_cluster >= 65525 && per_cluster < 128) per_cluster *= 2;
    const bool fat12 = sectors / per_cluster < 4085;
    // FAT size from the clusters it must describe (a slight overestimate is harmless).
    const uint32_t clusters = sectors / per_cluster + 2;
    const uint32_t fat_bytes = fat12 ? (clusters * 3 + 1) / 2 : clusters * 2;
    const uint32_t fat_sectors = (fat_bytes + sector - 1) / sector;

    std::vector<uint8_t> b(size_t(reserved + fats * fat_sectors + root_sectors) * sector, 0);
    const uint8_t jump[] = {0xEB, 0x3C, 0x90};
    std::copy(std::begin(jump), std::end(jump), b.begin());
    const char oem[] = "NEBU    ";
    std::copy(oem, oem + 8, b.begin() + 3);
    put16(b, 11, sector);
    b[13] = uint8_t(per_cluster);
    put16(b, 14, reserved);
    b[16] = fats;
    put16(b, 17, root_entries);
    if (sectors < 65536)
        put16(b, 19, sectors);
    else
        put32(b, 32, sectors);
    b[21] = 0xF8;  // fixed disk
    put16(b, 22, fat_sectors);
    put16(b, 24, 32);  // sectors per track, heads: nominal
    put16(b, 26, 2);
    b[38] = 0x29;      // extended boot signature: serial, label and type follow
    put32(b, 39, 0x4E454255);
    const char label[] = "NO NAME    ";
    std::copy(label, label + 11, b.begin() + 43);
    const char* type = fat12 ? "FAT12   " : "FAT16   ";
    std::copy(type, type + 8, b.begin() + 54);
    b[510] = 0x55;
    b[511] = 0xAA;
    for (uint32_t f = 0; f < fats; ++f) {
        const size_t at = size_t(reserved + f * fat_sectors) * sector;
        b[at] = 0xF8;  // entries 0 and 1: the media byte, then all ones
        b[at + 1] = 0xFF;
        b[at + 2] = 0xFF;
        if (!fat12) b[at + 3] = 0xFF;
    }
    return b;
}

}  // namespace vboard::cardimage
