// The firmware's bus timing on the virtual board, measured on the board's
// clock: how long it stays off the bus when it re-enumerates, how often it
// leaves and rejoins while no SETUP comes, that the first SETUP ends that,
// and the suspend and resume paths with their resume signalling.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "usb_board.h"

namespace {

using fwtest::describe;
using fwtest::Edge;
using fwtest::FirmwareUsb;
using fwtest::cycles_of;
using fwtest::ms_of;
namespace usb = fwtest::usb;
namespace host = fwtest::host;
using Kind = host::HostEvent::Kind;

constexpr usb::clock_t ms = usb::clocks_per_ms;
// Attach state and resume signalling are sampled every 10 us (60 cycles).
constexpr usb::clock_t sample = 240;

// One delay unit: delay_1ms (603 passes of 10 cycles, its set-up, return
// and call: 6,044 cycles) and the count of delay_ms around it (13 cycles).
// A measured span must lie within half a unit of its count of units, so
// one unit more or less is caught.
constexpr double unit_cycles = 6044 + 13;

// The re-enumeration wait without a SETUP: 299,584 passes of about 4 s.
constexpr double wait_s = 4.0, cycle_s = 5.5;

std::string edges_text(const std::vector<Edge>& edges) {
    std::string s;
    for (const Edge& e : edges) s += (e.on ? " on@" : " off@") + std::to_string(ms_of(e.at)) + "ms";
    return s;
}

void expect_units(usb::clock_t clocks, double units, const char* what) {
    EXPECT_NEAR(cycles_of(clocks) / unit_cycles, units, 0.5) << what << ": " << describe(clocks);
}

// ---- re-enumeration ------------------------------------------------------------

class FirmwareUsbBus : public FirmwareUsb {};

TEST_F(FirmwareUsbBus, WithoutAHostItLeavesFor1500UnitsAndRejoinsEveryFiveAndAHalfSeconds) {
    start();
    const usb::clock_t released = board->now();
    const auto edges = watch([this] { return board->attached(); }, 7200 * ms, sample);
    // On the bus as the bare controller, off at start, back, off after the
    // wait, back again.
    ASSERT_EQ(edges.size(), 5u) << edges_text(edges);
    ASSERT_TRUE(edges[0].on && !edges[1].on && edges[2].on && !edges[3].on && edges[4].on) << edges_text(edges);
    EXPECT_LT(edges[1].at - released, ms) << "leaves the bus as soon as it starts";

    const usb::clock_t off1 = edges[2].at - edges[1].at, off2 = edges[4].at - edges[3].at;
    const usb::clock_t on = edges[3].at - edges[2].at;
    const usb::clock_t period_off = edges[3].at - edges[1].at, period_on = edges[4].at - edges[2].at;
    expect_units(off1, 1500, "first disconnection");
    expect_units(off2, 1500, "second disconnection");
    EXPECT_NEAR(ms_of(on) / 1000, wait_s, 0.05) << "wait for a SETUP: " << describe(on);
    EXPECT_NEAR(ms_of(period_off) / 1000, cycle_s, 0.05) << describe(period_off);
    EXPECT_NEAR(ms_of(period_on) / 1000, cycle_s, 0.05) << describe(period_on);
    RecordProperty("off_bus_cycles", std::to_string(cycles_of(off1)));
    RecordProperty("on_bus_wait_cycles", std::to_string(cycles_of(on)));
    RecordProperty("reattach_period_cycles", std::to_string(cycles_of(period_on)));
}

TEST_F(FirmwareUsbBus, CpucsBit3DoublesTheDisconnection) {
    vboard::board::Settings settings;
    settings.cpucs_slow = true;
    start(settings);
    const auto edges = watch([this] { return board->attached(); }, 3100 * ms, sample);
    ASSERT_EQ(edges.size(), 3u) << edges_text(edges);
    ASSERT_TRUE(!edges[1].on && edges[2].on) << edges_text(edges);
    expect_units(edges[2].at - edges[1].at, 3000, "disconnection with CPUCS bit 3");
    RecordProperty("off_bus_slow_cycles", std::to_string(cycles_of(edges[2].at - edges[1].at)));
}

// A host that resets the port and sends frames but never a SETUP (its reset
// recovery outlasts the wait): neither the bus reset nor the frames end the
// wait, and the board leaves and comes back again.
TEST_F(FirmwareUsbBus, ResetAndFramesWithoutASetupDoNotEndTheWait) {
    start();
    board->run_for_ms(1);
    host::TimingProfile silent;
    silent.reset_recovery_ms = 60'000;
    attach_host(silent);
    const auto edges = watch([this] { return board->attached(); }, 7200 * ms, sample);
    ASSERT_EQ(edges.size(), 4u) << edges_text(edges);
    ASSERT_TRUE(!edges[0].on && edges[1].on && !edges[2].on && edges[3].on) << edges_text(edges);
    expect_units(edges[3].at - edges[2].at, 1500, "disconnection");
    EXPECT_NEAR(ms_of(edges[3].at - edges[1].at) / 1000, cycle_s, 0.05) << describe(edges[3].at - edges[1].at);

    // The host saw both appearances and reset the port for the first; the
    // board took the reset and the frames while it waited.
    EXPECT_EQ(events_of(Kind::attached).size(), 2u);
    EXPECT_EQ(events_of(Kind::detached).size(), 1u);
    ASSERT_FALSE(events_of(Kind::enabled).empty());
    EXPECT_LT(events_of(Kind::enabled)[0].time, edges[2].at);
    EXPECT_GT(usb_host->frames_sent(), 3000u);
    EXPECT_TRUE(events_of(Kind::enumerated).empty());
}

TEST_F(FirmwareUsbBus, TheFirstSetupEndsTheWaitAndTheBoardStaysOnTheBus) {
    enumerate();
    ASSERT_EQ(events_of(Kind::attached).size(), 1u);
    const usb::clock_t attached_at = events_of(Kind::attached)[0].time;
    const usb::clock_t enumerated_at = events_of(Kind::enumerated)[0].time;
    EXPECT_LT(ms_of(enumerated_at - attached_at), 300) << "the host's first SETUP comes about 200 ms after the attach";
    const uint64_t id = usb_host->device_id();

    // Well past the 4 s the wait would have lasted.
    const auto edges = watch([this] { return board->attached(); }, 6000 * ms, ms);
    EXPECT_EQ(edges.size(), 1u) << "left the bus after enumeration:" << edges_text(edges);
    EXPECT_TRUE(usb_host->enumerated());
    EXPECT_EQ(usb_host->device_id(), id);
    EXPECT_EQ(events_of(Kind::detached).size(), 0u);
    EXPECT_TRUE(request(0x80, 0, 0, 0, 2).ok()) << "still answers";
}

// ---- suspend and resume -------------------------------------------------------------

class FirmwareUsbSuspend : public FirmwareUsb {
protected:
    // Suspends the bus and waits until the firmware has idled the processor.
    void suspend() {
        usb_host->suspend();
        const auto sig = watch([this] { return board->signalling_resume(); }, 10 * ms, sample);
        EXPECT_EQ(sig.size(), 1u) << "resume signalling while suspending" << edges_text(sig);
        ASSERT_TRUE(board->controller().suspended()) << "the controller saw no suspend";
        ASSERT_TRUE(board->cpu().idle()) << "the firmware did not idle the processor";
    }
    // The firmware runs its loop: it answers GET_STATUS (device).
    void expect_running(const fwtest::Bytes& status) {
        EXPECT_FALSE(board->cpu().idle());
        const auto r = request(0x80, 0, 0, 0, 2);
        EXPECT_TRUE(r.ok()) << host::status_name(r.status);
        EXPECT_EQ(r.data, status);
    }
};

TEST_F(FirmwareUsbSuspend, BusResumeEndsTheSuspensionWithoutResumeSignalling) {
    enumerate();
    // Twice: the suspend flag is cleared before the processor stops, so the
    // second suspend is served as the first.
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE("suspension " + std::to_string(round + 1));
        ASSERT_NO_FATAL_FAILURE(suspend());
        usb_host->resume();
        const auto sig = watch([this] { return board->signalling_resume(); }, 30 * ms, sample);
        EXPECT_EQ(sig.size(), 1u) << "resume signalling after a bus resume" << edges_text(sig);
        EXPECT_FALSE(usb_host->suspended());
        EXPECT_TRUE(events_of(Kind::remote_wakeup).empty());
        expect_running({0x02, 0x00});
    }
}

