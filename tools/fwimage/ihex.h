// Intel HEX reader for the firmware build.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace fwimage {

// One data record's bytes at their absolute address.
struct Chunk {
    uint32_t address;
    std::vector<uint8_t> bytes;
};

// Parses Intel HEX text (data, end-of-file and extended-address records).
// Throws std::runtime_error naming the line on a malformed record or a bad checksum.
std::vector<Chunk> parse_ihex(std::string_view text);

}  // namespace fwimage
