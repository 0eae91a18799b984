#include "opcode_facts.h"

#include <array>
#include <cstdio>

namespace cpu_diff {
namespace {

// Columns 0x0-0x3 of each row are irregular; 0x4-0xF follow the row's
// operation on A/#data, direct, @R0/@R1 and R0-R7.
constexpr std::array<OpcodeShape, 64> kLowColumns = {{
    // 0x00
    {"NOP", ""}, {"AJMP {0}", "a"}, {"LJMP {0}", "L"}, {"RR A", ""},
    // 0x10
    {"JBC {0},{1}", "Br"}, {"ACALL {0}", "a"}, {"LCALL {0}", "L"}, {"RRC A", ""},
    // 0x20
    {"JB {0},{1}", "br"}, {"AJMP {0}", "a"}, {"RET", ""}, {"RL A", ""},
    // 0x30
    {"JNB {0},{1}", "br"}, {"ACALL {0}", "a"}, {"RETI", ""}, {"RLC A", ""},
    // 0x40
    {"JC {0}", "r"}, {"AJMP {0}", "a"}, {"ORL {0},A", "D"}, {"ORL {0},{1}", "Di"},
    // 0x50
    {"JNC {0}", "r"}, {"ACALL {0}", "a"}, {"ANL {0},A", "D"}, {"ANL {0},{1}", "Di"},
    // 0x60
    {"JZ {0}", "r"}, {"AJMP {0}", "a"}, {"XRL {0},A", "D"}, {"XRL {0},{1}", "Di"},
    // 0x70
    {"JNZ {0}", "r"}, {"ACALL {0}", "a"}, {"ORL C,{0}", "b"}, {"JMP @A+DPTR", ""},
    // 0x80
    {"SJMP {0}", "r"}, {"AJMP {0}", "a"}, {"ANL C,{0}", "b"}, {"MOVC A,@A+PC", ""},
    // 0x90
    {"MOV DPTR,{0}", "I"}, {"ACALL {0}", "a"}, {"MOV {0},C", "B"}, {"MOVC A,@A+DPTR", ""},
    // 0xA0
    {"ORL C,/{0}", "b"}, {"AJMP {0}", "a"}, {"MOV C,{0}", "b"}, {"INC DPTR", ""},
    // 0xB0
    {"ANL C,/{0}", "b"}, {"ACALL {0}", "a"}, {"CPL {0}", "B"}, {"CPL C", ""},
    // 0xC0
    {"PUSH {0}", "d"}, {"AJMP {0}", "a"}, {"CLR {0}", "B"}, {"CLR C", ""},
    // 0xD0
    {"POP {0}", "D"}, {"ACALL {0}", "a"}, {"SETB {0}", "B"}, {"SETB C", ""},
    // 0xE0
    {"MOVX A,@DPTR", ""}, {"AJMP {0}", "a"}, {"MOVX A,@R0", ""}, {"MOVX A,@R1", ""},
    // 0xF0
    {"MOVX @DPTR,A", ""}, {"ACALL {0}", "a"}, {"MOVX @R0,A", ""}, {"MOVX @R1,A", ""},
}};

// Per row: column 0x4 (A or #data form), 0x5 (direct), 0x6/0x7 (@Ri),
// 0x8-0xF (Rn). "%" stands for the register name.
struct RowShape {
    OpcodeShape col4, col5, indirect, reg;
};
constexpr std::array<RowShape, 16> kRows = {{
    {{"INC A", ""}, {"INC {0}", "D"}, {"INC @%", ""}, {"INC %", ""}},
    {{"DEC A", ""}, {"DEC {0}", "D"}, {"DEC @%", ""}, {"DEC %", ""}},
    {{"ADD A,{0}", "i"}, {"ADD A,{0}", "d"}, {"ADD A,@%", ""}, {"ADD A,%", ""}},
    {{"ADDC A,{0}", "i"}, {"ADDC A,{0}", "d"}, {"ADDC A,@%", ""}, {"ADDC A,%", ""}},
    {{"ORL A,{0}", "i"}, {"ORL A,{0}", "d"}, {"ORL A,@%", ""}, {"ORL A,%", ""}},
    {{"ANL A,{0}", "i"}, {"ANL A,{0}", "d"}, {"ANL A,@%", ""}, {"ANL A,%", ""}},
    {{"XRL A,{0}", "i"}, {"XRL A,{0}", "d"}, {"XRL A,@%", ""}, {"XRL A,%", ""}},
    {{"MOV A,{0}", "i"}, {"MOV {0},{1}", "Di"}, {"MOV @%,{0}", "i"}, {"MOV %,{0}", "i"}},
    {{"DIV AB", ""}, {"MOV {1},{0}", "dD"}, {"MOV {0},@%", "D"}, {"MOV {0},%", "D"}},
    {{"SUBB A,{0}", "i"}, {"SUBB A,{0}", "d"}, {"SUBB A,@%", ""}, {"SUBB A,%", ""}},
    {{"MUL AB", ""}, {"DB 0xA5", ""}, {"MOV @%,{0}", "d"}, {"MOV %,{0}", "d"}},
    {{"CJNE A,{0},{1}", "ir"}, {"CJNE A,{0},{1}", "dr"}, {"CJNE @%,{0},{1}", "ir"},
     {"CJNE %,{0},{1}", "ir"}},
    {{"SWAP A", ""}, {"XCH A,{0}", "D"}, {"XCH A,@%", ""}, {"XCH A,%", ""}},
    {{"DA A", ""}, {"DJNZ {0},{1}", "Dr"}, {"XCHD A,@%", ""}, {"DJNZ %,{0}", "r"}},
    {{"CLR A", ""}, {"MOV A,{0}", "d"}, {"MOV A,@%", ""}, {"MOV A,%", ""}},
    {{"CPL A", ""}, {"MOV {0},A", "D"}, {"MOV @%,A", ""}, {"MOV %,A", ""}},
}};

constexpr const char* kRegNames[8] = {"R0", "R1", "R2", "R3", "R4", "R5", "R6", "R7"};

// Full shapes with the register names filled in, built once.
struct ShapeTable {
    std::array<OpcodeShape, 256> shape{};
    std::array<std::string, 256> text{};
    ShapeTable() {
        for (int op = 0; op < 256; ++op) {
            const int row = op >> 4, col = op & 15;
            OpcodeShape s{};
            std::string reg;
            if (col < 4) {
                s = kLowColumns[row * 4 + col];
            } else if (col == 4) {
                s = kRows[row].col4;
            } else if (col == 5) {
                s = kRows[row].col5;
            } else if (col < 8) {
                s = kRows[row].indirect;
                reg = kRegNames[col - 6];
            } else {
                s = kRows[row].reg;
                reg = kRegNames[col - 8];
            }
            std::string m = s.mnemonic;
            if (auto p = m.find('%'); p != std::string::npos) m.replace(p, 1, reg);
            text[op] = m;
            shape[op] = {nullptr, s.operands};
        }
        for (int op = 0; op < 256; ++op) shape[op].mnemonic = text[op].c_str();
    }
};

const ShapeTable& table() {
    static const ShapeTable t;
    return t;
}

std::string hex(unsigned v, int digits) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%0*X", digits, v);
    return buf;
}

std::string bit_name(uint8_t bit) {
    const unsigned byte = bit < 0x80 ? 0x20 + (bit >> 3) : bit & 0xF8;
    return hex(byte, 2) + "." + std::to_string(bit & 7);
}

}  // namespace

