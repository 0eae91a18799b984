// What the differential tests know about each MCS-51 opcode, written down
// independently of the core under test: operand shapes (for the program
// generator), lengths, the 4-clock core's cycle counts, and a one-line
// disassembly for failure messages.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace cpu_diff {

// Operand letters, in encoding order:
//   d direct byte, read          D direct byte, written
//   b bit address, read          B bit address, written
//   i 8-bit immediate            I 16-bit immediate
//   r relative branch offset     a 11-bit page address (in the opcode and one byte)
//   L 16-bit address
struct OpcodeShape {
    const char* mnemonic;  // "{0}", "{1}" name operands in encoding order
    const char* operands;
};

const OpcodeShape& opcode_shape(uint8_t op);

// Bytes the instruction occupies.
int opcode_length(uint8_t op);

// Instruction cycles of the 4-clock core; `movx_stretch` is CKCON.MD.
int opcode_cycles(uint8_t op, int movx_stretch);

// "ADD A,#0x12"-style text of the instruction at the start of `bytes`
// (at address `pc`, so relative targets print as addresses).
std::string disassemble(std::span<const uint8_t> bytes, uint16_t pc);

}  // namespace cpu_diff
