// The run API and the bus the board attaches to: cycle limits, breakpoints,
// predicates, request_stop, the trace hook, the fetch hook, SFR and external
// data handlers, reset hold.
#include <gtest/gtest.h>

#include <vector>

#include "machine.h"

namespace vboard::test {
namespace {

TEST(Run, TheInstructionThatCrossesTheLimitCompletes) {
    Machine m;
    for (int i = 0; i < 8; ++i) m.code[i] = 0xA4;  // mul ab: 5 cycles each
    EXPECT_EQ(m.cpu.run(7), StopReason::cycles);
    EXPECT_EQ(m.cpu.cycles(), 10u);
    EXPECT_EQ(m.cpu.instructions(), 2u);
    EXPECT_EQ(m.cpu.run(10), StopReason::cycles) << "already there: nothing runs";
    EXPECT_EQ(m.cpu.instructions(), 2u);
}

TEST(Run, BreakpointStopsBeforeItsInstructionAndResumes) {
    Machine m;
    m.cpu.set_breakpoint(0x0005);
    EXPECT_EQ(m.cpu.run(1000), StopReason::breakpoint);
    EXPECT_EQ(m.cpu.pc(), 0x0005);
    EXPECT_EQ(m.cpu.instructions(), 5u);
    EXPECT_EQ(m.cpu.run(20), StopReason::cycles) << "a run that starts on the breakpoint passes it";
    EXPECT_EQ(m.cpu.instructions(), 20u);
    m.cpu.set_pc(0x0000);
    m.cpu.set_breakpoint(0x0005, false);
    EXPECT_EQ(m.cpu.run(40), StopReason::cycles);
}

TEST(Run, BreakpointsApplyInsideRunUntil) {
    Machine m;
    m.cpu.set_breakpoint(0x0003);
    EXPECT_EQ(m.cpu.run_until([](const Cpu& c) { return c.pc() == 0x0010; }, 100), StopReason::breakpoint);
    EXPECT_EQ(m.cpu.pc(), 0x0003);
    EXPECT_EQ(m.cpu.run_until([](const Cpu& c) { return c.pc() == 0x0010; }, 100), StopReason::predicate);
    m.cpu.clear_breakpoints();
    EXPECT_EQ(m.cpu.run_until([](const Cpu&) { return false; }, 100), StopReason::cycles);
    EXPECT_EQ(m.cpu.cycles(), 100u);
}

struct Recorder {
    std::vector<std::pair<std::uint16_t, std::uint8_t>> writes;
    std::vector<std::uint64_t> at_cycle;
    Cpu* cpu = nullptr;
    bool stop = false;
};

TEST(Run, RequestStopFromAHandlerEndsTheRunAfterTheInstruction) {
    Machine m;
    Recorder rec;
    rec.cpu = &m.cpu;
    m.cpu.attach_sfr(
        0x99, [](void*, std::uint8_t) -> std::uint8_t { return 0; },
        [](void* ctx, std::uint8_t, std::uint8_t) { static_cast<Recorder*>(ctx)->cpu->request_stop(); }, &rec);
    m.load(0x0000, {0x00, 0x75, 0x99, 0x01, 0x00});
    EXPECT_EQ(m.cpu.run(1000), StopReason::stopped);
    EXPECT_EQ(m.cpu.pc(), 0x0004);
    EXPECT_EQ(m.cpu.cycles(), 4u);
    EXPECT_EQ(m.cpu.run(10), StopReason::cycles);
}

TEST(Run, TraceHookSeesEveryInstruction) {
    Machine m;
    m.load(0x0000, {0x74, 0x01, 0x80, 0xFC});  // mov a,#1; sjmp 0x0000
    std::vector<std::uint16_t> pcs;
    m.cpu.set_trace([](void* ctx, const Cpu& c) { static_cast<std::vector<std::uint16_t>*>(ctx)->push_back(c.pc()); }, &pcs);
    m.cpu.run(10);
    EXPECT_EQ(pcs, (std::vector<std::uint16_t>{0, 2, 0, 2}));
    m.cpu.set_trace(nullptr, nullptr);
    m.cpu.run(20);
    EXPECT_EQ(pcs.size(), 4u);
}

TEST(Bus, FetchHookSubstitutesTheFetchedByteOnly) {
    Machine m;
    m.load(0x0043, {0x02, 0x01, 0x00});  // ljmp 0x0100 (low byte substituted)
    m.cpu.set_fetch_hook(0x0045, [](void*, std::uint16_t, std::uint8_t) -> std::uint8_t { return 0x2C; }, nullptr);
    m.cpu.set_pc(0x0043);
    m.cpu.step();
    EXPECT_EQ(m.cpu.pc(), 0x012C);
    // MOVC reads the stored byte.
    m.load(0x012C, {0x90, 0x00, 0x45, 0xE4, 0x93});  // mov dptr,#0x0045; clr a; movc a,@a+dptr
    m.cpu.run(m.cpu.cycles() + 7);
    EXPECT_EQ(m.cpu.acc(), 0x00);
    // Without the hook the jump goes where the memory says.
    m.cpu.clear_fetch_hook(0x0045);
    m.cpu.set_pc(0x0043);
    m.cpu.step();
    EXPECT_EQ(m.cpu.pc(), 0x0100);
}

TEST(Bus, ExternalDataHandlerSeesAddressValueAndCycle) {
    Machine m;
    Recorder rec;
    rec.cpu = &m.cpu;
    m.cpu.map_xdata_handler(
        0x7F00, 0x100,
        [](void* ctx, std::uint16_t addr) -> std::uint8_t {
            auto* r = static_cast<Recorder*>(ctx);
            r->at_cycle.push_back(r->cpu->cycles());
            return static_cast<std::uint8_t>(addr);
        },
        [](void* ctx, std::uint16_t addr, std::uint8_t v) { static_cast<Recorder*>(ctx)->writes.emplace_back(addr, v); },
        &rec);
    m.load(0, {0x90, 0x7F, 0xE5, 0xE0, 0x04, 0xF0});  // mov dptr,#0x7FE5; movx a,@dptr; inc a; movx @dptr,a
    m.cpu.run(10);
    ASSERT_EQ(rec.at_cycle.size(), 1u);
    EXPECT_EQ(rec.at_cycle[0], 3u) << "handlers see the cycle at which the instruction started";
    ASSERT_EQ(rec.writes.size(), 1u);
    EXPECT_EQ(rec.writes[0], (std::pair<std::uint16_t, std::uint8_t>{0x7FE5, 0xE6}));
    EXPECT_TRUE(m.diag.empty());
}

TEST(Bus, SfrHandlerOwnsItsRegisterButNotTheCoreOnes) {
    Machine m;
    static std::uint8_t reg = 0x10;
    const auto rd = [](void*, std::uint8_t) -> std::uint8_t { return reg; };
    const auto wr = [](void*, std::uint8_t, std::uint8_t v) { reg = static_cast<std::uint8_t>(v ^ 0xFF); };
    m.cpu.attach_sfr(0xB0, rd, wr, nullptr);
    m.cpu.attach_sfr(0xE0, rd, wr, nullptr);  // ACC stays the core's
    m.load(0, {0x05, 0xB0, 0xE5, 0xB0, 0xD2, 0xB7});  // inc P3; mov a,P3; setb P3.7
    m.cpu.step();
    EXPECT_EQ(reg, 0xEE) << "read-modify-write goes through read then write";
    m.cpu.step();
    EXPECT_EQ(m.cpu.acc(), 0xEE);
    m.cpu.step();
    EXPECT_EQ(reg, 0x11);
    EXPECT_TRUE(m.diag.empty());
}

TEST(Bus, ResetHoldConsumesTimeAndRestartsAtZero) {
    Machine m;
    m.load(0, {0x74, 0x42});  // mov a,#0x42
    m.cpu.set_pc(0x0100);
    m.cpu.set_sfr(0x81, 0x30);
    m.cpu.set_reset_held(true);
    EXPECT_TRUE(m.cpu.reset_held());
    EXPECT_EQ(m.cpu.run(100), StopReason::cycles);
    EXPECT_EQ(m.cpu.cycles(), 100u);
    EXPECT_EQ(m.cpu.instructions(), 0u);
    EXPECT_EQ(m.cpu.sp(), 0x07);
    m.cpu.set_reset_held(false);
    m.cpu.step();
    EXPECT_EQ(m.cpu.acc(), 0x42);
    EXPECT_EQ(m.cpu.pc(), 0x0002);
}

}  // namespace
}  // namespace vboard::test
