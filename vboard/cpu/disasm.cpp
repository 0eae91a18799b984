#include "cpu/disasm.h"

#include <cstdio>

#include "cpu/opcodes.h"
#include "cpu/sfr.h"

namespace vboard {

namespace {

std::string hex(unsigned v, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", digits, v);
    return buf;
}

}  // namespace

std::string direct_name(std::uint8_t addr) {
    if (addr >= 0x80)
        if (const char* n = sfr::name(addr)) return n;
    return hex(addr, 2);
}

std::string bit_name(std::uint8_t bit) {
    const std::string byte = bit < 0x80 ? hex(0x20 + (bit >> 3), 2) : direct_name(bit & 0xF8);
    return byte + "." + std::to_string(bit & 7);
}

std::string disassemble(std::uint16_t addr, std::uint8_t b0, std::uint8_t b1, std::uint8_t b2) {
    const OpInfo& info = opcode_table[b0];
    const std::uint8_t bytes[3] = {b0, b1, b2};
    const auto next = static_cast<std::uint16_t>(addr + info.length);
    std::string out;
    for (const char* p = info.format; *p; ++p) {
        if (*p != '{') {
            out += *p;
            continue;
        }
        const char kind = p[1];
        const int n = (p[2] >= '1' && p[2] <= '2') ? p[2] - '0' : 0;
        while (*p && *p != '}') ++p;
        if (!*p) break;
        switch (kind) {
        case 'd': out += direct_name(bytes[n]); break;
        case 'i': out += '#'; out += hex(bytes[n], 2); break;
        case 'I': out += '#'; out += hex(static_cast<unsigned>(b1 << 8 | b2), 4); break;
        case 'b': out += bit_name(bytes[n]); break;
        case 'r': out += hex(static_cast<std::uint16_t>(next + static_cast<std::int8_t>(bytes[n])), 4); break;
        case 'A': out += hex(static_cast<unsigned>((next & 0xF800) | ((b0 & 0xE0) << 3) | b1), 4); break;
        case 'L': out += hex(static_cast<unsigned>(b1 << 8 | b2), 4); break;
        default: out += '?'; break;
        }
    }
    return out;
}

}  // namespace vboard