// Idle time in suspension (idle cycles / cycles suspended) across rounds of
// suspend, resume and wake-up: a resume taken while the processor runs (the
// pin pressed on an active bus, the host's resume after a remote wake-up)
// must not keep a later suspension from idling or signal a wake-up in it.
TEST_F(FirmwareUsbSuspend, IdlesInEverySuspensionAfterResumesTakenWhileRunning) {
    enumerate();
    size_t wakeups = 0;
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE("round " + std::to_string(round + 1));
        if (round % 3 == 1) board->press_wakeup();  // the bus is active
        advance(5 * ms);
        usb_host->suspend();
        advance(4 * ms);  // the 3 ms of silence and the firmware's way to its idle
        const uint64_t idle0 = board->cpu().idle_cycles(), at0 = board->cpu().cycles();
        advance(50 * ms);
        const double idle = double(board->cpu().idle_cycles() - idle0) / double(board->cpu().cycles() - at0);
        RecordProperty("idle_permille_" + std::to_string(round + 1), std::to_string(int(idle * 1000)));
        EXPECT_GT(idle, 0.99) << "idle " << idle * 100 << " % of the suspension";
        EXPECT_EQ(events_of(Kind::remote_wakeup).size(), wakeups) << "a wake-up no pin asked for";
        if (round % 3 == 2) {  // a remote wake-up; the host's resume comes while the 8051 runs
            board->press_wakeup();
            advance(40 * ms);
            EXPECT_EQ(events_of(Kind::remote_wakeup).size(), ++wakeups);
        } else {
            usb_host->resume();
            advance(30 * ms);
        }
        expect_running({0x02, 0x00});
    }
}

