// Attach and detach through USBCS, suspend detection, bus resume, the
// WAKEUP# pin and resume signalling.
#include "rig.h"

namespace vboard::test {
namespace {

using usb::Handshake;

class Bus : public Rig {
protected:
    bool resi() { return board.cpu().interrupt_flag(Irq::resume); }
    // A port reset and the first SOF: the bus is running.
    void enable_port() {
        board.bus_reset();
        board.start_of_frame(0);
    }
};

TEST_F(Bus, DisconnectBitsDecideWhetherTheBoardIsOnTheBus) {
    EXPECT_TRUE(board.attached()) << "the bare chip is on the bus at power-on";
    EXPECT_EQ(rd(USBCS) & (bmDISCON | bmDISCOE), bmDISCOE);

    ControlHost host(board);
    ASSERT_EQ(host.transfer(setup_packet(0x00, 5, 9, 0, 0)).result, Control::Result::ok);
    EXPECT_EQ(ctl.function_address(), 9);

    wr(USBCS, rd(USBCS) | bmDISCON);
    EXPECT_FALSE(board.attached());
    EXPECT_EQ(ctl.setup(9, setup_packet(0x80, 6, 0x0100, 0, 18)), Handshake::none) << "off the bus: no answer";
    wr(USBCS, rd(USBCS) & ~bmDISCOE);
    wr(USBCS, rd(USBCS) & ~bmDISCON);
    EXPECT_FALSE(board.attached()) << "with the pin floating the board stays off";
    wr(USBCS, rd(USBCS) | bmDISCOE);
    EXPECT_TRUE(board.attached());
    EXPECT_EQ(ctl.function_address(), 0) << "a re-attached board starts at address 0";
    EXPECT_EQ(ctl.setup(0, setup_packet(0x80, 6, 0x0100, 0, 18)), Handshake::ack);
}

TEST_F(Bus, SuspendAfterThreeMillisecondsWithoutSof) {
    board.run_for_ms(10);
    EXPECT_FALSE(ctl.suspended()) << "no suspend before the bus was ever active";

    enable_port();
    for (std::uint16_t f = 1; f <= 10; ++f) {
        board.run_for_ms(1);
        board.start_of_frame(f);
    }
    EXPECT_FALSE(ctl.suspended()) << "SOF every millisecond keeps the bus awake";
    EXPECT_EQ(rd(USBFRAMEL), 10);
    const usb::clock_t last_sof = board.now();
    board.run_until(last_sof + 3 * usb::clocks_per_ms - 8);
    EXPECT_FALSE(ctl.suspended());
    board.run_until(last_sof + 3 * usb::clocks_per_ms + 8);
    EXPECT_TRUE(ctl.suspended());
    EXPECT_EQ(rd(USBIRQ) & bmSUSP, bmSUSP);
}

TEST_F(Bus, BusResumeWakesWithoutWakesrc) {
    enable_port();
    board.run_for_ms(5);
    ASSERT_TRUE(ctl.suspended());
    EXPECT_FALSE(resi());
    board.resume();
    EXPECT_FALSE(ctl.suspended());
    EXPECT_TRUE(resi());
    EXPECT_EQ(rd(USBCS) & bmWAKESRC, 0);
    board.run_for_ms(2.5);
    board.start_of_frame(2);
    board.run_for_ms(2.5);
    EXPECT_FALSE(ctl.suspended()) << "the suspend timer restarts with the resume";
}

TEST_F(Bus, WakeupPinWakesAndResumeSignallingFollowsSigrsume) {
    enable_port();
    board.run_for_ms(5);
    ASSERT_TRUE(ctl.suspended());
    board.press_wakeup();
    EXPECT_FALSE(ctl.suspended());
    EXPECT_TRUE(resi());
    EXPECT_EQ(rd(USBCS) & bmWAKESRC, bmWAKESRC);

    EXPECT_FALSE(board.signalling_resume());
    wr(USBCS, rd(USBCS) | bmSIGRSUME);
    EXPECT_TRUE(board.signalling_resume());
    board.run_for_ms(20);
    EXPECT_FALSE(ctl.suspended()) << "no new suspend while the bus has not been active again";
    wr(USBCS, rd(USBCS) & ~bmSIGRSUME);
    EXPECT_FALSE(board.signalling_resume());
    board.resume();  // the host's own resume signalling ends
    board.run_for_ms(4);
    EXPECT_TRUE(ctl.suspended()) << "and the timer runs again after the host's resume";
}

// The pin wakes the 8051, but the bus stays suspended until the host
// resumes it: firmware that went back to idle (remote wake-up not allowed)
// is woken by that resume.
TEST_F(Bus, HostResumeAfterAWakeupPinWakesTheCpuAgain) {
    enable_port();
    board.run_for_ms(5);
    ASSERT_TRUE(ctl.suspended());
    board.press_wakeup();
    ASSERT_TRUE(resi());
    board.cpu().set_interrupt(Irq::resume, false);
    board.run_for_ms(10);
    EXPECT_FALSE(resi());
    board.resume();
    EXPECT_TRUE(resi()) << "the host's resume did not wake the 8051";
    board.cpu().set_interrupt(Irq::resume, false);
    board.start_of_frame(3);
    board.resume();
    EXPECT_FALSE(resi()) << "a resume without a suspension wakes nothing";
}

TEST_F(Bus, BusResetDuringSuspendWakes) {
    enable_port();
    board.run_for_ms(5);
    ASSERT_TRUE(ctl.suspended());
    board.bus_reset();
    EXPECT_FALSE(ctl.suspended());
    EXPECT_TRUE(resi());
    EXPECT_EQ(rd(USBIRQ) & bmURES, bmURES);
}

}  // namespace
}  // namespace vboard::test
