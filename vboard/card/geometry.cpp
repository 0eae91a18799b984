// Device code -> memory array, as the public SmartMedia/NAND tables give it.
#include "card/card.h"

namespace vboard::card {

Geometry geometry_for_device(uint8_t device) {
    // pages, data bytes, spare bytes, pages per block, page address cycles
    switch (device) {
    case 0x6E: case 0xE8: case 0xEC:  // 1 MB: 256 + 8 byte pages, 4 KB blocks
        return {4096, 256, 8, 16, 2};
    case 0x64: case 0xEA:             // 2 MB
        return {8192, 256, 8, 16, 2};
    case 0x6B: case 0xD5: case 0xE3: case 0xE5:  // 4 MB: 512 + 16 byte pages, 8 KB blocks
        return {8192, 512, 16, 16, 2};
    case 0xD6: case 0xE6:             // 8 MB
        return {16384, 512, 16, 16, 2};
    case 0x73:                        // 16 MB: 16 KB blocks
        return {32768, 512, 16, 32, 2};
    case 0x75:                        // 32 MB
        return {65536, 512, 16, 32, 2};
    case 0x76:                        // 64 MB: one more page address byte
        return {131072, 512, 16, 32, 3};
    case 0x79:                        // 128 MB
        return {262144, 512, 16, 32, 3};
    default:                          // unknown: no array; addressed like a small card
        return {0, 0, 0, 0, 2};
    }
}

}  // namespace vboard::card