class FirmwareUsbWakeup : public FirmwareUsbSuspend, public ::testing::WithParamInterface<bool> {};

TEST_P(FirmwareUsbWakeup, WakeupPinSignalsResumeFor20UnitsWhenRemoteWakeupIsAllowed) {
    vboard::board::Settings settings;
    settings.cpucs_slow = GetParam();  // the 20 units are not doubled
    enumerate(settings);
    ASSERT_NO_FATAL_FAILURE(suspend());
    const usb::clock_t pressed = board->now();
    board->press_wakeup();
    const auto sig = watch([this] { return board->signalling_resume(); }, 40 * ms, sample);
    ASSERT_EQ(sig.size(), 3u) << edges_text(sig);
    ASSERT_TRUE(sig[1].on && !sig[2].on) << edges_text(sig);
    // 2 units after the wake-up: with the 3 ms before the suspend was
    // seen, the bus has been idle the 5 ms a device waits before it signals.
    expect_units(sig[1].at - pressed, 2, "the wait before signalling");
    expect_units(sig[2].at - sig[1].at, 20, "resume signalling");
    RecordProperty("resume_signalling_cycles", std::to_string(cycles_of(sig[2].at - sig[1].at)));

    // The host took the remote wake-up and resumed the bus.
    EXPECT_EQ(events_of(Kind::remote_wakeup).size(), 1u);
    EXPECT_EQ(events_of(Kind::resumed).size(), 1u);
    EXPECT_FALSE(usb_host->suspended());
    expect_running({0x02, 0x00});
}

INSTANTIATE_TEST_SUITE_P(Cpucs, FirmwareUsbWakeup, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "bit3" : "plain"; });

TEST_F(FirmwareUsbSuspend, WakeupPinIsIgnoredAfterTheHostClearedRemoteWakeup) {
    enumerate();
    ASSERT_TRUE(request(0x00, 1, 1, 0, 0).ok()) << "CLEAR_FEATURE(DEVICE_REMOTE_WAKEUP)";
    ASSERT_NO_FATAL_FAILURE(suspend());
    board->press_wakeup();
    const auto sig = watch([this] { return board->signalling_resume(); }, 40 * ms, sample);
    EXPECT_EQ(sig.size(), 1u) << "resume signalling without remote wake-up" << edges_text(sig);
    EXPECT_TRUE(board->cpu().idle()) << "not back to idle";
    EXPECT_TRUE(usb_host->suspended());
    EXPECT_TRUE(events_of(Kind::remote_wakeup).empty());

    // It stays suspended until the bus resumes, then carries on.
    advance(100 * ms);
    EXPECT_TRUE(board->cpu().idle());
    usb_host->resume();
    expect_running({0x00, 0x00});
}

}  // namespace
