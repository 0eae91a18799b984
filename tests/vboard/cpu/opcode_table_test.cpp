// The opcode table against the published timing of the 4-clock core, and
// every row against execution.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "cpu/disasm.h"
#include "cpu/opcodes.h"
#include "machine.h"

#ifndef TIMING_CSV
#error "TIMING_CSV must name the timing table"
#endif

namespace vboard::test {
namespace {

struct Row {
    int opcode = -1;
    std::string mnemonic;
    int bytes = 0;
    int cycles = 0;
};

std::vector<Row> read_timing() {
    std::ifstream f(TIMING_CSV);
    std::vector<Row> rows;
    std::string line;
    while (std::getline(f, line)) {
        if (line.empty() || line[0] == '#' || line.rfind("opcode", 0) == 0) continue;
        Row r;
        const auto q1 = line.find('"'), q2 = line.find('"', q1 + 1);
        r.opcode = std::stoi(line.substr(0, line.find(',')), nullptr, 16);
        r.mnemonic = line.substr(q1 + 1, q2 - q1 - 1);
        std::istringstream rest(line.substr(q2 + 2));
        char comma;
        rest >> r.bytes >> comma >> r.cycles;
        rows.push_back(r);
    }
    return rows;
}

std::string upper_first_word(const std::string& s) {
    std::string w = s.substr(0, s.find(' '));
    for (char& c : w) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return w;
}

TEST(OpcodeTable, MatchesThePublishedTiming) {
    const std::vector<Row> rows = read_timing();
    ASSERT_EQ(rows.size(), 256u) << "timing table not found or incomplete at " << TIMING_CSV;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.mnemonic + " opcode " + std::to_string(r.opcode));
        const OpInfo& op = opcode_table[r.opcode];
        EXPECT_EQ(op.length, r.bytes);
        EXPECT_EQ(op.cycles, r.cycles);
        EXPECT_EQ(opcode_cycles.v[r.opcode], r.cycles);
        EXPECT_EQ(upper_first_word(op.format), upper_first_word(r.mnemonic));
    }
}

// Opcodes whose next PC is not the next instruction's address even with zero
// operands (a zero relative offset lands on the next instruction).
bool transfers_control(int op) {
    if ((op & 0x1F) == 0x01 || (op & 0x1F) == 0x11) return true;  // AJMP, ACALL
    return op == 0x02 || op == 0x12 || op == 0x22 || op == 0x32 || op == 0x73;  // LJMP LCALL RET RETI JMP
}

TEST(OpcodeTable, EveryRowAgreesWithExecution) {
    for (int op = 0; op < 256; ++op) {
        SCOPED_TRACE(disassemble(0x1000, static_cast<std::uint8_t>(op), 0, 0));
        Machine m;
        m.load(0x1000, {static_cast<std::uint8_t>(op), 0x00, 0x00});
        m.cpu.set_pc(0x1000);
        m.cpu.set_sfr(0x81, 0x20);             // SP away from the registers
        const std::uint64_t cycles = m.cpu.step();
        const bool movx = op == 0xE0 || op == 0xE2 || op == 0xE3 || op == 0xF0 || op == 0xF2 || op == 0xF3;
        const unsigned stretch = movx ? (m.cpu.sfr(0x8E) & 7) : 0;
        EXPECT_EQ(m.cpu.instructions(), 1u);
        EXPECT_EQ(cycles, opcode_table[op].cycles + stretch) << "cycles charged";
        if (!transfers_control(op)) {
            EXPECT_EQ(m.cpu.pc(), 0x1000 + opcode_table[op].length) << "PC advance";
        }
    }
}

TEST(OpcodeTable, MovxStretchFollowsCkcon) {
    for (unsigned md = 0; md < 8; ++md) {
        Machine m;
        m.load(0, {0xE0, 0xF0, 0xE2, 0xF3});
        m.cpu.set_sfr(0x8E, static_cast<std::uint8_t>(0xF8 | md));  // other CKCON bits do not count
        for (int k = 0; k < 4; ++k) EXPECT_EQ(m.cpu.step(), 2u + md) << "MD=" << md << " instruction " << k;
    }
}

TEST(Disassembler, NamesSfrsBitsAndTargets) {
    EXPECT_EQ(disassemble(0x0000, 0xE5, 0x82, 0), "mov a,DPL");
    EXPECT_EQ(disassemble(0x0100, 0x70, 0xF9, 0), "jnz 0x00FB");
    EXPECT_EQ(disassemble(0x0000, 0x85, 0x30, 0xF0), "mov B,0x30");
    EXPECT_EQ(disassemble(0x0000, 0xD2, 0xDC, 0), "setb EICON.4");
    EXPECT_EQ(disassemble(0x0000, 0xC2, 0x0B, 0), "clr 0x21.3");
    EXPECT_EQ(disassemble(0x07FE, 0x31, 0x23, 0), "acall 0x0923");
    EXPECT_EQ(disassemble(0x0000, 0x90, 0xFD, 0xA5), "mov dptr,#0xFDA5");
    EXPECT_EQ(disassemble(0x0000, 0xB6, 0x12, 0x05), "cjne @r0,#0x12,0x0008");
    EXPECT_EQ(disassemble(0x0000, 0x75, 0x91, 0x00), "mov EXIF,#0x00");
    EXPECT_EQ(disassemble(0x0000, 0xA5, 0, 0), "reserved");
    for (int op = 0; op < 256; ++op)
        EXPECT_EQ(disassemble(0, static_cast<std::uint8_t>(op), 0x12, 0x34).find('{'), std::string::npos) << op;
}

}  // namespace
}  // namespace vboard::test
