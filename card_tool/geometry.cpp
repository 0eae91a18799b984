// Device codes of the SmartMedia sizes, as the makers' data sheets give them.
#include "card_tool/geometry.h"

namespace {

struct Size {
    unsigned char device;
    unsigned megabytes;
};

constexpr Size sizes[] = {
    {0x6E, 1}, {0xE8, 1}, {0xEC, 1},              // 1 MB
    {0x64, 2}, {0xEA, 2},                         // 2 MB
    {0x6B, 4}, {0xD5, 4}, {0xE3, 4}, {0xE5, 4},   // 4 MB
    {0xD6, 8}, {0xE6, 8},                         // 8 MB
    {0x73, 16}, {0x75, 32}, {0x76, 64}, {0x79, 128},
};

}  // namespace

sm_geometry sm_geometry_for(unsigned char device)
{
    sm_geometry g;
    for (const Size& s : sizes) {
        if (s.device != device)
            continue;
        g.megabytes = s.megabytes;
        const bool small_pages = s.megabytes <= 2;
        g.data_bytes = small_pages ? 256 : 512;
        g.spare_bytes = small_pages ? 8 : 16;
        g.pages = static_cast<uint32_t>(uint64_t{s.megabytes} * 1024 * 1024 / g.data_bytes);
        g.pages_per_block = s.megabytes <= 8 ? 16 : 32;
        g.address_cycles = s.megabytes >= 64 ? 3 : 2;
    }
    return g;
}
