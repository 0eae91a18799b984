// The 22-bit line/column parity code over 256 bytes: corrects one bit,
// detects two.
#include <bit>

#include "smformat/smformat.h"

namespace smformat {
namespace {

bool parity(unsigned v) { return (std::popcount(v) & 1) != 0; }

// The code before inversion: lp holds LP15..LP00 (LP2k = parity of the bytes
// whose index has bit k clear, LP2k+1 of those with it set), cp CP5..CP0.
void parities(const uint8_t* data, unsigned& lp, unsigned& cp) {
    unsigned columns = 0;  // XOR of all bytes
    unsigned odd_index = 0, even_index = 0;
    for (unsigned i = 0; i < 256; ++i) {
        columns ^= data[i];
        if (parity(data[i])) {
            odd_index ^= i;
            even_index ^= ~i & 0xFFu;
        }
    }
    lp = 0;
    for (unsigned k = 0; k < 8; ++k) {
        lp |= ((even_index >> k) & 1u) << (2 * k);
        lp |= ((odd_index >> k) & 1u) << (2 * k + 1);
    }
    cp = unsigned(parity(columns & 0x55)) | unsigned(parity(columns & 0xAA)) << 1 |
         unsigned(parity(columns & 0x33)) << 2 | unsigned(parity(columns & 0xCC)) << 3 |
         unsigned(parity(columns & 0x0F)) << 4 | unsigned(parity(columns & 0xF0)) << 5;
}

}  // namespace

Ecc ecc_compute(const uint8_t* data) {
    unsigned lp = 0, cp = 0;
    parities(data, lp, cp);
    return {uint8_t(~lp & 0xFF), uint8_t(~(lp >> 8) & 0xFF), uint8_t(~(cp << 2) & 0xFF)};
}

EccResult ecc_check(uint8_t* data, const uint8_t* stored) {
    const Ecc now = ecc_compute(data);
    const unsigned d0 = now[0] ^ stored[0], d1 = now[1] ^ stored[1], d2 = (now[2] ^ stored[2]) & 0xFC;
    if ((d0 | d1 | d2) == 0) return EccResult::clean;
    // One flipped data bit flips exactly one parity of every pair.
    const bool pairs = ((d0 ^ (d0 >> 1)) & 0x55) == 0x55 && ((d1 ^ (d1 >> 1)) & 0x55) == 0x55 &&
                       ((d2 ^ (d2 >> 1)) & 0x54) == 0x54;
    if (pairs) {
        unsigned byte = 0;
        for (unsigned k = 0; k < 4; ++k) {
            byte |= ((d0 >> (2 * k + 1)) & 1u) << k;
            byte |= ((d1 >> (2 * k + 1)) & 1u) << (k + 4);
        }
        const unsigned bit = ((d2 >> 3) & 1u) | ((d2 >> 5) & 1u) << 1 | ((d2 >> 7) & 1u) << 2;
        data[byte] ^= uint8_t(1u << bit);
        return EccResult::corrected;
    }
    if (std::popcount(d0) + std::popcount(d1) + std::popcount(d2) == 1) return EccResult::code_corrupt;
    return EccResult::uncorrectable;
}

}  // namespace smformat
