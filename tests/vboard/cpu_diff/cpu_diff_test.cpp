// Differential tests of the 8051 core: the same programs on ucsim's s51 and
// on `vboard cpu`, compared register by register and byte by byte.
//
// - Generated programs (program_generator.h): every opcode, random operands,
//   run to their halt on both; a difference is narrowed down by bisection
//   over the instruction count to the first instruction after which the
//   states part, which the failure names with its seed, address and bytes.
// - SDCC-compiled C programs (c_programs/), run to their halt label.
// - Cycles: a straight-line program with a known path through every
//   opcode, whose cycle count must equal the timing table's sum (s51 counts
//   the 12-clock core's cycles, so this one is checked against the table).
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "opcode_facts.h"
#include "program_generator.h"
#include "simulators.h"

namespace {

using namespace cpu_diff;
namespace fs = std::filesystem;

constexpr int kSeedCount = 32;
constexpr uint64_t kSuiteInstructions = 1'000'000;  // generated instructions run, all seeds together
constexpr uint64_t kMaxSteps = 20'000'000;          // bound for a run that misses its halt

#define SKIP_WITHOUT_S51()                                                              \
    do {                                                                                \
        if (!on_path("s51")) GTEST_SKIP() << "s51 (package sdcc-ucsim) is not installed"; \
    } while (0)

// A scratch directory per test, kept when the test fails so the programs
// and both simulators' outputs can be looked at.
class Scratch {
public:
    explicit Scratch(const std::string& name) {
        std::string pattern = (fs::temp_directory_path() / ("cpu_diff_" + name + "_XXXXXX")).string();
        if (mkdtemp(pattern.data())) dir_ = pattern;
    }
    ~Scratch() {
        std::error_code ec;
        if (!dir_.empty() && !::testing::Test::HasFailure()) fs::remove_all(dir_, ec);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    const fs::path& dir() const { return dir_; }

private:
    fs::path dir_;
};

std::string hex4(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04X", v);
    return buf;
}

std::string describe_instruction(const std::vector<uint8_t>& image, uint16_t pc) {
    if (pc >= image.size()) return "address " + hex4(pc) + " outside the program";
    const uint8_t op = image[pc];
    std::string bytes;
    for (int i = 0; i < opcode_length(op) && pc + i < static_cast<int>(image.size()); ++i) {
        char b[4];
        std::snprintf(b, sizeof b, "%s%02X", i ? " " : "", image[pc + i]);
        bytes += b;
    }
    const size_t n = image.size() - pc;
    return hex4(pc) + ": " + bytes + "  " + disassemble({image.data() + pc, n < 3 ? n : 3}, pc);
}

// Runs `image` (written as `name`.hex) on `vboard cpu --until halt`, then s51
// for as many instructions, and compares. Returns an empty string or what
// differs; `executed` receives the instruction count.
std::string compare_to_halt(const Scratch& scratch, const std::string& name,
                            const std::vector<uint8_t>& image, uint16_t halt, uint64_t& executed) {
    const fs::path hex = scratch.dir() / (name + ".hex");
    write_intel_hex(hex, image);
    const RunResult vb =
        run_vboard(CPU_DIFF_VBOARD, scratch.dir(), name + ".vboard", hex, {true, halt, kMaxSteps});
    if (!vb.error.empty()) return "vboard: " + vb.error;
    executed = vb.state.instructions;
    if (vb.state.pc != halt) return "vboard stopped at " + hex4(vb.state.pc) + ", not at the halt " + hex4(halt);
    const RunResult s = run_s51(scratch.dir(), name + ".s51", hex, executed);
    if (!s.error.empty()) return s.error;
    const std::string diff = first_difference(s.state, vb.state);
    if (diff.empty()) return {};

    // Bisect for the first instruction after which the states differ.
    uint64_t lo = 0, hi = executed;
    uint16_t pc_before = 0;  // PC after `lo` instructions
    std::string hi_diff = diff;
    while (hi - lo > 1) {
        const uint64_t mid = lo + (hi - lo) / 2;
        const RunResult a = run_s51(scratch.dir(), name + ".bisect.s51", hex, mid);
        const RunResult b = run_vboard(CPU_DIFF_VBOARD, scratch.dir(), name + ".bisect.vboard", hex,
                                       {false, mid, 0});
        if (!a.error.empty() || !b.error.empty()) return diff + " (bisection failed: " + a.error + b.error + ")";
        const std::string d = first_difference(a.state, b.state);
        if (d.empty()) {
            lo = mid;
            pc_before = a.state.pc;
        } else {
            hi = mid;
            hi_diff = d;
        }
    }
    return "first difference after instruction " + std::to_string(hi) + " of " + std::to_string(executed) +
           ", " + describe_instruction(image, pc_before) + "\n  " + hi_diff + "   (expected = s51, got = vboard)" +
           "\n  at the halt: " + diff + "\n  program: " + hex.string();
}

// ---------------------------------------------------------------------------
// The generator itself (no simulator needed).

TEST(CpuDiffGenerator, SeedsTogetherPlaceEveryOpcode) {
    std::array<uint64_t, 256> uses{};
    uint64_t instructions = 0;
    for (int seed = 1; seed <= kSeedCount; ++seed) {
        const Program p = generate_program(seed);
        instructions += p.instructions;
        for (int op = 0; op < 256; ++op) uses[op] += p.opcode_uses[op];
        ASSERT_LT(p.halt, p.image.size()) << "seed " << seed;
    }
    for (int op = 0; op < 256; ++op) EXPECT_GE(uses[op], 100u) << "opcode " << std::hex << op << " rarely placed";
    EXPECT_GE(instructions, kSuiteInstructions / 2);
}

TEST(CpuDiffGenerator, SameSeedSameProgram) {
    EXPECT_EQ(generate_program(7).image, generate_program(7).image);
    EXPECT_NE(generate_program(7).image, generate_program(8).image);
}

TEST(CpuDiffGenerator, EveryOpcodeOnceRunsEachOpcode) {
    const TracedProgram t = every_opcode_once();
    std::array<bool, 256> ran{};
    for (const TraceStep& s : t.trace) ran[t.program.image.at(s.pc)] = true;
    for (int op = 0; op < 256; ++op) EXPECT_TRUE(ran[op]) << "opcode " << std::hex << op << " not on the path";
}

// ---------------------------------------------------------------------------
// Generated programs on both simulators.

class GeneratedProgram : public ::testing::TestWithParam<int> {};

TEST_P(GeneratedProgram, MatchesS51) {
    SKIP_WITHOUT_S51();
    const int seed = GetParam();
    const Program p = generate_program(seed);
    Scratch scratch("seed" + std::to_string(seed));
    uint64_t executed = 0;
    const std::string failure = compare_to_halt(scratch, "seed" + std::to_string(seed), p.image, p.halt, executed);
    if (!failure.empty()) ADD_FAILURE() << "seed " << seed << ": " << failure;
    RecordProperty("instructions_placed", std::to_string(p.instructions));
    RecordProperty("instructions_run", std::to_string(executed));
    // Every seed carries its share of the suite's instruction count.
    EXPECT_GE(executed, kSuiteInstructions / kSeedCount) << "seed " << seed << " ran too few instructions";
}

INSTANTIATE_TEST_SUITE_P(Seeds, GeneratedProgram, ::testing::Range(1, kSeedCount + 1));

// ---------------------------------------------------------------------------
// The straight-line program: state on both, cycles against the table.

TEST(CpuDiff, EveryOpcodeOnceMatchesS51) {
    SKIP_WITHOUT_S51();
    const TracedProgram t = every_opcode_once();
    Scratch scratch("once");
    uint64_t executed = 0;
    const std::string failure = compare_to_halt(scratch, "once", t.program.image, t.program.halt, executed);
    if (!failure.empty()) ADD_FAILURE() << failure;
    EXPECT_EQ(executed, t.trace.size());
}

TEST(CpuDiff, CyclesFollowTheTimingTable) {
    const TracedProgram t = every_opcode_once();
    std::vector<uint64_t> expected(t.trace.size() + 1, 0);  // cycles after k instructions
    for (size_t k = 0; k < t.trace.size(); ++k) {
        const TraceStep& s = t.trace[k];
        expected[k + 1] = expected[k] + opcode_cycles(t.program.image[s.pc], s.movx_stretch);
    }
    Scratch scratch("cycles");
    const fs::path hex = scratch.dir() / "once.hex";
    write_intel_hex(hex, t.program.image);
    const RunResult r = run_vboard(CPU_DIFF_VBOARD, scratch.dir(), "once", hex, {true, t.program.halt, kMaxSteps});
    ASSERT_EQ(r.error, "");
    ASSERT_EQ(r.state.instructions, t.trace.size()) << "the path through the program differs";
    if (r.state.cycles == expected.back()) return;

    // Find the first instruction charged differently.
    size_t lo = 0, hi = t.trace.size();
    while (hi - lo > 1) {
        const size_t mid = lo + (hi - lo) / 2;
        const RunResult m = run_vboard(CPU_DIFF_VBOARD, scratch.dir(), "bisect", hex, {false, mid, 0});
        ASSERT_EQ(m.error, "");
        (m.state.cycles == expected[mid] ? lo : hi) = mid;
    }
    const TraceStep& s = t.trace[hi - 1];
    const RunResult before = run_vboard(CPU_DIFF_VBOARD, scratch.dir(), "before", hex, {false, lo, 0});
    const RunResult after = run_vboard(CPU_DIFF_VBOARD, scratch.dir(), "after", hex, {false, hi, 0});
    ADD_FAILURE() << "cycles " << r.state.cycles << ", table says " << expected.back()
                  << "; first charged differently: " << describe_instruction(t.program.image, s.pc)
                  << " (CKCON.MD " << int(s.movx_stretch) << "): table "
                  << expected[hi] - expected[hi - 1] << " cycles, core "
                  << (lo == 0 ? after.state.cycles : after.state.cycles - before.state.cycles);
}

// ---------------------------------------------------------------------------
// Where s51 is wrong the generated programs step around it (a `mov psw,psw`
// after a bit write to RS0/RS1, a `mov acc,acc` after a write to PSW), and
// those fix-ups would hide the same fault in the core. So the core alone
// must get these right, against hand-worked results.

RunResult run_hand_program(const std::string& name, std::vector<uint8_t> code) {
    Scratch scratch(name);
    const uint16_t halt = static_cast<uint16_t>(code.size());
    code.insert(code.end(), {0x80, 0xFE});  // sjmp .
    const fs::path hex = scratch.dir() / (name + ".hex");
    write_intel_hex(hex, code);
    return run_vboard(CPU_DIFF_VBOARD, scratch.dir(), name, hex, {true, halt, 1000});
}

TEST(CpuDiff, BitWritesToRs0Rs1SwitchTheRegisterBank) {
    const RunResult r = run_hand_program("banks", {
        0xD3,              // setb c
        0xD2, 0xD3,        // setb PSW.3        bank 1
        0x78, 0x55,        // mov r0,#0x55      -> 0x08
        0x92, 0xD4,        // mov PSW.4,c       bank 3
        0x79, 0x66,        // mov r1,#0x66      -> 0x19
        0xB2, 0xD3,        // cpl PSW.3         bank 2
        0x7A, 0x77,        // mov r2,#0x77      -> 0x12
        0x10, 0xD4, 0x00,  // jbc PSW.4,next    bank 0
        0x7B, 0x88,        // mov r3,#0x88      -> 0x03
    });
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.state.iram[0x08], 0x55);
    EXPECT_EQ(r.state.iram[0x19], 0x66);
    EXPECT_EQ(r.state.iram[0x12], 0x77);
    EXPECT_EQ(r.state.iram[0x03], 0x88);
    EXPECT_EQ(r.state.psw, 0x80);
}

TEST(CpuDiff, ParityFollowsAWhateverIsWrittenToPsw) {
    const RunResult r = run_hand_program("parity", {
        0x74, 0x01,        // mov a,#1          P = 1
        0xC2, 0xD0,        // clr PSW.0
        0x85, 0xD0, 0x30,  // mov 0x30,psw      01
        0x75, 0xD0, 0x00,  // mov psw,#0
        0x85, 0xD0, 0x31,  // mov 0x31,psw      01
        0xE4,              // clr a             P = 0
        0xD2, 0xD0,        // setb PSW.0
        0x85, 0xD0, 0x32,  // mov 0x32,psw      00
        0x75, 0xD0, 0x01,  // mov psw,#1
        0xA2, 0xD0,        // mov c,PSW.0       C = 0
        0x92, 0x00,        // mov 0x20.0,c
        0x74, 0x07,        // mov a,#7          P = 1
        0xC0, 0xD0,        // push psw
        0xE4,              // clr a             P = 0
        0xD0, 0xD0,        // pop psw           pops 01
        0x85, 0xD0, 0x33,  // mov 0x33,psw      00
    });
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.state.iram[0x30], 0x01);
    EXPECT_EQ(r.state.iram[0x31], 0x01);
    EXPECT_EQ(r.state.iram[0x32], 0x00);
    EXPECT_EQ(r.state.iram[0x20], 0x00);
    EXPECT_EQ(r.state.iram[0x33], 0x00);
    EXPECT_EQ(r.state.psw, 0x00);
}

