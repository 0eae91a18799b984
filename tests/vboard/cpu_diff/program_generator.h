// Random MCS-51 programs for differential runs: every opcode, random
// operands, and a shape that always terminates and never leaves its code.
//
// A program is a prologue, a body of "units" run `passes` times by a loop
// counter, and a closing `sjmp .` at `halt`. A unit is one instruction
// under test plus the few instructions that keep it safe (a pointer set
// just before an @Ri write, DPTR set before MOVX/MOVC, a `mov acc,acc`
// after a write to PSW). Every branch, jump and computed jump goes forward
// to the start of a later unit of its own block; calls go back to
// subroutines defined earlier (jumped over where they are defined) and
// return with RET or RETI; PUSH and POP come in balanced groups. So the
// stack pointer is the same at every unit boundary and every pass ends.
//
// Memory the units leave alone: the pass counter (IRAM 0x7F, written only
// by the loop) and the stack (IRAM 0xC0-0xFF, written only by calls and
// pushes). Direct and bit operands are IRAM 0x00-0x7F and the SFRs that
// are plain registers in both simulators (see program_generator.cpp).
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <vector>

namespace cpu_diff {

constexpr uint8_t kStackBase = 0xBF;     // SP after the prologue; pushes land from 0xC0
constexpr uint8_t kPassCounter = 0x7F;   // IRAM byte counting the passes

struct Program {
    std::vector<uint8_t> image;          // code, loaded at address 0
    uint16_t halt = 0;                   // address of the closing `sjmp .`
    uint64_t instructions = 0;           // instructions placed in the code
    std::array<uint32_t, 256> opcode_uses{};  // how often each opcode was placed
};

struct GeneratorOptions {
    uint32_t code_budget = 0xD000;  // bytes of body after which the loop tail follows
    uint8_t passes = 4;             // times the body runs
};

Program generate_program(uint64_t seed, const GeneratorOptions& options = {});

// One execution step of a program whose path is known in advance.
struct TraceStep {
    uint16_t pc;
    uint8_t movx_stretch;  // CKCON.MD in force when it runs
};

// A straight-line program that runs every opcode (all eight AJMP and
// ACALL forms included) at least once, with the path it takes.
struct TracedProgram {
    Program program;
    std::vector<TraceStep> trace;
};

TracedProgram every_opcode_once();

// Writes `image` as Intel HEX (16-byte data records, end record).
void write_intel_hex(const std::filesystem::path& path, const std::vector<uint8_t>& image);

}  // namespace cpu_diff
