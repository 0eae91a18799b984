// Firmware checks: each fires on a program that breaks its rule and stays
// silent on one that keeps it. Also the power-on pattern and the sink itself.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "machine.h"

namespace vboard::test {
namespace {

std::size_t findings(const Machine& m, FindingKind k) { return m.diag.count(k); }

TEST(FirmwareChecks, ReservedOpcodeRunsAsNopAndIsReported) {
    Machine m;
    m.load(0x0010, {0xA5});
    m.cpu.set_pc(0x0010);
    EXPECT_EQ(m.cpu.step(), 1u);
    EXPECT_EQ(m.cpu.pc(), 0x0011);
    ASSERT_EQ(findings(m, FindingKind::reserved_opcode), 1u);
    EXPECT_EQ(m.diag.findings()[0].pc, 0x0010);
    EXPECT_EQ(m.diag.findings()[0].cycle, 0u);

    Machine ok;
    ok.cpu.step();  // NOP
    EXPECT_TRUE(ok.diag.empty());
}

TEST(FirmwareChecks, StackWrapOnPushCallAndPop) {
    struct Case {
        const char* name;
        std::initializer_list<std::uint8_t> code;
        std::uint8_t sp;
        bool fires;
    };
    const Case cases[] = {
        {"push at SP 0xFF", {0xC0, 0xE0}, 0xFF, true},
        {"push at SP 0xFE", {0xC0, 0xE0}, 0xFE, false},
        {"lcall at SP 0xFE wraps on its second byte", {0x12, 0x01, 0x00}, 0xFE, true},
        {"acall at SP 0xFD", {0x11, 0x00}, 0xFD, false},
        {"pop at SP 0x00", {0xD0, 0xF0}, 0x00, true},
        {"ret at SP 0x01 wraps on its second byte", {0x22}, 0x01, true},
        {"ret at SP 0x02", {0x22}, 0x02, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Machine m;
        m.load(0, c.code);
        m.cpu.set_sfr(0x81, c.sp);
        m.cpu.step();
        EXPECT_EQ(findings(m, FindingKind::stack_wrap), c.fires ? 1u : 0u);
        EXPECT_EQ(m.diag.total(), findings(m, FindingKind::stack_wrap));
    }
}

// Runs one USB interrupt whose handler is `handler` (ending in reti) and
// returns the findings about the handler's state.
std::size_t isr_findings(std::initializer_list<std::uint8_t> handler, std::string* text = nullptr) {
    Machine m;
    m.load(0x0043, handler);
    m.cpu.set_pc(0x0100);
    m.cpu.set_sfr(0xA8, 0x80);
    m.cpu.set_sfr(0xE8, 0x01);
    m.cpu.set_sfr(0xE0, 0x5A);
    m.cpu.set_interrupt(Irq::usb);
    m.cpu.run_until([](const Cpu& c) { return c.pc() == 0x0043; }, 100);
    m.cpu.run_until([](const Cpu& c) { return c.interrupts_in_service() == 0; }, 1000);
    EXPECT_EQ(m.cpu.pc(), 0x0101) << "back in the main program";
    if (text && !m.diag.findings().empty()) *text = m.diag.findings()[0].message;
    return m.diag.count(FindingKind::isr_state);
}

TEST(FirmwareChecks, HandlerMustRestoreSpAccAndPsw) {
    // clr USBINT: anl EXIF,#0xEF
    std::string text;
    EXPECT_EQ(isr_findings({0x53, 0x91, 0xEF, 0x32}), 0u) << "handler that touches nothing";
    EXPECT_EQ(isr_findings({0xC0, 0xE0, 0xC0, 0xD0, 0x04, 0xD3, 0x53, 0x91, 0xEF, 0xD0, 0xD0, 0xD0, 0xE0, 0x32}), 0u)
        << "handler that saves and restores ACC and PSW";
    EXPECT_EQ(isr_findings({0x04, 0x53, 0x91, 0xEF, 0x32}, &text), 1u) << "inc a";
    EXPECT_NE(text.find("ACC 0x5B (entered with 0x5A)"), std::string::npos) << text;
    EXPECT_EQ(isr_findings({0xD3, 0x53, 0x91, 0xEF, 0x32}, &text), 1u) << "setb c";
    EXPECT_NE(text.find("PSW"), std::string::npos) << text;
    // Moves its return address and the stack to 0x3F/0x40, then returns.
    EXPECT_EQ(isr_findings({0x85, 0x08, 0x3F, 0x85, 0x09, 0x40, 0x75, 0x81, 0x40, 0x53, 0x91, 0xEF, 0x32}, &text), 1u)
        << "returns with SP moved";
    EXPECT_NE(text.find("SP"), std::string::npos) << text;
}

TEST(FirmwareChecks, ExecutionInFill) {
    Machine m;
    m.cpu.mark_fill(0x0200, 0x100);
    m.load(0x0000, {0x02, 0x01, 0xFE});  // ljmp 0x01FE: two NOPs, then fill
    m.cpu.run(20);
    EXPECT_GE(findings(m, FindingKind::fill_execution), 1u);
    ASSERT_FALSE(m.diag.findings().empty());
    EXPECT_EQ(m.diag.findings()[0].pc, 0x0200);
    EXPECT_EQ(m.diag.findings()[0].cycle, 6u);

    Machine ok;
    ok.cpu.mark_fill(0x0200, 0x100);
    ok.cpu.mark_fill(0x0200, 0x100, false);
    ok.cpu.set_pc(0x0200);
    ok.cpu.run(20);
    EXPECT_TRUE(ok.diag.empty());
}

TEST(FirmwareChecks, UnhandledSfrAccessIsReportedNotStored) {
    Machine m;
    m.load(0, {0x75, 0x99, 0x42, 0xE5, 0x99});  // mov SBUF,#0x42; mov a,SBUF
    m.cpu.step();
    m.cpu.step();
    EXPECT_EQ(findings(m, FindingKind::unhandled_sfr), 2u);
    EXPECT_EQ(m.cpu.acc(), 0xFF) << "unhandled reads give 0xFF, nothing was stored";

    // The same with a board register attached: silent.
    Machine ok;
    ok.cpu.attach_sfr_register(0x99, 0x00);
    ok.load(0, {0x75, 0x99, 0x42, 0xE5, 0x99});
    ok.cpu.step();
    ok.cpu.step();
    EXPECT_EQ(ok.cpu.acc(), 0x42);
    EXPECT_TRUE(ok.diag.empty());
}

TEST(FirmwareChecks, UnmappedExternalDataIsReported) {
    Machine m;
    m.cpu.unmap_xdata(0x8000, 0x100);
    m.load(0, {0x90, 0x80, 0x10, 0xE0, 0xF0, 0x90, 0x81, 0x00, 0xE0});
    m.cpu.run(15);
    EXPECT_EQ(findings(m, FindingKind::unmapped_xdata), 2u);
    EXPECT_EQ(m.cpu.acc(), 0x00) << "0x8100 is still mapped";
    EXPECT_EQ(m.diag.findings()[0].message, "MOVX read of unmapped 0x8010");
}

TEST(PowerOn, PatternIsDeterministicPerSeed) {
    Machine a, b, c;
    a.cpu.power_on(1);
    b.cpu.power_on(1);
    c.cpu.power_on(2);
    EXPECT_EQ(0, std::memcmp(a.cpu.iram(), b.cpu.iram(), 256));
    EXPECT_NE(0, std::memcmp(a.cpu.iram(), c.cpu.iram(), 256));
    int zeros = 0;
    for (int i = 0; i < 256; ++i) zeros += a.cpu.iram()[i] == 0;
    EXPECT_LT(zeros, 16) << "the pattern must not look like cleared memory";
    EXPECT_EQ(a.cpu.sp(), 0x07);
    EXPECT_EQ(a.cpu.pc(), 0x0000);

    std::uint8_t x1[300], x2[300];
    fill_power_on_pattern(x1, sizeof x1, 7);
    fill_power_on_pattern(x2, sizeof x2, 7);
    EXPECT_EQ(0, std::memcmp(x1, x2, sizeof x1));
}

TEST(PowerOn, FirmwareThatSkipsClearingSeesThePattern) {
    Machine m;
    m.cpu.power_on(99);
    const std::uint8_t uninitialised = m.cpu.iram()[0x50];
    m.load(0, {0xE5, 0x50});  // mov a,0x50
    m.cpu.step();
    EXPECT_EQ(m.cpu.acc(), uninitialised);
    EXPECT_NE(uninitialised, 0) << "seed 99 happens to leave 0x50 zero: pick another seed";
}

TEST(Diagnostics, CountsEverythingKeepsTheFirstOfEachKind) {
    Diagnostics d;
    d.set_stored_per_kind(2);
    for (int i = 0; i < 5; ++i) d.report(FindingKind::stack_wrap, 0x0100, static_cast<std::uint64_t>(i), "wrap");
    d.report(FindingKind::reserved_opcode, 0x0045, 77, "reserved opcode 0xA5 executed");
    EXPECT_EQ(d.count(FindingKind::stack_wrap), 5u);
    EXPECT_EQ(d.total(), 6u);
    EXPECT_EQ(d.findings().size(), 3u);
    std::ostringstream out;
    d.print(out);
    EXPECT_EQ(out.str(),
              "cycle 0 pc 0x0100 stack-wrap: wrap\n"
              "cycle 1 pc 0x0100 stack-wrap: wrap\n"
              "cycle 77 pc 0x0045 reserved-opcode: reserved opcode 0xA5 executed\n"
              "stack-wrap: 3 more not shown\n");
    d.clear();
    EXPECT_TRUE(d.empty());
}

TEST(Diagnostics, RepeatsAreOneLineAndFindingsBeyondTheKeptOnlyCount) {
    Diagnostics d;
    for (int k = 0; k < 64; ++k)
        d.report_at(FindingKind::buffer_owned, 0x0100, 1000 + static_cast<std::uint64_t>(k),
                    static_cast<std::uint16_t>(0x7E40 + k), "write to", "writes to",
                    "EP1 OUT buffer owned by the controller");
    d.report(FindingKind::stack_wrap, 0x0200, 5, "wrap");
    d.report(FindingKind::stack_wrap, 0x0200, 6, "wrap");
    d.report(FindingKind::reserved_opcode, 0x0045, 77, "reserved opcode 0xA5 executed");
    EXPECT_EQ(d.findings()[0].message, "write to 0x7E40, EP1 OUT buffer owned by the controller");
    // The 65th of a kind is counted and asks for no text.
    EXPECT_FALSE(d.wants_text(FindingKind::buffer_owned));
    EXPECT_EQ(d.count(FindingKind::buffer_owned), 65u);
    EXPECT_TRUE(d.wants_text(FindingKind::stack_wrap));
    EXPECT_EQ(d.count(FindingKind::stack_wrap), 2u) << "a finding that will be kept is counted by its report";
    std::ostringstream out;
    d.print_summary(out);
    EXPECT_EQ(out.str(),
              "buffer-owned: 64 writes to 0x7E40-0x7E7F, EP1 OUT buffer owned by the controller, first at cycle 1000 "
              "pc 0x0100\n"
              "stack-wrap: 2 times: wrap, first at cycle 5 pc 0x0200\n"
              "cycle 77 pc 0x0045 reserved-opcode: reserved opcode 0xA5 executed\n"
              "buffer-owned: 1 more not shown\n");
}

}  // namespace
}  // namespace vboard::test
