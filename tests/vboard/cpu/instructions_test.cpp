// Single-step cases per instruction family: initial state and bytes, then the
// state, PC and cycles after one step. Edges are chosen on purpose: carry,
// half-carry and overflow boundaries, DA A, DIV by zero, register banks, @Ri
// above 0x7F, page edges of AJMP/ACALL, CJNE's carry, branches that wrap.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "machine.h"

namespace vboard::test {
namespace {

// Locations: 0x00-0xFF direct addresses (IRAM below 0x80, core SFRs above;
// PSW compares with its parity bit), I() IRAM by indirect address, X()
// external RAM, C() code memory.
constexpr int I(int a) { return 0x100 + a; }
constexpr int X(int a) { return 0x10000 + a; }
constexpr int C(int a) { return 0x20000 + a; }
constexpr int A = 0xE0, B = 0xF0, PSW = 0xD0, SP = 0x81, DPL = 0x82, DPH = 0x83, DPL1 = 0x84, DPH1 = 0x85,
              DPS = 0x86, CKCON = 0x8E, MPAGE = 0x92;

struct Set {
    int at;
    std::uint8_t v;
};

struct Case {
    const char* name;
    std::uint16_t org;
    std::vector<std::uint8_t> code;
    std::vector<Set> before;
    std::vector<Set> after;
    std::uint16_t pc;
    unsigned cycles;
};

void put(Machine& m, int at, std::uint8_t v) {
    if (at < 0x80) m.cpu.iram()[at] = v;
    else if (at < 0x100) m.cpu.set_sfr(static_cast<std::uint8_t>(at), v);
    else if (at < 0x10000) m.cpu.iram()[at - 0x100] = v;
    else if (at < 0x20000) m.xram[at - 0x10000] = v;
    else m.code[at - 0x20000] = v;
}

std::uint8_t get(const Machine& m, int at) {
    if (at < 0x80) return m.cpu.iram()[at];
    if (at < 0x100) return m.cpu.sfr(static_cast<std::uint8_t>(at));
    if (at < 0x10000) return m.cpu.iram()[at - 0x100];
    if (at < 0x20000) return m.xram[at - 0x10000];
    return m.code[at - 0x20000];
}

std::string where(int at) {
    char buf[32];
    if (at < 0x100) std::snprintf(buf, sizeof buf, "direct 0x%02X", at);
    else if (at < 0x10000) std::snprintf(buf, sizeof buf, "IRAM 0x%02X", at - 0x100);
    else if (at < 0x20000) std::snprintf(buf, sizeof buf, "XRAM 0x%04X", at - 0x10000);
    else std::snprintf(buf, sizeof buf, "code 0x%04X", at - 0x20000);
    return buf;
}

void run_cases(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Machine m;
        std::uint16_t a = c.org;
        for (std::uint8_t b : c.code) m.code[a++] = b;
        m.cpu.set_pc(c.org);
        for (const Set& s : c.before) put(m, s.at, s.v);
        const std::uint64_t cycles = m.cpu.step();
        EXPECT_EQ(m.cpu.instructions(), 1u);
        EXPECT_EQ(m.cpu.pc(), c.pc) << "PC after the step";
        EXPECT_EQ(cycles, c.cycles) << "cycles charged";
        for (const Set& s : c.after)
            EXPECT_EQ(static_cast<int>(get(m, s.at)), static_cast<int>(s.v)) << where(s.at);
        EXPECT_TRUE(m.diag.empty()) << "unexpected finding";
    }
}

TEST(Arithmetic, AddSubtractIncrementDecrement) {
    run_cases({
        {"add a,#data: 0x7F+1 overflows into bit 7", 0, {0x24, 0x01}, {{A, 0x7F}}, {{A, 0x80}, {PSW, 0x45}}, 2, 2},
        {"add a,#data: 0xFF+1 carries out to zero", 0, {0x24, 0x01}, {{A, 0xFF}}, {{A, 0x00}, {PSW, 0xC0}}, 2, 2},
        {"add a,direct: two negatives", 0, {0x25, 0x30}, {{A, 0x80}, {0x30, 0x80}}, {{A, 0x00}, {PSW, 0x84}}, 2, 2},
        {"addc a,@r0: carry in makes the half carry", 0, {0x36}, {{A, 0x0F}, {0x00, 0x40}, {I(0x40), 0x00}, {PSW, 0x80}},
         {{A, 0x10}, {PSW, 0x41}}, 1, 1},
        {"addc a,r5 in bank 3", 0, {0x3D}, {{PSW, 0x18}, {I(0x1D), 0x22}, {I(0x05), 0x99}, {A, 0x11}},
         {{A, 0x33}, {PSW, 0x18}}, 1, 1},
        {"subb a,#data: 0-1 borrows", 0, {0x94, 0x01}, {{A, 0x00}}, {{A, 0xFF}, {PSW, 0xC0}}, 2, 2},
        {"subb a,direct: 0x80-1 overflows", 0, {0x95, 0x31}, {{A, 0x80}, {0x31, 0x01}}, {{A, 0x7F}, {PSW, 0x45}}, 2, 2},
        {"subb a,r2: borrow in gives zero", 0, {0x9A}, {{A, 0x10}, {I(0x02), 0x0F}, {PSW, 0x80}}, {{A, 0x00}, {PSW, 0x40}}, 1, 1},
        {"subb a,@r1: positive minus negative overflows", 0, {0x97}, {{A, 0x7F}, {0x01, 0x50}, {I(0x50), 0xFF}},
         {{A, 0x80}, {PSW, 0x85}}, 1, 1},
        {"inc a wraps, flags untouched", 0, {0x04}, {{A, 0xFF}, {PSW, 0x80}}, {{A, 0x00}, {PSW, 0x80}}, 1, 1},
        {"inc direct wraps", 0, {0x05, 0x30}, {{0x30, 0xFF}}, {{0x30, 0x00}}, 2, 2},
        {"inc @r0 above 0x7F is IRAM, not an SFR", 0, {0x06}, {{0x00, 0x90}, {I(0x90), 0x41}}, {{I(0x90), 0x42}}, 1, 1},
        {"dec r3 in bank 1", 0, {0x1B}, {{PSW, 0x08}, {I(0x0B), 0x00}, {I(0x03), 0x77}}, {{I(0x0B), 0xFF}, {I(0x03), 0x77}}, 1, 1},
        {"dec direct on B", 0, {0x15, 0xF0}, {{B, 0x00}}, {{B, 0xFF}}, 2, 2},
        {"dec @r1", 0, {0x17}, {{0x01, 0x33}, {I(0x33), 0x01}}, {{I(0x33), 0x00}}, 1, 1},
        {"inc dptr wraps 16 bits", 0, {0xA3}, {{DPL, 0xFF}, {DPH, 0xFF}}, {{DPL, 0x00}, {DPH, 0x00}}, 1, 3},
        {"inc dptr carries into DPH", 0, {0xA3}, {{DPL, 0xFF}, {DPH, 0x12}}, {{DPL, 0x00}, {DPH, 0x13}}, 1, 3},
    });
}

TEST(Arithmetic, MultiplyDivideDecimalAdjust) {
    run_cases({
        {"mul ab: product above 0xFF sets OV, clears CY", 0, {0xA4}, {{A, 0x50}, {B, 0xA0}, {PSW, 0x80}},
         {{A, 0x00}, {B, 0x32}, {PSW, 0x04}}, 1, 5},
        {"mul ab: small product", 0, {0xA4}, {{A, 0x0F}, {B, 0x0F}, {PSW, 0x04}}, {{A, 0xE1}, {B, 0x00}, {PSW, 0x00}}, 1, 5},
        {"div ab: quotient and remainder", 0, {0x84}, {{A, 0xFB}, {B, 0x12}, {PSW, 0x84}}, {{A, 0x0D}, {B, 0x11}, {PSW, 0x01}}, 1, 5},
        {"div ab by zero sets OV and keeps A and B", 0, {0x84}, {{A, 0x10}, {B, 0x00}, {PSW, 0x80}},
         {{A, 0x10}, {B, 0x00}, {PSW, 0x05}}, 1, 5},
        {"da a: both digits adjusted, carry out", 0, {0xD4}, {{A, 0xBD}}, {{A, 0x23}, {PSW, 0x81}}, 1, 1},
        {"da a: AC and CY set on zero", 0, {0xD4}, {{A, 0x00}, {PSW, 0xC0}}, {{A, 0x66}, {PSW, 0xC0}}, 1, 1},
        {"da a: high digit only", 0, {0xD4}, {{A, 0xA0}}, {{A, 0x00}, {PSW, 0x80}}, 1, 1},
        {"da a: valid BCD unchanged", 0, {0xD4}, {{A, 0x45}}, {{A, 0x45}, {PSW, 0x01}}, 1, 1},
        {"da a: low digit carries into a high 9", 0, {0xD4}, {{A, 0x9A}}, {{A, 0x00}, {PSW, 0x80}}, 1, 1},
    });
}

TEST(Logic, AndOrXorClearComplementRotate) {
    run_cases({
        {"anl a,#data", 0, {0x54, 0x3C}, {{A, 0xF0}}, {{A, 0x30}, {PSW, 0x00}}, 2, 2},
        {"anl direct,#data", 0, {0x53, 0x30, 0x0F}, {{0x30, 0xAB}}, {{0x30, 0x0B}}, 3, 3},
        {"anl direct,a on an SFR", 0, {0x52, 0xF0}, {{B, 0xF3}, {A, 0x3C}}, {{B, 0x30}}, 2, 2},
        {"orl direct,a on B", 0, {0x42, 0xF0}, {{B, 0x01}, {A, 0x80}}, {{B, 0x81}}, 2, 2},
        {"orl a,r7", 0, {0x4F}, {{I(0x07), 0x0F}, {A, 0xF0}}, {{A, 0xFF}}, 1, 1},
        {"orl direct,#data", 0, {0x43, 0x31, 0x81}, {{0x31, 0x18}}, {{0x31, 0x99}}, 3, 3},
        {"xrl direct,#data", 0, {0x63, 0x40, 0xFF}, {{0x40, 0x5A}}, {{0x40, 0xA5}}, 3, 3},
        {"xrl a,@r1 above 0x7F", 0, {0x67}, {{0x01, 0xC0}, {I(0xC0), 0xFF}, {A, 0x0F}}, {{A, 0xF0}}, 1, 1},
        {"xrl a,direct", 0, {0x65, 0x30}, {{0x30, 0xFF}, {A, 0x0F}}, {{A, 0xF0}}, 2, 2},
        {"clr a", 0, {0xE4}, {{A, 0x55}}, {{A, 0x00}}, 1, 1},
        {"cpl a", 0, {0xF4}, {{A, 0x55}}, {{A, 0xAA}}, 1, 1},
        {"rl a", 0, {0x23}, {{A, 0x81}}, {{A, 0x03}}, 1, 1},
        {"rr a", 0, {0x03}, {{A, 0x81}}, {{A, 0xC0}}, 1, 1},
        {"rlc a: bit 7 into carry", 0, {0x33}, {{A, 0x80}}, {{A, 0x00}, {PSW, 0x80}}, 1, 1},
        {"rrc a: carry into bit 7", 0, {0x13}, {{A, 0x01}, {PSW, 0x80}}, {{A, 0x80}, {PSW, 0x81}}, 1, 1},
        {"swap a", 0, {0xC4}, {{A, 0x12}}, {{A, 0x21}}, 1, 1},
    });
}

TEST(Transfer, MovesStackExchanges) {
    run_cases({
        {"mov a,#data", 0, {0x74, 0x99}, {}, {{A, 0x99}, {PSW, 0x00}}, 2, 2},
        {"mov direct,direct takes the source first", 0, {0x85, 0x30, 0x40}, {{0x30, 0x11}, {0x40, 0x00}},
         {{0x40, 0x11}, {0x30, 0x11}}, 3, 3},
        {"mov direct,#data into B", 0, {0x75, 0xF0, 0x42}, {}, {{B, 0x42}}, 3, 3},
        {"mov @r1,direct above 0x7F", 0, {0xA7, 0x30}, {{0x01, 0xA0}, {0x30, 0x5C}}, {{I(0xA0), 0x5C}}, 2, 2},
        {"mov direct,@r0", 0, {0x86, 0x31}, {{0x00, 0x80}, {I(0x80), 0x77}}, {{0x31, 0x77}}, 2, 2},
        {"mov r4,#data in bank 2", 0, {0x7C, 0x12}, {{PSW, 0x10}}, {{I(0x14), 0x12}, {I(0x04), 0x00}}, 2, 2},
        {"mov r5,direct", 0, {0xAD, 0x30}, {{0x30, 0x66}}, {{I(0x05), 0x66}}, 2, 2},
        {"mov direct,r1", 0, {0x89, 0x45}, {{0x01, 0x3E}}, {{0x45, 0x3E}}, 2, 2},
        {"mov a,direct above 0x7F reads the SFR, not IRAM", 0, {0xE5, 0xF0}, {{B, 0x42}, {I(0xF0), 0x99}}, {{A, 0x42}}, 2, 2},
        {"mov @r0,a", 0, {0xF6}, {{0x00, 0xFE}, {A, 0x12}}, {{I(0xFE), 0x12}}, 1, 1},
        {"mov dptr,#data16", 0, {0x90, 0x12, 0x34}, {}, {{DPH, 0x12}, {DPL, 0x34}}, 3, 3},
        {"movc a,@a+dptr", 0, {0x93}, {{DPH, 0x02}, {DPL, 0x00}, {A, 0x05}, {C(0x0205), 0xC3}}, {{A, 0xC3}}, 1, 3},
        {"movc a,@a+pc uses the next instruction's address", 0x0100, {0x83}, {{A, 0x02}, {C(0x0103), 0x7E}}, {{A, 0x7E}}, 0x0101, 3},
        {"movx a,@dptr with the power-on stretch of 1", 0, {0xE0}, {{DPH, 0x12}, {DPL, 0x34}, {X(0x1234), 0xAB}}, {{A, 0xAB}}, 1, 3},
        {"movx @dptr,a without stretch", 0, {0xF0}, {{CKCON, 0x00}, {DPL, 0x42}, {A, 0x99}}, {{X(0x0042), 0x99}}, 1, 2},
        {"movx a,@r0 with stretch 7, page from MPAGE", 0, {0xE2}, {{CKCON, 0x07}, {MPAGE, 0x12}, {0x00, 0x34}, {X(0x1234), 0x5A}},
         {{A, 0x5A}}, 1, 9},
        {"movx @r1,a at the top of memory", 0, {0xF3}, {{MPAGE, 0xFF}, {0x01, 0xFF}, {A, 0x01}}, {{X(0xFFFF), 0x01}}, 1, 3},
        {"push acc", 0, {0xC0, 0xE0}, {{A, 0x3C}}, {{SP, 0x08}, {I(0x08), 0x3C}}, 2, 2},
        {"push into upper IRAM", 0, {0xC0, 0x30}, {{SP, 0x7F}, {0x30, 0x11}}, {{SP, 0x80}, {I(0x80), 0x11}}, 2, 2},
        {"push sp stores the incremented SP", 0, {0xC0, 0x81}, {{SP, 0x10}}, {{SP, 0x11}, {I(0x11), 0x11}}, 2, 2},
        {"pop b", 0, {0xD0, 0xF0}, {{SP, 0x09}, {I(0x09), 0x77}}, {{B, 0x77}, {SP, 0x08}}, 2, 2},
        {"pop sp: the popped value wins", 0, {0xD0, 0x81}, {{SP, 0x10}, {I(0x10), 0x33}}, {{SP, 0x33}}, 2, 2},
        {"xch a,direct", 0, {0xC5, 0x30}, {{A, 0x01}, {0x30, 0x02}}, {{A, 0x02}, {0x30, 0x01}}, 2, 2},
        {"xch a,@r0 above 0x7F", 0, {0xC6}, {{0x00, 0x90}, {I(0x90), 0x55}, {A, 0xAA}}, {{A, 0x55}, {I(0x90), 0xAA}}, 1, 1},
        {"xch a,r2", 0, {0xCA}, {{I(0x02), 0x07}, {A, 0x70}}, {{A, 0x07}, {I(0x02), 0x70}}, 1, 1},
        {"xchd a,@r0 swaps low nibbles", 0, {0xD6}, {{0x00, 0x40}, {I(0x40), 0x5A}, {A, 0x13}}, {{I(0x40), 0x53}, {A, 0x1A}}, 1, 1},
    });
}

TEST(Boolean, BitOperations) {
    run_cases({
        {"setb bit 0x00 is IRAM 0x20.0", 0, {0xD2, 0x00}, {}, {{0x20, 0x01}}, 2, 2},
        {"setb bit 0x7F is IRAM 0x2F.7", 0, {0xD2, 0x7F}, {}, {{0x2F, 0x80}}, 2, 2},
        {"clr ACC.7", 0, {0xC2, 0xE7}, {{A, 0xFF}}, {{A, 0x7F}}, 2, 2},
        {"cpl PSW.5", 0, {0xB2, 0xD5}, {}, {{PSW, 0x20}}, 2, 2},
        {"setb c", 0, {0xD3}, {}, {{PSW, 0x80}}, 1, 1},
        {"clr c", 0, {0xC3}, {{PSW, 0x80}}, {{PSW, 0x00}}, 1, 1},
        {"cpl c", 0, {0xB3}, {}, {{PSW, 0x80}}, 1, 1},
        {"anl c,bit", 0, {0x82, 0x08}, {{PSW, 0x80}, {0x21, 0x00}}, {{PSW, 0x00}}, 2, 2},
        {"anl c,/bit", 0, {0xB0, 0x08}, {{PSW, 0x80}, {0x21, 0x00}}, {{PSW, 0x80}}, 2, 2},
        {"orl c,bit", 0, {0x72, 0x0F}, {{0x21, 0x80}}, {{PSW, 0x80}}, 2, 2},
        {"orl c,/bit", 0, {0xA0, 0x0F}, {{0x21, 0x80}}, {{PSW, 0x00}}, 2, 2},
        {"mov c,B.7", 0, {0xA2, 0xF7}, {{B, 0x80}}, {{PSW, 0x80}}, 2, 2},
        {"mov ACC.0,c", 0, {0x92, 0xE0}, {{PSW, 0x80}}, {{A, 0x01}, {PSW, 0x81}}, 2, 2},
    });
}

TEST(Branch, JumpsCallsReturns) {
    run_cases({
        {"ajmp uses the page of the next instruction", 0x07FE, {0x21, 0x23}, {}, {}, 0x0923, 3},
        {"acall at a page edge pushes 0x0800", 0x07FE, {0x11, 0x50}, {}, {{SP, 0x09}, {I(0x08), 0x00}, {I(0x09), 0x08}}, 0x0850, 3},
        {"ljmp", 0, {0x02, 0x12, 0x34}, {}, {}, 0x1234, 4},
        {"lcall pushes the low byte first", 0x0100, {0x12, 0x20, 0x00}, {}, {{SP, 0x09}, {I(0x08), 0x03}, {I(0x09), 0x01}}, 0x2000, 4},
        {"ret", 0, {0x22}, {{SP, 0x09}, {I(0x08), 0x34}, {I(0x09), 0x12}}, {{SP, 0x07}}, 0x1234, 4},
        {"reti outside a handler returns", 0, {0x32}, {{SP, 0x09}, {I(0x08), 0x34}, {I(0x09), 0x12}}, {{SP, 0x07}}, 0x1234, 4},
        {"sjmp to itself", 0x0100, {0x80, 0xFE}, {}, {}, 0x0100, 3},
        {"sjmp +127", 0, {0x80, 0x7F}, {}, {}, 0x0081, 3},
        {"jz taken", 0, {0x60, 0x10}, {}, {}, 0x0012, 3},
        {"jz not taken costs the same", 0, {0x60, 0x10}, {{A, 0x01}}, {}, 0x0002, 3},
        {"jnz taken backwards", 0x0100, {0x70, 0xF0}, {{A, 0x01}}, {}, 0x00F2, 3},
        {"jc not taken", 0, {0x40, 0x10}, {}, {}, 0x0002, 3},
        {"jnc taken", 0, {0x50, 0x10}, {}, {}, 0x0012, 3},
        {"jb on an SFR bit, taken", 0, {0x20, 0xE0, 0x05}, {{A, 0x01}}, {}, 0x0008, 4},
        {"jnb not taken", 0, {0x30, 0xE0, 0x05}, {{A, 0x01}}, {}, 0x0003, 4},
        {"jbc taken clears the bit", 0, {0x10, 0x00, 0x05}, {{0x20, 0x01}}, {{0x20, 0x00}}, 0x0008, 4},
        {"jbc not taken", 0, {0x10, 0x00, 0x05}, {{0x20, 0x02}}, {{0x20, 0x02}}, 0x0003, 4},
        {"cjne a,#data: less sets carry and jumps", 0, {0xB4, 0x20, 0x05}, {{A, 0x10}}, {{PSW, 0x81}}, 0x0008, 4},
        {"cjne a,#data: equal clears carry, falls through", 0, {0xB4, 0x10, 0x05}, {{A, 0x10}, {PSW, 0x80}}, {{PSW, 0x01}}, 0x0003, 4},
        {"cjne a,#data: greater clears carry and jumps", 0, {0xB4, 0x10, 0x05}, {{A, 0x20}, {PSW, 0x80}}, {{PSW, 0x01}}, 0x0008, 4},
        {"cjne a,direct", 0, {0xB5, 0x30, 0x05}, {{0x30, 0x01}}, {{PSW, 0x80}}, 0x0008, 4},
        {"cjne @r1,#data: jump wraps below 0x0000", 0, {0xB7, 0x80, 0xFA}, {{0x01, 0x40}, {I(0x40), 0x7F}}, {{PSW, 0x80}}, 0xFFFD, 4},
        {"cjne r6,#data equal", 0, {0xBE, 0x05, 0x02}, {{I(0x06), 0x05}}, {{PSW, 0x00}}, 0x0003, 4},
        {"djnz r0 reaching zero falls through", 0, {0xD8, 0xFE}, {{0x00, 0x01}}, {{0x00, 0x00}}, 0x0002, 3},
        {"djnz r0 from zero wraps and jumps", 0, {0xD8, 0xFE}, {{0x00, 0x00}}, {{0x00, 0xFF}}, 0x0000, 3},
        {"djnz direct", 0, {0xD5, 0x30, 0xFD}, {{0x30, 0x02}}, {{0x30, 0x01}}, 0x0000, 4},
        {"jmp @a+dptr", 0, {0x73}, {{A, 0x10}, {DPH, 0x1F}, {DPL, 0xF8}}, {}, 0x2008, 3},
        {"nop", 0, {0x00}, {}, {}, 0x0001, 1},
    });
}

TEST(DualDataPointer, DpsSelectsThePointerOfDptrInstructions) {
    run_cases({
        {"mov dptr,#data16 loads pointer 1", 0, {0x90, 0x12, 0x34}, {{DPS, 0x01}},
         {{DPH1, 0x12}, {DPL1, 0x34}, {DPH, 0x00}, {DPL, 0x00}}, 3, 3},
        {"inc dptr increments pointer 1", 0, {0xA3}, {{DPS, 0x01}, {DPL1, 0xFF}, {DPH1, 0x00}, {DPL, 0xFF}},
         {{DPL1, 0x00}, {DPH1, 0x01}, {DPL, 0xFF}}, 1, 3},
        {"movx a,@dptr reads through pointer 1", 0, {0xE0}, {{DPS, 0x01}, {DPH1, 0x20}, {DPL1, 0x01}, {X(0x2001), 0x77}},
         {{A, 0x77}}, 1, 3},
        {"mov a,dpl names pointer 0 whatever DPS says", 0, {0xE5, 0x82}, {{DPS, 0x01}, {DPL, 0x11}, {DPL1, 0x22}},
         {{A, 0x11}}, 2, 2},
        {"jmp @a+dptr through pointer 1", 0, {0x73}, {{DPS, 0x01}, {DPH1, 0x40}, {A, 0x02}}, {}, 0x4002, 3},
        {"movc a,@a+dptr through pointer 0 again", 0, {0x93}, {{DPS, 0x00}, {DPL, 0x10}, {DPL1, 0x20}, {C(0x0010), 0x5E}},
         {{A, 0x5E}}, 1, 3},
    });
}

TEST(DualDataPointer, OnlyBitZeroOfDpsIsWritable) {
    Machine m;
    m.load(0, {0x75, 0x86, 0xFF});  // mov DPS,#0xFF
    m.cpu.step();
    EXPECT_EQ(m.cpu.sfr(0x86), 0x01);
}

}  // namespace
}  // namespace vboard::test
