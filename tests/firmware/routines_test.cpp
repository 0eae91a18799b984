// Firmware routines run on the bare core: the calibrated delays, the
// re-enumeration cycle, the suspend path of the main loop, the descriptor
// lookups, endpoint register addressing, and the device requests.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bare_board.h"

namespace {

using fwtest::BareBoard;
namespace reg = fwtest::reg;
using Bytes = std::vector<uint8_t>;

// The flags' bits in byte 0x20, in the order main.asm declares them.
constexpr int setup_pending = 0, suspend_pending = 1, remote_wakeup_enabled = 2, self_powered = 3;

constexpr uint64_t cycles_per_ms = 6000;  // 24 MHz, 4 clocks per cycle

void expect_no_findings(const BareBoard& b) {
    for (const auto& f : b.diag.findings())
        ADD_FAILURE() << "firmware finding at pc 0x" << std::hex << f.pc << ": " << f.message;
}

// ---- delays ----------------------------------------------------------------

TEST(FirmwareDelay, OneMillisecondIs603PassesOfTenCyclesPlusItsOverhead) {
    BareBoard b;
    b.cpu.set_sfr(vboard::sfr::DPS, 1);
    // lcall 4, mov DPS 3, mov DPTR 3, 603 x 10, ret 4
    EXPECT_EQ(b.call("delay_1ms"), 4u + 3 + 3 + 6030 + 4);
    EXPECT_EQ(b.cpu.sfr(vboard::sfr::DPS), 0) << "data pointer 0 selected";
    EXPECT_EQ(b.cpu.dptr0(), 0u);
    expect_no_findings(b);
}

TEST(FirmwareDelay, CountedDelayCallsTheOneMillisecondDelayExactlyCountTimes) {
    for (unsigned n : {0u, 1u, 2u, 255u, 256u, 1500u}) {
        SCOPED_TRACE(n);
        BareBoard b;
        struct Counter {
            uint16_t at;
            unsigned hits = 0;
        } counter{b.sym("delay_1ms")};
        b.cpu.set_trace(
            [](void* ctx, const vboard::Cpu& c) {
                auto& k = *static_cast<Counter*>(ctx);
                if (c.pc() == k.at) ++k.hits;
            },
            &counter);
        b.iram(6) = static_cast<uint8_t>(n >> 8);  // R6:R7 = count
        b.iram(7) = static_cast<uint8_t>(n);
        const uint64_t cycles = b.call("delay_ms");
        EXPECT_EQ(counter.hits, n);
        // 6,044 per unit (the call included) plus the counting around it.
        EXPECT_GE(cycles, 6044ull * n);
        EXPECT_LE(cycles, 6044ull * n + 16ull * n + 16);
        expect_no_findings(b);
    }
}

// ---- start-up and re-enumeration -----------------------------------------------

// Runs from reset to the first call of bus_reconnect.
void run_to_first_reconnect(BareBoard& b) {
    b.x(reg::USBCS) = 0b00000100;  // on the bus: DISCOE driven, DISCON clear
    b.cpu.set_pc(0);
    b.cpu.set_breakpoint(b.sym("bus_reconnect"));
    ASSERT_EQ(b.cpu.run(b.cpu.cycles() + 1'000'000), vboard::StopReason::breakpoint);
    ASSERT_EQ(b.cpu.pc(), b.sym("bus_reconnect"));
}

uint16_t return_address(BareBoard& b) {
    const uint8_t sp = b.cpu.sp();
    return static_cast<uint16_t>(b.iram(sp) << 8 | b.iram(static_cast<uint8_t>(sp - 1)));
}

TEST(FirmwareStartup, BoardLeavesAndRejoinsTheBusAboutEveryFiveAndAHalfSeconds) {
    BareBoard b;
    run_to_first_reconnect(b);
    EXPECT_EQ(b.x(reg::USBIEN), 0b00011101) << "SETUP data, SETUP token, suspend, reset";
    EXPECT_EQ(b.x(reg::USBBAV) & 1, 1) << "autovectoring";
    EXPECT_TRUE(b.flag(remote_wakeup_enabled));
    EXPECT_FALSE(b.flag(self_powered));

    const uint64_t t_off = b.cpu.cycles();
    const uint16_t back = return_address(b);
    b.clear_writes();
    b.cpu.set_breakpoint(back);
    ASSERT_EQ(b.cpu.run(b.cpu.cycles() + 20'000'000), vboard::StopReason::breakpoint);
    ASSERT_EQ(b.cpu.pc(), back);
    const uint64_t t_on = b.cpu.cycles();
    // Off the bus for 1,500 delay units.
    EXPECT_GE(t_on - t_off, 1500ull * 6044);
    EXPECT_LE(t_on - t_off, 1500ull * 6070);
    // DISCON set, DISCOE cleared, DISCON again, RENUM; ...; DISCON cleared, DISCOE set.
    EXPECT_EQ(b.writes_to(reg::USBCS), (Bytes{0x0C, 0x08, 0x08, 0x0A, 0x02, 0x06}));
    EXPECT_EQ(b.writes_to(reg::USBIRQ), Bytes{0xFF});
    EXPECT_EQ(b.writes_to(reg::IN07IRQ), Bytes{0xFF});
    EXPECT_EQ(b.writes_to(reg::OUT07IRQ), Bytes{0xFF});

    // No SETUP: 299,584 passes of 80 cycles, then the board leaves again.
    ASSERT_EQ(b.cpu.run(b.cpu.cycles() + 30'000'000), vboard::StopReason::breakpoint);
    ASSERT_EQ(b.cpu.pc(), b.sym("bus_reconnect"));
    const uint64_t wait = b.cpu.cycles() - t_on;
    EXPECT_GE(wait, 299'584ull * 80);
    EXPECT_LE(wait, 299'584ull * 80 + 299'584 / 256 * 8 + 100);
    const double period_s = double(b.cpu.cycles() - t_off) / (cycles_per_ms * 1000);
    EXPECT_NEAR(period_s, 5.5, 0.05);
    expect_no_findings(b);
}

TEST(FirmwareStartup, DisconnectionIsDoubledWhenCpucsBit3ReadsOne) {
    BareBoard b;
    b.cpucs_slow = true;
    run_to_first_reconnect(b);
    b.cpu.set_breakpoint(b.sym("bus_reconnect"), false);
    const uint64_t cycles = b.call("bus_reconnect", 40'000'000);
    EXPECT_GE(cycles, 3000ull * 6044);
    EXPECT_LE(cycles, 3000ull * 6070);
}

TEST(FirmwareStartup, SetupPacketDuringTheWaitEndsItAndIsServedFirst) {
    BareBoard b;
    run_to_first_reconnect(b);
    const uint16_t back = return_address(b);
    b.cpu.set_breakpoint(back);
    ASSERT_EQ(b.cpu.run(b.cpu.cycles() + 20'000'000), vboard::StopReason::breakpoint);
    b.cpu.run(b.cpu.cycles() + 1'000'000);  // part of the wait
    // GET_STATUS to the device arrives.
    const Bytes get_status = {0x80, 0x00, 0, 0, 0, 0, 2, 0};
    std::copy(get_status.begin(), get_status.end(), &b.x(reg::SETUPDAT));
    b.set_flag(setup_pending, true);
    b.cpu.set_breakpoint(b.sym("handle_setup_request"));
    ASSERT_EQ(b.cpu.run(b.cpu.cycles() + 200), vboard::StopReason::breakpoint) << "wait did not end";
    b.cpu.set_breakpoint(b.sym("handle_setup_request"), false);
    b.cpu.set_breakpoint(b.sym("stream_poll"));
    ASSERT_EQ(b.cpu.run(b.cpu.cycles() + 10'000), vboard::StopReason::breakpoint);
    ASSERT_EQ(b.ep0_packets.size(), 1u);
    EXPECT_EQ(b.ep0_packets[0], (Bytes{0x02, 0x00})) << "remote wake-up on, bus-powered";
    EXPECT_FALSE(b.flag(setup_pending));
    EXPECT_EQ(b.cpu.sfr(vboard::sfr::CKCON) & 7, 0) << "MOVX stretch cleared after the wait";
    expect_no_findings(b);
}

// ---- suspend and resume ------------------------------------------------------------

// Starts the main routine with the re-enumeration skipped: a SETUP packet
// (SET_CONFIGURATION) is pending as soon as the wait begins.
void start_main_loop(BareBoard& b) {
    run_to_first_reconnect(b);
    const uint16_t back = return_address(b);
    b.cpu.set_breakpoint(b.sym("bus_reconnect"), false);
    b.cpu.set_sfr(vboard::sfr::SP, static_cast<uint8_t>(b.cpu.sp() - 2));
    b.cpu.set_pc(back);
    const Bytes set_config = {0x00, 0x09, 1, 0, 0, 0, 0, 0};
    std::copy(set_config.begin(), set_config.end(), &b.x(reg::SETUPDAT));
    b.set_flag(setup_pending, true);
    b.cpu.set_breakpoint(b.sym("stream_poll"));
    ASSERT_EQ(b.cpu.run(b.cpu.cycles() + 10'000), vboard::StopReason::breakpoint);
    b.cpu.set_breakpoint(b.sym("stream_poll"), false);
}

// Suspends through the suspend event and returns when the processor idles.
void suspend(BareBoard& b) {
    b.clear_writes();
    b.raise_usb(0x0C);
    b.cpu.run_until([](const vboard::Cpu& c) { return c.idle(); }, b.cpu.cycles() + 10'000);
    ASSERT_TRUE(b.cpu.idle());
    EXPECT_FALSE(b.flag(suspend_pending)) << "cleared before the processor stops";
}

TEST(FirmwareSuspend, BusResumeContinuesWithoutResumeSignalling) {
    BareBoard b;
    start_main_loop(b);
    suspend(b);
    b.cpu.run(b.cpu.cycles() + 100'000);
    EXPECT_TRUE(b.cpu.idle()) << "stays idle until a wake-up";
    b.cpu.set_interrupt(vboard::Irq::resume);  // the bus resumes: WAKESRC 0
    b.cpu.set_breakpoint(b.sym("stream_poll"));
    ASSERT_EQ(b.cpu.run(b.cpu.cycles() + 1'000), vboard::StopReason::breakpoint);
    EXPECT_FALSE(b.cpu.interrupt_flag(vboard::Irq::resume)) << "resume flag cleared";
    for (uint8_t v : b.writes_to(reg::USBCS)) EXPECT_EQ(v & 1, 0) << "no SIGRSUME";
    expect_no_findings(b);
}

TEST(FirmwareSuspend, WakeupPinSignalsResumeFor20UnitsWhenRemoteWakeupIsAllowed) {
    BareBoard b;
    start_main_loop(b);
    suspend(b);
    b.clear_writes();
    b.cpucs_slow = true;      // not doubled
    b.x(reg::USBCS) |= 0x80;  // WAKEUP# pin: WAKESRC 1
    b.cpu.set_interrupt(vboard::Irq::resume);
    b.cpu.set_breakpoint(b.sym("stream_poll"));
    ASSERT_EQ(b.cpu.run(b.cpu.cycles() + 1'000'000), vboard::StopReason::breakpoint);
    uint64_t on = 0, off = 0;
    for (size_t i = 0; i < b.writes.size(); ++i) {
        if (b.writes[i].first != reg::USBCS) continue;
        if ((b.writes[i].second & 1) && !on) on = b.write_cycles[i];
        if (!(b.writes[i].second & 1) && on && !off) off = b.write_cycles[i];
    }
    ASSERT_TRUE(on && off) << "SIGRSUME not set and cleared";
    EXPECT_NEAR(double(off - on) / 6044, 20.0, 0.5) << "20 delay units, whatever CPUCS bit 3";
    EXPECT_EQ(b.x(reg::USBCS) & 0x80, 0) << "the wake source taken after the wake-up";
    expect_no_findings(b);
}

TEST(FirmwareSuspend, WakeupPinIsIgnoredAfterTheHostClearedRemoteWakeup) {
    BareBoard b;
    start_main_loop(b);
    b.set_flag(remote_wakeup_enabled, false);
    suspend(b);
    b.clear_writes();
    b.x(reg::USBCS) |= 0x80;
    b.cpu.set_interrupt(vboard::Irq::resume);
    b.cpu.set_breakpoint(b.sym("stream_poll"));
    EXPECT_NE(b.cpu.run(b.cpu.cycles() + 200'000), vboard::StopReason::breakpoint);
    EXPECT_TRUE(b.cpu.idle()) << "straight back to idle";
    for (uint8_t v : b.writes_to(reg::USBCS)) EXPECT_EQ(v & 1, 0) << "no SIGRSUME";
    // The bus resumes: now it carries on.
    b.cpu.set_interrupt(vboard::Irq::resume);
    EXPECT_EQ(b.cpu.run(b.cpu.cycles() + 1'000), vboard::StopReason::breakpoint);
    expect_no_findings(b);
}

// ---- descriptor lookups and endpoint registers ------------------------------------

TEST(FirmwareDescriptors, LookupsFindIndexesInTheTableAndNothingBeyond) {
    BareBoard b;
    b.set_descriptor_pointers();
    const uint16_t config = b.sym("config_descriptor");
    const uint16_t strings = b.sym("string_descriptors");
    const struct {
        const char* routine;
        uint8_t index;
        uint16_t expected;
    } cases[] = {
        {"find_config_descriptor", 0, config},
        {"find_config_descriptor", 1, 0},
        {"find_config_descriptor", 2, 0},
        {"find_config_descriptor", 4, 0},
        {"find_config_descriptor", 255, 0},
        {"find_string_descriptor", 0, strings},
        {"find_string_descriptor", 1, static_cast<uint16_t>(strings + 4)},
        {"find_string_descriptor", 2, static_cast<uint16_t>(strings + 14)},
        {"find_string_descriptor", 3, 0},
        {"find_string_descriptor", 4, 0},
        {"find_string_descriptor", 255, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.routine) + " " + std::to_string(c.index));
        b.cpu.set_sfr(vboard::sfr::ACC, c.index);
        b.call(c.routine, 100'000);
        EXPECT_EQ(b.cpu.dptr0(), c.expected);
    }
    expect_no_findings(b);
}

TEST(FirmwareEndpoints, EndpointAddressSelectsItsControlAndStatusRegister) {
    BareBoard b;
    const struct {
        uint8_t endpoint;
        uint16_t reg;
    } cases[] = {
        {0x00, 0x7FC4}, {0x01, 0x7FC6}, {0x02, 0x7FC8}, {0x07, 0x7FD2}, {0x80, 0x7FB4},
        {0x81, 0x7FB6}, {0x82, 0x7FB8}, {0x87, 0x7FC2}, {0xF9, 0x7FB6}, {0x7A, 0x7FC8},
    };
    for (const auto& c : cases) {
        b.cpu.set_sfr(vboard::sfr::ACC, c.endpoint);
        b.call("endpoint_cs_addr", 1'000);
        EXPECT_EQ(b.cpu.dptr0(), c.reg) << "endpoint 0x" << std::hex << int(c.endpoint);
    }
}

}  // namespace
