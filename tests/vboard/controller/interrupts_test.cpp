// Request and enable registers, write-1-to-clear, the INT2 edge with its
// re-edge, the autovector offsets (as IVEC shows them), request counting
// for paired endpoints, and the resume interrupt.
#include "rig.h"

namespace vboard::test {
namespace {

using usb::DataPid;

class Interrupts : public Rig {
protected:
    Interrupts() {
        wr(OUT07VAL, 0xFF & ~bmEP3);
        wr(IN07VAL, 0xFF & ~bmEP3);
        wr(USBCS, rd(USBCS) | bmRENUM);
    }
    bool usbint() { return board.cpu().interrupt_flag(Irq::usb); }
    void clear_usbint() { board.cpu().set_interrupt(Irq::usb, false); }
    // One packet on OUT endpoint `ep` (its toggle reset to DATA0 first).
    void packet_on(std::uint8_t ep) {
        wr(TOGCTL, static_cast<std::uint8_t>(bmTOG_R | ep));
        wr(static_cast<std::uint16_t>(OUT0BC + 2 * ep), 0);
        ASSERT_EQ(host_out(ep, DataPid::data0, {ep}), usb::Handshake::ack);
    }
};

TEST_F(Interrupts, RequestsSetRegardlessOfEnablesAndInterruptOnlyWhenEnabled) {
    packet_on(1);
    EXPECT_EQ(rd(OUT07IRQ), bmEP1);
    EXPECT_FALSE(usbint()) << "disabled request: no interrupt";
    wr(OUT07IEN, bmEP1);
    EXPECT_TRUE(usbint()) << "enabling a pending request is a rising edge";

    wr(OUT07IRQ, 0);
    EXPECT_EQ(rd(OUT07IRQ), bmEP1) << "writing 0 leaves a request";
    packet_on(4);
    wr(OUT07IRQ, bmEP4);
    EXPECT_EQ(rd(OUT07IRQ), bmEP1) << "writing 1 clears that bit alone";
}

TEST_F(Interrupts, AcknowledgingOneRequestReEdgesForAnotherStillPending) {
    wr(USBIEN, bmSUDAV | bmURES);
    wr(OUT07IEN, bmEP1);
    ctl.setup(0, setup_packet(0x00, 9, 1, 0, 0));  // SUDAV
    packet_on(1);
    EXPECT_TRUE(usbint());

    clear_usbint();  // the handler: USBINT first ...
    wr(USBIRQ, bmSUDAV);  // ... then its request bit
    EXPECT_TRUE(usbint()) << "EP1 OUT still pending: a new edge";
    EXPECT_EQ(rd(IVEC), 0x24);

    clear_usbint();
    wr(OUT07IRQ, bmEP1);
    EXPECT_FALSE(usbint()) << "nothing left";

    // A request that rises while the line is already high is no edge of its
    // own; it is caught by the acknowledgement of the other.
    packet_on(1);
    clear_usbint();
    board.bus_reset();
    EXPECT_FALSE(usbint());
    wr(OUT07IRQ, bmEP1);
    EXPECT_TRUE(usbint());
    EXPECT_EQ(rd(IVEC), 0x10);
}

TEST_F(Interrupts, AutovectorOffsetsFollowThePriorityOrder) {
    wr(USBIEN, 0x1F);
    wr(IN07IEN, 0xFF);
    wr(OUT07IEN, 0xFF);
    // Raise from the least urgent up; IVEC always shows the most urgent.
    packet_on(7);
    EXPECT_EQ(rd(IVEC), 0x54) << "EP7 OUT";
    wr(IN2BC, 0);
    host_in(2);
    EXPECT_EQ(rd(IVEC), 0x28) << "EP2 IN";
    packet_on(1);
    EXPECT_EQ(rd(IVEC), 0x24) << "EP1 OUT";
    board.bus_reset();
    EXPECT_EQ(rd(IVEC), 0x10) << "USB reset";
    board.run_for_ms(4);  // no SOF since: the bus is suspended ... once it was active
    board.start_of_frame(1);
    board.run_for_ms(4);
    EXPECT_EQ(rd(USBIRQ) & bmSUSP, bmSUSP);
    EXPECT_EQ(rd(IVEC), 0x04) << "SOF (from the frame before the suspend)";
    ctl.setup(0, setup_packet(0x00, 9, 1, 0, 0));
    EXPECT_EQ(rd(IVEC), 0x00) << "SUDAV";

    wr(USBIRQ, bmSUDAV);
    EXPECT_EQ(rd(IVEC), 0x04);
    wr(USBIRQ, bmSOF);
    EXPECT_EQ(rd(IVEC), 0x08) << "SUTOK";
    wr(USBIRQ, bmSUTOK);
    EXPECT_EQ(rd(IVEC), 0x0C) << "SUSPEND";
    wr(USBIRQ, 0xFF);
    wr(OUT07IRQ, bmEP1);
    EXPECT_EQ(rd(IVEC), 0x28);
}

TEST_F(Interrupts, EachPacketOfAPairIsItsOwnRequest) {
    wr(USBPAIR, 0x09);
    wr(OUT07IEN, bmEP2);
    wr(OUT2BC, 0);
    ASSERT_EQ(host_out(2, DataPid::data0, {1}), usb::Handshake::ack);
    ASSERT_EQ(host_out(2, DataPid::data1, {2}), usb::Handshake::ack);
    // The handler of the first packet: re-arm, USBINT, request bit.
    wr(OUT2BC, 0);
    clear_usbint();
    wr(OUT07IRQ, bmEP2);
    EXPECT_EQ(rd(OUT07IRQ), bmEP2) << "the second packet's request is still there";
    EXPECT_TRUE(usbint());
    EXPECT_EQ(rd(OUT2BUF), 2);
    wr(OUT2BC, 0);
    clear_usbint();
    wr(OUT07IRQ, bmEP2);
    EXPECT_EQ(rd(OUT07IRQ), 0);
    EXPECT_FALSE(usbint());
}

// A handler that re-arms before it acknowledges frees a buffer early: a
// packet landing there in between is counted too, not merged into the
// request being acknowledged.
TEST_F(Interrupts, APacketLandingBetweenReArmAndAcknowledgementIsItsOwnRequest) {
    wr(USBPAIR, 0x09);
    wr(OUT07IEN, bmEP2);
    wr(OUT2BC, 0);
    ASSERT_EQ(host_out(2, DataPid::data0, {1}), usb::Handshake::ack);
    ASSERT_EQ(host_out(2, DataPid::data1, {2}), usb::Handshake::ack);
    wr(OUT2BC, 0);  // the first packet's handler re-arms ...
    ASSERT_EQ(host_out(2, DataPid::data0, {3}), usb::Handshake::ack);
    clear_usbint();  // ... and only then acknowledges
    wr(OUT07IRQ, bmEP2);
    for (std::uint8_t packet : {2, 3}) {
        EXPECT_TRUE(usbint()) << "packet " << int{packet};
        EXPECT_EQ(rd(OUT07IRQ), bmEP2);
        EXPECT_EQ(rd(OUT2BUF), packet);
        wr(OUT2BC, 0);
        clear_usbint();
        wr(OUT07IRQ, bmEP2);
    }
    EXPECT_EQ(rd(OUT07IRQ), 0);
    EXPECT_FALSE(usbint());
}

TEST_F(Interrupts, ResumeInterruptFromTheWakeupPinSetsWakesrc) {
    EXPECT_FALSE(board.cpu().interrupt_flag(Irq::resume));
    board.set_wakeup_pin(false);
    EXPECT_TRUE(board.cpu().interrupt_flag(Irq::resume));
    EXPECT_EQ(rd(USBCS) & bmWAKESRC, bmWAKESRC);
    board.set_wakeup_pin(false);  // no new edge while held low
    board.cpu().set_interrupt(Irq::resume, false);
    board.set_wakeup_pin(true);
    EXPECT_FALSE(board.cpu().interrupt_flag(Irq::resume)) << "the rising edge does nothing";
    wr(USBCS, rd(USBCS));  // writing WAKESRC back as read clears it
    EXPECT_EQ(rd(USBCS) & bmWAKESRC, 0);
}

}  // namespace
}  // namespace vboard::test
