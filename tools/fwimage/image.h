// Turns linker output into the raw firmware image and its C++ array.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ihex.h"

namespace fwimage {

// Lays the chunks into an image of `size` bytes; every byte no chunk writes is `fill`.
// Throws std::runtime_error when a byte lies at or above `size` or two chunks write
// the same address.
std::vector<uint8_t> build_image(const std::vector<Chunk>& chunks, uint32_t size, uint8_t fill);

// C++ source defining `const unsigned char <name>[<size>]` with the image bytes,
// including `header` for the declaration.
std::string to_cpp_array(const std::vector<uint8_t>& image, std::string_view header,
                         std::string_view name);

}  // namespace fwimage
