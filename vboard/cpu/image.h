// Loading of 8051 program images: Intel HEX, or raw binary loaded at 0.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vboard {

struct ImageRange {
    std::uint32_t begin;  // first address
    std::uint32_t end;    // one past the last
};

// Loads the file at `path` into `code` (65,536 bytes). A file whose first
// non-blank character is ':' is read as Intel HEX (checksums verified, data
// records only below 64 KiB); anything else is a raw binary of at most 64 KiB
// at address 0. On success returns true and, when `ranges` is given, the
// address ranges loaded in address order; on failure returns false with a
// one-line reason in `error`, and `code` may be partly written.
bool load_image(const std::string& path, std::uint8_t* code, std::vector<ImageRange>* ranges, std::string* error);

// The same for an image already in memory; `name` is used in error texts.
bool load_image_bytes(const std::string& data, const std::string& name, std::uint8_t* code,
                      std::vector<ImageRange>* ranges, std::string* error);

}  // namespace vboard
