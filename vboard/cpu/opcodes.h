// The opcode table of the core: one row per opcode with the mnemonic format,
// the length in bytes and the instruction cycles charged. The run loop charges
// cycles from it and the disassembler prints from it.
//
// Operand tokens in a format: {d1} {d2} direct address in byte 1/2, {i1} {i2}
// immediate byte, {I} 16-bit immediate, {b1} bit address, {r1} {r2} relative
// target, {A} 11-bit page address, {L} 16-bit address.
#pragma once

#include <cstdint>

namespace vboard {

struct OpInfo {
    const char* format;
    std::uint8_t length;
    std::uint8_t cycles;  // MOVX: without the CKCON stretch
};

inline constexpr OpInfo opcode_table[256] = {
    {"nop", 1, 1},  // 0x00
    {"ajmp {A}", 2, 3},  // 0x01
    {"ljmp {L}", 3, 4},  // 0x02
    {"rr a", 1, 1},  // 0x03
    {"inc a", 1, 1},  // 0x04
    {"inc {d1}", 2, 2},  // 0x05
    {"inc @r0", 1, 1},  // 0x06
    {"inc @r1", 1, 1},  // 0x07
    {"inc r0", 1, 1},  // 0x08
    {"inc r1", 1, 1},  // 0x09
    {"inc r2", 1, 1},  // 0x0A
    {"inc r3", 1, 1},  // 0x0B
    {"inc r4", 1, 1},  // 0x0C
    {"inc r5", 1, 1},  // 0x0D
    {"inc r6", 1, 1},  // 0x0E
    {"inc r7", 1, 1},  // 0x0F
    {"jbc {b1},{r2}", 3, 4},  // 0x10
    {"acall {A}", 2, 3},  // 0x11
    {"lcall {L}", 3, 4},  // 0x12
    {"rrc a", 1, 1},  // 0x13
    {"dec a", 1, 1},  // 0x14
    {"dec {d1}", 2, 2},  // 0x15
    {"dec @r0", 1, 1},  // 0x16
    {"dec @r1", 1, 1},  // 0x17
    {"dec r0", 1, 1},  // 0x18
    {"dec r1", 1, 1},  // 0x19
    {"dec r2", 1, 1},  // 0x1A
    {"dec r3", 1, 1},  // 0x1B
    {"dec r4", 1, 1},  // 0x1C
    {"dec r5", 1, 1},  // 0x1D
    {"dec r6", 1, 1},  // 0x1E
    {"dec r7", 1, 1},  // 0x1F
    {"jb {b1},{r2}", 3, 4},  // 0x20
    {"ajmp {A}", 2, 3},  // 0x21
    {"ret", 1, 4},  // 0x22
    {"rl a", 1, 1},  // 0x23
    {"add a,{i1}", 2, 2},  // 0x24
    {"add a,{d1}", 2, 2},  // 0x25
    {"add a,@r0", 1, 1},  // 0x26
    {"add a,@r1", 1, 1},  // 0x27
    {"add a,r0", 1, 1},  // 0x28
    {"add a,r1", 1, 1},  // 0x29
    {"add a,r2", 1, 1},  // 0x2A
    {"add a,r3", 1, 1},  // 0x2B
    {"add a,r4", 1, 1},  // 0x2C
    {"add a,r5", 1, 1},  // 0x2D
    {"add a,r6", 1, 1},  // 0x2E
    {"add a,r7", 1, 1},  // 0x2F
    {"jnb {b1},{r2}", 3, 4},  // 0x30
    {"acall {A}", 2, 3},  // 0x31
    {"reti", 1, 4},  // 0x32
    {"rlc a", 1, 1},  // 0x33
    {"addc a,{i1}", 2, 2},  // 0x34
    {"addc a,{d1}", 2, 2},  // 0x35
    {"addc a,@r0", 1, 1},  // 0x36
    {"addc a,@r1", 1, 1},  // 0x37
    {"addc a,r0", 1, 1},  // 0x38
    {"addc a,r1", 1, 1},  // 0x39
    {"addc a,r2", 1, 1},  // 0x3A
    {"addc a,r3", 1, 1},  // 0x3B
    {"addc a,r4", 1, 1},  // 0x3C
    {"addc a,r5", 1, 1},  // 0x3D
    {"addc a,r6", 1, 1},  // 0x3E
    {"addc a,r7", 1, 1},  // 0x3F
    {"jc {r1}", 2, 3},  // 0x40
    {"ajmp {A}", 2, 3},  // 0x41
    {"orl {d1},a", 2, 2},  // 0x42
    {"orl {d1},{i2}", 3, 3},  // 0x43
    {"orl a,{i1}", 2, 2},  // 0x44
    {"orl a,{d1}", 2, 2},  // 0x45
    {"orl a,@r0", 1, 1},  // 0x46
    {"orl a,@r1", 1, 1},  // 0x47
    {"orl a,r0", 1, 1},  // 0x48
    {"orl a,r1", 1, 1},  // 0x49
    {"orl a,r2", 1, 1},  // 0x4A
    {"orl a,r3", 1, 1},  // 0x4B
    {"orl a,r4", 1, 1},  // 0x4C
    {"orl a,r5", 1, 1},  // 0x4D
    {"orl a,r6", 1, 1},  // 0x4E
    {"orl a,r7", 1, 1},  // 0x4F
    {"jnc {r1}", 2, 3},  // 0x50
    {"acall {A}", 2, 3},  // 0x51
    {"anl {d1},a", 2, 2},  // 0x52
    {"anl {d1},{i2}", 3, 3},  // 0x53
    {"anl a,{i1}", 2, 2},  // 0x54
    {"anl a,{d1}", 2, 2},  // 0x55
    {"anl a,@r0", 1, 1},  // 0x56
    {"anl a,@r1", 1, 1},  // 0x57
    {"anl a,r0", 1, 1},  // 0x58
    {"anl a,r1", 1, 1},  // 0x59
    {"anl a,r2", 1, 1},  // 0x5A
    {"anl a,r3", 1, 1},  // 0x5B
    {"anl a,r4", 1, 1},  // 0x5C
    {"anl a,r5", 1, 1},  // 0x5D
    {"anl a,r6", 1, 1},  // 0x5E
    {"anl a,r7", 1, 1},  // 0x5F
    {"jz {r1}", 2, 3},  // 0x60
    {"ajmp {A}", 2, 3},  // 0x61
    {"xrl {d1},a", 2, 2},  // 0x62
    {"xrl {d1},{i2}", 3, 3},  // 0x63
    {"xrl a,{i1}", 2, 2},  // 0x64
    {"xrl a,{d1}", 2, 2},  // 0x65
    {"xrl a,@r0", 1, 1},  // 0x66
    {"xrl a,@r1", 1, 1},  // 0x67
    {"xrl a,r0", 1, 1},  // 0x68
    {"xrl a,r1", 1, 1},  // 0x69
    {"xrl a,r2", 1, 1},  // 0x6A
    {"xrl a,r3", 1, 1},  // 0x6B
    {"xrl a,r4", 1, 1},  // 0x6C
    {"xrl a,r5", 1, 1},  // 0x6D
    {"xrl a,r6", 1, 1},  // 0x6E
    {"xrl a,r7", 1, 1},  // 0x6F
    {"jnz {r1}", 2, 3},  // 0x70
    {"acall {A}", 2, 3},  // 0x71
    {"orl c,{b1}", 2, 2},  // 0x72
    {"jmp @a+dptr", 1, 3},  // 0x73
    {"mov a,{i1}", 2, 2},  // 0x74
    {"mov {d1},{i2}", 3, 3},  // 0x75
    {"mov @r0,{i1}", 2, 2},  // 0x76
    {"mov @r1,{i1}", 2, 2},  // 0x77
    {"mov r0,{i1}", 2, 2},  // 0x78
    {"mov r1,{i1}", 2, 2},  // 0x79
    {"mov r2,{i1}", 2, 2},  // 0x7A
    {"mov r3,{i1}", 2, 2},  // 0x7B
    {"mov r4,{i1}", 2, 2},  // 0x7C
    {"mov r5,{i1}", 2, 2},  // 0x7D
    {"mov r6,{i1}", 2, 2},  // 0x7E
    {"mov r7,{i1}", 2, 2},  // 0x7F
    {"sjmp {r1}", 2, 3},  // 0x80
    {"ajmp {A}", 2, 3},  // 0x81
    {"anl c,{b1}", 2, 2},  // 0x82
    {"movc a,@a+pc", 1, 3},  // 0x83
    {"div ab", 1, 5},  // 0x84
    {"mov {d2},{d1}", 3, 3},  // 0x85
    {"mov {d1},@r0", 2, 2},  // 0x86
    {"mov {d1},@r1", 2, 2},  // 0x87
    {"mov {d1},r0", 2, 2},  // 0x88
    {"mov {d1},r1", 2, 2},  // 0x89
    {"mov {d1},r2", 2, 2},  // 0x8A
    {"mov {d1},r3", 2, 2},  // 0x8B
    {"mov {d1},r4", 2, 2},  // 0x8C
    {"mov {d1},r5", 2, 2},  // 0x8D
    {"mov {d1},r6", 2, 2},  // 0x8E
    {"mov {d1},r7", 2, 2},  // 0x8F
    {"mov dptr,{I}", 3, 3},  // 0x90
    {"acall {A}", 2, 3},  // 0x91
    {"mov {b1},c", 2, 2},  // 0x92
    {"movc a,@a+dptr", 1, 3},  // 0x93
    {"subb a,{i1}", 2, 2},  // 0x94
    {"subb a,{d1}", 2, 2},  // 0x95
    {"subb a,@r0", 1, 1},  // 0x96
    {"subb a,@r1", 1, 1},  // 0x97
    {"subb a,r0", 1, 1},  // 0x98
    {"subb a,r1", 1, 1},  // 0x99
    {"subb a,r2", 1, 1},  // 0x9A
    {"subb a,r3", 1, 1},  // 0x9B
    {"subb a,r4", 1, 1},  // 0x9C
    {"subb a,r5", 1, 1},  // 0x9D
    {"subb a,r6", 1, 1},  // 0x9E
    {"subb a,r7", 1, 1},  // 0x9F
    {"orl c,/{b1}", 2, 2},  // 0xA0
    {"ajmp {A}", 2, 3},  // 0xA1
    {"mov c,{b1}", 2, 2},  // 0xA2
    {"inc dptr", 1, 3},  // 0xA3
    {"mul ab", 1, 5},  // 0xA4
    {"reserved", 1, 1},  // 0xA5
    {"mov @r0,{d1}", 2, 2},  // 0xA6
    {"mov @r1,{d1}", 2, 2},  // 0xA7
    {"mov r0,{d1}", 2, 2},  // 0xA8
    {"mov r1,{d1}", 2, 2},  // 0xA9
    {"mov r2,{d1}", 2, 2},  // 0xAA
    {"mov r3,{d1}", 2, 2},  // 0xAB
    {"mov r4,{d1}", 2, 2},  // 0xAC
    {"mov r5,{d1}", 2, 2},  // 0xAD
    {"mov r6,{d1}", 2, 2},  // 0xAE
    {"mov r7,{d1}", 2, 2},  // 0xAF
    {"anl c,/{b1}", 2, 2},  // 0xB0
    {"acall {A}", 2, 3},  // 0xB1
    {"cpl {b1}", 2, 2},  // 0xB2
    {"cpl c", 1, 1},  // 0xB3
    {"cjne a,{i1},{r2}", 3, 4},  // 0xB4
    {"cjne a,{d1},{r2}", 3, 4},  // 0xB5
    {"cjne @r0,{i1},{r2}", 3, 4},  // 0xB6
    {"cjne @r1,{i1},{r2}", 3, 4},  // 0xB7
    {"cjne r0,{i1},{r2}", 3, 4},  // 0xB8
    {"cjne r1,{i1},{r2}", 3, 4},  // 0xB9
    {"cjne r2,{i1},{r2}", 3, 4},  // 0xBA
    {"cjne r3,{i1},{r2}", 3, 4},  // 0xBB
    {"cjne r4,{i1},{r2}", 3, 4},  // 0xBC
    {"cjne r5,{i1},{r2}", 3, 4},  // 0xBD
    {"cjne r6,{i1},{r2}", 3, 4},  // 0xBE
    {"cjne r7,{i1},{r2}", 3, 4},  // 0xBF
    {"push {d1}", 2, 2},  // 0xC0
    {"ajmp {A}", 2, 3},  // 0xC1
    {"clr {b1}", 2, 2},  // 0xC2
    {"clr c", 1, 1},  // 0xC3
    {"swap a", 1, 1},  // 0xC4
    {"xch a,{d1}", 2, 2},  // 0xC5
    {"xch a,@r0", 1, 1},  // 0xC6
    {"xch a,@r1", 1, 1},  // 0xC7
    {"xch a,r0", 1, 1},  // 0xC8
    {"xch a,r1", 1, 1},  // 0xC9
    {"xch a,r2", 1, 1},  // 0xCA
    {"xch a,r3", 1, 1},  // 0xCB
    {"xch a,r4", 1, 1},  // 0xCC
    {"xch a,r5", 1, 1},  // 0xCD
    {"xch a,r6", 1, 1},  // 0xCE
    {"xch a,r7", 1, 1},  // 0xCF
    {"pop {d1}", 2, 2},  // 0xD0
    {"acall {A}", 2, 3},  // 0xD1
    {"setb {b1}", 2, 2},  // 0xD2
    {"setb c", 1, 1},  // 0xD3
    {"da a", 1, 1},  // 0xD4
    {"djnz {d1},{r2}", 3, 4},  // 0xD5
    {"xchd a,@r0", 1, 1},  // 0xD6
    {"xchd a,@r1", 1, 1},  // 0xD7
    {"djnz r0,{r1}", 2, 3},  // 0xD8
    {"djnz r1,{r1}", 2, 3},  // 0xD9
    {"djnz r2,{r1}", 2, 3},  // 0xDA
    {"djnz r3,{r1}", 2, 3},  // 0xDB
    {"djnz r4,{r1}", 2, 3},  // 0xDC
    {"djnz r5,{r1}", 2, 3},  // 0xDD
    {"djnz r6,{r1}", 2, 3},  // 0xDE
    {"djnz r7,{r1}", 2, 3},  // 0xDF
    {"movx a,@dptr", 1, 2},  // 0xE0
    {"ajmp {A}", 2, 3},  // 0xE1
    {"movx a,@r0", 1, 2},  // 0xE2
    {"movx a,@r1", 1, 2},  // 0xE3
    {"clr a", 1, 1},  // 0xE4
    {"mov a,{d1}", 2, 2},  // 0xE5
    {"mov a,@r0", 1, 1},  // 0xE6
    {"mov a,@r1", 1, 1},  // 0xE7
    {"mov a,r0", 1, 1},  // 0xE8
    {"mov a,r1", 1, 1},  // 0xE9
    {"mov a,r2", 1, 1},  // 0xEA
    {"mov a,r3", 1, 1},  // 0xEB
    {"mov a,r4", 1, 1},  // 0xEC
    {"mov a,r5", 1, 1},  // 0xED
    {"mov a,r6", 1, 1},  // 0xEE
    {"mov a,r7", 1, 1},  // 0xEF
    {"movx @dptr,a", 1, 2},  // 0xF0
    {"acall {A}", 2, 3},  // 0xF1
    {"movx @r0,a", 1, 2},  // 0xF2
    {"movx @r1,a", 1, 2},  // 0xF3
    {"cpl a", 1, 1},  // 0xF4
    {"mov {d1},a", 2, 2},  // 0xF5
    {"mov @r0,a", 1, 1},  // 0xF6
    {"mov @r1,a", 1, 1},  // 0xF7
    {"mov r0,a", 1, 1},  // 0xF8
    {"mov r1,a", 1, 1},  // 0xF9
    {"mov r2,a", 1, 1},  // 0xFA
    {"mov r3,a", 1, 1},  // 0xFB
    {"mov r4,a", 1, 1},  // 0xFC
    {"mov r5,a", 1, 1},  // 0xFD
    {"mov r6,a", 1, 1},  // 0xFE
    {"mov r7,a", 1, 1},  // 0xFF
};

// Cycles charged for each opcode (the same column, packed for the run loop).
struct OpCycles {
    std::uint8_t v[256];
};
inline constexpr OpCycles opcode_cycles = [] {
    OpCycles c{};
    for (int i = 0; i < 256; ++i) c.v[i] = opcode_table[i].cycles;
    return c;
}();

}  // namespace vboard
