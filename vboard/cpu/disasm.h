// Disassembler of the core's instruction set, from the opcode table.
#pragma once

#include <cstdint>
#include <string>

namespace vboard {

// Text of the instruction at `addr` whose bytes are b0 b1 b2 (only as many as
// its length are used): lower-case mnemonic, SFRs by name, hex operands,
// branch targets as absolute addresses. E.g. "mov a,DPL", "jnz 0x0103".
std::string disassemble(std::uint16_t addr, std::uint8_t b0, std::uint8_t b1, std::uint8_t b2);

// Name of a bit address: "ACC.7", "EICON.4", "0x20.3" (IRAM), "0xC0.1".
std::string bit_name(std::uint8_t bit);

// Name of a direct address: an SFR's name, else "0x5A".
std::string direct_name(std::uint8_t addr);

}  // namespace vboard
