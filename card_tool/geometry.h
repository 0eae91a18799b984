// The card's memory array, from its ID bytes: the tool's own table of the
// SmartMedia sizes from 1 MB to 128 MB.
#pragma once

#include <cstdint>

struct sm_geometry {
    unsigned megabytes = 0;        // 0: a device code the table does not know
    uint32_t pages = 0;
    unsigned data_bytes = 0;       // 256 (1 MB and 2 MB cards) or 512
    unsigned spare_bytes = 0;      // 8 or 16
    unsigned pages_per_block = 0;  // erase unit: 16 pages up to 8 MB, 32 above
    unsigned address_cycles = 0;   // page address bytes after the column byte: 2, or 3 from 64 MB

    unsigned page_bytes() const { return data_bytes + spare_bytes; }
    uint32_t blocks() const { return pages / pages_per_block; }
    uint64_t raw_bytes() const { return uint64_t{pages} * page_bytes(); }
};

// The geometry the device code stands for; megabytes 0 when it is unknown.
sm_geometry sm_geometry_for(unsigned char device);
