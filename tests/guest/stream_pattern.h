// What the guest test streams and how it fingerprints it: shared by the
// program in the guest and the test that checks what the card saw.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace guest_test {

inline constexpr size_t stream_bytes = 1u << 20;

inline std::vector<unsigned char> pattern(size_t length, unsigned seed = 1) {
    std::vector<unsigned char> bytes(length);
    for (size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<unsigned char>((i * 131 + seed * 7 + (i >> 8) + (i >> 16)) & 0xFF);
    return bytes;
}

inline uint64_t fnv1a(std::span<const unsigned char> bytes) {
    uint64_t hash = 0xcbf29ce484222325ull;
    for (const unsigned char b : bytes) hash = (hash ^ b) * 0x100000001b3ull;
    return hash;
}

}  // namespace guest_test