const OpcodeShape& opcode_shape(uint8_t op) { return table().shape[op]; }

int opcode_length(uint8_t op) {
    int n = 1;
    for (const char* p = opcode_shape(op).operands; *p; ++p) n += (*p == 'I' || *p == 'L') ? 2 : 1;
    return n;
}

int opcode_cycles(uint8_t op, int movx_stretch) {
    switch (op) {
        case 0xA3: return 3;                     // INC DPTR
        case 0x84: case 0xA4: return 5;          // DIV AB, MUL AB
        case 0x83: case 0x93: return 3;          // MOVC
        case 0xE0: case 0xE2: case 0xE3:
        case 0xF0: case 0xF2: case 0xF3: return 2 + movx_stretch;
        case 0x22: case 0x32: return 4;          // RET, RETI
        case 0x73: return 3;                     // JMP @A+DPTR
        default: break;
    }
    const std::string operands = opcode_shape(op).operands;
    const bool branch = operands.find_first_of("raL") != std::string::npos;
    return opcode_length(op) + (branch ? 1 : 0);
}

std::string disassemble(std::span<const uint8_t> bytes, uint16_t pc) {
    if (bytes.empty()) return "?";
    const uint8_t op = bytes[0];
    const int len = opcode_length(op);
    if (static_cast<int>(bytes.size()) < len) return "(truncated)";
    std::string values[2];
    int at = 1, n = 0;
    for (const char* p = opcode_shape(op).operands; *p; ++p, ++n) {
        switch (*p) {
            case 'd': case 'D': values[n] = hex(bytes[at++], 2); break;
            case 'b': case 'B': values[n] = bit_name(bytes[at++]); break;
            case 'i': values[n] = '#'; values[n] += hex(bytes[at++], 2); break;
            case 'I': values[n] = '#'; values[n] += hex(bytes[at] << 8 | bytes[at + 1], 4); at += 2; break;
            case 'L': values[n] = hex(bytes[at] << 8 | bytes[at + 1], 4); at += 2; break;
            case 'r': {
                const uint16_t target = static_cast<uint16_t>(pc + len + static_cast<int8_t>(bytes[at++]));
                values[n] = hex(target, 4);
                break;
            }
            case 'a': {
                const uint16_t next = static_cast<uint16_t>(pc + len);
                values[n] = hex((next & 0xF800) | (op >> 5) << 8 | bytes[at++], 4);
                break;
            }
        }
    }
    std::string out = opcode_shape(op).mnemonic;
    for (int k = 0; k < 2; ++k) {
        const std::string key = {'{', static_cast<char>('0' + k), '}'};
        if (auto p = out.find(key); p != std::string::npos) out.replace(p, key.size(), values[k]);
    }
    return out;
}

}  // namespace cpu_diff
