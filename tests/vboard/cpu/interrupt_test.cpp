// Interrupt entry, priority, latency, the one-more-instruction rule, idle
// and wake.
#include <gtest/gtest.h>

#include <vector>

#include "machine.h"

namespace vboard::test {
namespace {

constexpr std::uint8_t IE = 0xA8, IP = 0xB8, EXIF = 0x91, EICON = 0xD8, EIE = 0xE8, EIP = 0xF8, PCON = 0x87;

// A handler that clears USBINT (anl EXIF,#0xEF) and returns.
void usb_handler(Machine& m) { m.load(0x0043, {0x53, 0x91, 0xEF, 0x32}); }

// Main program: NOPs from 0x0100 (code memory is zero-filled).
Machine& enabled(Machine& m, std::uint8_t ie, std::uint8_t eie) {
    m.cpu.set_pc(0x0100);
    m.cpu.set_sfr(IE, ie);
    m.cpu.set_sfr(EIE, eie);
    return m;
}

std::uint16_t pushed_return(const Machine& m) {
    const std::uint8_t sp = m.cpu.sp();
    return static_cast<std::uint16_t>(m.cpu.iram()[sp] << 8 | m.cpu.iram()[sp - 1]);
}

TEST(Interrupts, EntryTakesFourCyclesAfterOneSampledInstruction) {
    Machine m;
    usb_handler(m);
    enabled(m, 0x80, 0x01);
    m.cpu.step();
    m.cpu.step();
    const std::uint64_t t = m.cpu.cycles();
    m.cpu.set_interrupt(Irq::usb);
    EXPECT_TRUE(m.cpu.interrupt_flag(Irq::usb));
    EXPECT_EQ(m.cpu.sfr(EXIF), 0x10);
    m.cpu.step();  // the request is first sampled during this instruction
    EXPECT_EQ(m.cpu.pc(), 0x0103);
    m.cpu.step();  // the hardware call
    EXPECT_EQ(m.cpu.pc(), 0x0043);
    EXPECT_EQ(m.cpu.cycles() - t, 5u) << "minimum latency: 1 to detect, 4 for the call";
    EXPECT_EQ(m.cpu.sp(), 0x09);
    EXPECT_EQ(pushed_return(m), 0x0103);
    EXPECT_EQ(m.cpu.interrupts_in_service(), 1);
    m.cpu.run_until([](const Cpu& c) { return c.interrupts_in_service() == 0; }, 1000);
    EXPECT_EQ(m.cpu.pc(), 0x0103);
    EXPECT_FALSE(m.cpu.interrupt_flag(Irq::usb));
    EXPECT_TRUE(m.diag.empty());
}

TEST(Interrupts, LongInstructionDelaysEntry) {
    Machine m;
    usb_handler(m);
    enabled(m, 0x80, 0x01);
    m.load(0x0100, {0xA4});  // mul ab
    const std::uint64_t t = m.cpu.cycles();
    m.cpu.set_interrupt(Irq::usb);
    m.cpu.run_until([](const Cpu& c) { return c.pc() == 0x0043; }, 100);
    EXPECT_EQ(m.cpu.cycles() - t, 9u);
}

TEST(Interrupts, WorstCaseLatencyAfterRetiAndMul) {
    Machine m;
    usb_handler(m);
    m.load(0x0003, {0x32});        // int0: reti
    m.load(0x0100, {0x00, 0xA4});  // nop; mul ab
    m.cpu.set_irq_ack([](void* ctx, Irq irq) { static_cast<Cpu*>(ctx)->set_interrupt(irq, false); }, &m.cpu);
    enabled(m, 0x81, 0x01);
    m.cpu.set_interrupt(Irq::int0);
    m.cpu.run_until([](const Cpu& c) { return c.pc() == 0x0003; }, 100);
    const std::uint64_t t = m.cpu.cycles();
    m.cpu.set_interrupt(Irq::usb);  // raised just as the reti starts
    m.cpu.run_until([](const Cpu& c) { return c.pc() == 0x0043; }, 100);
    EXPECT_EQ(m.cpu.cycles() - t, 13u) << "reti 4, the mul after it 5, the call 4";
}

TEST(Interrupts, DisabledRequestsWait) {
    Machine m;
    usb_handler(m);
    enabled(m, 0x00, 0x01);  // EA clear
    m.load(0x0100, {0xD2, 0xAF});  // setb EA
    m.cpu.set_interrupt(Irq::usb);
    m.cpu.step();
    EXPECT_EQ(m.cpu.pc(), 0x0102);
    m.cpu.step();  // one more instruction after a write to IE
    EXPECT_EQ(m.cpu.pc(), 0x0103);
    m.cpu.step();
    EXPECT_EQ(m.cpu.pc(), 0x0043);
    EXPECT_EQ(pushed_return(m), 0x0103);
}

TEST(Interrupts, NaturalOrderWithinALevelAndPriorityBits) {
    for (const bool usb_high : {false, true}) {
        SCOPED_TRACE(usb_high ? "USB at high priority" : "both low");
        Machine m;
        enabled(m, 0x81, 0x01);  // EA, EX0, USB
        m.cpu.set_sfr(EIP, usb_high ? 0x01 : 0x00);
        m.cpu.set_interrupt(Irq::int0);
        m.cpu.set_interrupt(Irq::usb);
        m.cpu.step();
        m.cpu.step();
        EXPECT_EQ(m.cpu.pc(), usb_high ? 0x0043 : 0x0003);
    }
}

TEST(Interrupts, NestingFollowsTheThreeLevels) {
    Machine m;  // the handlers are NOPs (code memory is zero-filled)
    enabled(m, 0x81, 0x01);
    m.cpu.set_sfr(EICON, 0x20);  // ERESI
    m.cpu.set_interrupt(Irq::usb);
    m.cpu.step();
    m.cpu.step();
    ASSERT_EQ(m.cpu.pc(), 0x0043);
    m.cpu.set_interrupt(Irq::int0);  // same level: waits
    m.cpu.step();
    m.cpu.step();
    EXPECT_EQ(m.cpu.pc(), 0x0045) << "int0 must not preempt a handler of its level";
    m.cpu.set_interrupt(Irq::resume);  // highest level: preempts
    m.cpu.step();
    m.cpu.step();
    EXPECT_EQ(m.cpu.pc(), 0x0033);
    EXPECT_EQ(m.cpu.interrupts_in_service(), 2);
    m.cpu.set_sfr(IP, 0x01);  // even a high-level int0 cannot preempt resume
    m.cpu.step();
    m.cpu.step();
    EXPECT_EQ(m.cpu.pc(), 0x0035);
}

TEST(Interrupts, OneMoreInstructionRunsAfterReti) {
    Machine m;
    usb_handler(m);
    m.load(0x0003, {0x32});  // int0: reti (its request is cleared on vectoring, below)
    m.cpu.set_irq_ack([](void* ctx, Irq irq) { static_cast<Cpu*>(ctx)->set_interrupt(irq, false); }, &m.cpu);
    enabled(m, 0x81, 0x01);
    m.cpu.set_interrupt(Irq::int0);
    m.cpu.set_interrupt(Irq::usb);
    m.cpu.step();
    m.cpu.step();
    ASSERT_EQ(m.cpu.pc(), 0x0003);
    EXPECT_FALSE(m.cpu.interrupt_flag(Irq::int0)) << "the ack hook clears the line";
    m.cpu.step();  // reti
    EXPECT_EQ(m.cpu.pc(), 0x0101);
    m.cpu.step();  // one instruction of the main program
    EXPECT_EQ(m.cpu.pc(), 0x0102);
    m.cpu.step();
    EXPECT_EQ(m.cpu.pc(), 0x0043);
}

TEST(Interrupts, FirmwareSetFlagIsTakenAfterTheWritingInstruction) {
    Machine m;
    usb_handler(m);
    enabled(m, 0x80, 0x01);
    m.load(0x0100, {0x43, 0x91, 0x10});  // orl EXIF,#0x10
    m.cpu.step();
    m.cpu.step();
    EXPECT_EQ(m.cpu.pc(), 0x0043);
    EXPECT_EQ(pushed_return(m), 0x0103);
}

TEST(Idle, WaitsForAnInterruptThenResumesAfterTheIdleInstruction) {
    Machine m;
    usb_handler(m);
    enabled(m, 0x80, 0x01);
    m.load(0x0100, {0x43, 0x87, 0x01, 0x74, 0x55, 0x80, 0xFE});  // orl PCON,#1; mov a,#0x55; sjmp .
    EXPECT_EQ(m.cpu.run(1000), StopReason::cycles);
    EXPECT_TRUE(m.cpu.idle());
    EXPECT_EQ(m.cpu.cycles(), 1000u) << "idle consumes time up to the limit";
    EXPECT_EQ(m.cpu.pc(), 0x0103);
    EXPECT_EQ(m.cpu.instructions(), 1u);
    EXPECT_EQ(m.cpu.acc(), 0x00);
    m.cpu.set_interrupt(Irq::usb);
    m.cpu.run_until([](const Cpu& c) { return c.pc() == 0x0043; }, 2000);
    EXPECT_EQ(m.cpu.cycles(), 1005u) << "sampled in the next cycle, then the 4-cycle call";
    EXPECT_FALSE(m.cpu.idle());
    EXPECT_EQ(m.cpu.sfr(PCON) & 1, 0);
    m.cpu.run_until([](const Cpu& c) { return c.acc() == 0x55; }, 2000);
    EXPECT_EQ(m.cpu.pc(), 0x0105);
    EXPECT_FALSE(m.cpu.idle());
}

TEST(Idle, DisabledRequestDoesNotWake) {
    Machine m;
    enabled(m, 0x00, 0x01);
    m.load(0x0100, {0x43, 0x87, 0x01});
    m.cpu.set_interrupt(Irq::usb);
    m.cpu.run(500);
    EXPECT_TRUE(m.cpu.idle());
    EXPECT_EQ(m.cpu.cycles(), 500u);
    m.cpu.run(600);
    EXPECT_EQ(m.cpu.pc(), 0x0103);
}

TEST(Idle, ResumeWakesTheCore) {
    Machine m;
    enabled(m, 0x80, 0x00);
    m.cpu.set_sfr(EICON, 0x20);
    m.load(0x0100, {0x43, 0x87, 0x01});
    m.load(0x0033, {0xC2, 0xDC, 0x32});  // clr RESI; reti
    m.cpu.run(100);
    ASSERT_TRUE(m.cpu.idle());
    m.cpu.set_interrupt(Irq::resume);
    EXPECT_EQ(m.cpu.sfr(EICON), 0x30);
    m.cpu.run_until([](const Cpu& c) { return c.pc() == 0x0033; }, 200);
    EXPECT_EQ(m.cpu.cycles(), 105u);
    m.cpu.run(200);
    EXPECT_FALSE(m.cpu.idle());
    EXPECT_EQ(m.cpu.sfr(EICON), 0x20);
    EXPECT_TRUE(m.diag.empty());
}

TEST(Interrupts, VectorsOfAllSources) {
    const std::uint16_t expected[irq_count] = {0x33, 0x03, 0x0B, 0x13, 0x1B, 0x23, 0x2B, 0x3B, 0x43, 0x4B, 0x53, 0x5B, 0x63};
    for (int src = 0; src < irq_count; ++src) {
        SCOPED_TRACE(src);
        Machine m;
        enabled(m, 0xFF, 0x1F);
        m.cpu.set_sfr(EICON, 0x20);
        EXPECT_EQ(irq_vector(static_cast<Irq>(src)), expected[src]);
        m.cpu.set_interrupt(static_cast<Irq>(src));
        m.cpu.step();
        m.cpu.step();
        EXPECT_EQ(m.cpu.pc(), expected[src]);
    }
}

}  // namespace
}  // namespace vboard::test