// ---------------------------------------------------------------------------
// SDCC-compiled C programs.

struct CProgram {
    const char* name;
    // Bytes of external RAM the program must have computed: symbol, offset, bytes.
    struct Expect {
        const char* symbol;
        unsigned offset;
        std::vector<uint8_t> bytes;
    };
    std::vector<Expect> expect;
};

void PrintTo(const CProgram& p, std::ostream* os) { *os << p.name; }

// Symbol addresses from an sdld map file ("C:   000004C7  _cpu_diff_halt   module").
std::map<std::string, unsigned> read_map(const fs::path& path) {
    std::map<std::string, unsigned> symbols;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string area, address, name;
        if (!(words >> area >> address >> name) || area.size() != 2 || area[1] != ':') continue;
        char* end = nullptr;
        const unsigned long v = std::strtoul(address.c_str(), &end, 16);
        if (*end == '\0' && !address.empty()) symbols[name] = static_cast<unsigned>(v);
    }
    return symbols;
}

class CompiledProgram : public ::testing::TestWithParam<CProgram> {};

TEST_P(CompiledProgram, MatchesS51) {
    SKIP_WITHOUT_S51();
    if (std::string(CPU_DIFF_C_DIR).empty()) GTEST_SKIP() << "sdcc was not found when the tests were built";
    const CProgram& c = GetParam();
    const fs::path dir = CPU_DIFF_C_DIR;
    const auto symbols = read_map(dir / (std::string(c.name) + ".map"));
    ASSERT_TRUE(symbols.count("_cpu_diff_halt")) << "no _cpu_diff_halt in " << c.name << ".map";
    const uint16_t halt = static_cast<uint16_t>(symbols.at("_cpu_diff_halt"));

    std::ifstream in(dir / (std::string(c.name) + ".ihx"));
    ASSERT_TRUE(in) << "missing " << c.name << ".ihx";
    Scratch scratch(c.name);
    const fs::path hex = scratch.dir() / (std::string(c.name) + ".hex");
    fs::copy_file(dir / (std::string(c.name) + ".ihx"), hex);

    const RunResult vb = run_vboard(CPU_DIFF_VBOARD, scratch.dir(), "vboard", hex, {true, halt, kMaxSteps});
    ASSERT_EQ(vb.error, "");
    ASSERT_EQ(vb.state.pc, halt);
    const RunResult s = run_s51(scratch.dir(), "s51", hex, vb.state.instructions);
    ASSERT_EQ(s.error, "");
    EXPECT_EQ(first_difference(s.state, vb.state), "") << c.name << " after " << vb.state.instructions
                                                       << " instructions (expected = s51, got = vboard)";
    for (const auto& e : c.expect) {
        ASSERT_TRUE(symbols.count(e.symbol)) << e.symbol;
        const unsigned at = symbols.at(e.symbol) + e.offset;
        ASSERT_LE(at + e.bytes.size(), 256u) << e.symbol << " is outside the compared external RAM";
        for (size_t i = 0; i < e.bytes.size(); ++i)
            EXPECT_EQ(vb.state.xram[at + i], e.bytes[i]) << c.name << ": " << e.symbol << "[" << e.offset + i << "]";
    }
}

INSTANTIATE_TEST_SUITE_P(
    C, CompiledProgram,
    ::testing::Values(
        // CRC-16/CCITT-FALSE, CRC-32 and CRC-8 of "123456789".
        CProgram{"crc", {{"_result", 0, {0x29, 0xB1, 0xCB, 0xF4, 0x39, 0x26, 0xF4}}}},
        // Both sorts agree and are ordered.
        CProgram{"sort", {{"_status", 0, {0x01, 0x5A}}}},
        CProgram{"mathops", {}},
        // strlen, count of 'o', equal, reversed < original, its first letter,
        // strlen of 23 'x', digits of 65535.
        CProgram{"strings", {{"_result", 0, {43, 4, 1, 0, 'g', 23, 5}}}}),
    [](const ::testing::TestParamInfo<CProgram>& info) { return std::string(info.param.name); });

}  // namespace
