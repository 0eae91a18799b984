// Endpoints and arming, stall and valid bits, toggles, pairing, bus reset
// effects, and the buffer firmware checks.
#include "rig.h"

namespace vboard::test {
namespace {

using usb::DataPid;
using usb::Handshake;

class Endpoints : public Rig {
protected:
    Endpoints() {
        wr(IN07VAL, 0xFF & ~bmEP3);
        wr(OUT07VAL, 0xFF & ~bmEP3);
    }
};

TEST_F(Endpoints, OutArmedByByteCountReceivesOnePacket) {
    const std::vector<std::uint8_t> packet = {1, 2, 3, 4, 5};
    EXPECT_EQ(host_out(1, DataPid::data0, packet), Handshake::nak) << "unarmed endpoint must NAK";
    EXPECT_EQ(rd(OUT1CS) & bmEPBUSY, 0);

    wr(OUT1BC, 0x00);  // any value arms
    EXPECT_EQ(rd(OUT1CS) & bmEPBUSY, bmEPBUSY);
    EXPECT_EQ(host_out(1, DataPid::data0, packet), Handshake::ack);
    EXPECT_EQ(rd(OUT1CS) & bmEPBUSY, 0) << "busy clears when the packet has arrived";
    EXPECT_EQ(rd(OUT1BC), 5);
    EXPECT_EQ(get(OUT1BUF, 5), packet);
    EXPECT_EQ(rd(OUT07IRQ), bmEP1);

    EXPECT_EQ(host_out(1, DataPid::data1, {9}), Handshake::nak) << "the 8051 still holds the buffer";
    wr(OUT1BC, 0x40);
    EXPECT_EQ(host_out(1, DataPid::data1, {9}), Handshake::ack);
    EXPECT_EQ(rd(OUT1BC), 1);
    EXPECT_EQ(rd(OUT1BUF), 9);
}

TEST_F(Endpoints, InLoadedByByteCountIsTakenOnce) {
    EXPECT_EQ(host_in(1).handshake, Handshake::nak);
    put(IN1BUF, {0xA1, 0xA2, 0xA3});
    wr(IN1BC, 3);
    EXPECT_EQ(rd(IN1CS) & bmEPBUSY, bmEPBUSY);
    EXPECT_EQ(rd(IN1BC), 3);
    const usb::InPacket p = host_in(1);
    ASSERT_EQ(p.handshake, Handshake::ack);
    EXPECT_EQ(p.pid, DataPid::data0);
    EXPECT_EQ(bytes_of(p), (std::vector<std::uint8_t>{0xA1, 0xA2, 0xA3}));
    EXPECT_EQ(rd(IN1CS) & bmEPBUSY, 0);
    EXPECT_EQ(rd(IN07IRQ), bmEP1);
    EXPECT_EQ(host_in(1).handshake, Handshake::nak);

    wr(IN1BC, 0);  // a zero-length packet
    const usb::InPacket z = host_in(1);
    EXPECT_EQ(z.handshake, Handshake::ack);
    EXPECT_EQ(z.length, 0);
    EXPECT_EQ(z.pid, DataPid::data1);
}

TEST_F(Endpoints, StallAndValidBits) {
    wr(IN4CS, bmEPSTALL);
    wr(OUT4CS, bmEPSTALL);
    wr(OUT4BC, 0);
    EXPECT_EQ(host_in(4).handshake, Handshake::stall);
    EXPECT_EQ(host_out(4, DataPid::data0, {1}), Handshake::stall);
    EXPECT_EQ(rd(IN4CS), bmEPSTALL);
    wr(IN4CS, 0);
    wr(OUT4CS, 0);
    EXPECT_EQ(host_in(4).handshake, Handshake::nak);
    EXPECT_EQ(host_out(4, DataPid::data0, {1}), Handshake::ack);

    wr(IN07VAL, bmEP0);
    wr(OUT07VAL, bmEP0);
    EXPECT_EQ(host_in(4).handshake, Handshake::none) << "an endpoint that is not valid does not answer";
    EXPECT_EQ(host_out(4, DataPid::data1, {1}), Handshake::none);
    EXPECT_EQ(host_in(9).handshake, Handshake::none) << "endpoints above 7 do not exist";
    EXPECT_NE(host_in(0).handshake, Handshake::none) << "endpoint 0 is always there";
}

TEST_F(Endpoints, TogglesAndTogctl) {
    for (DataPid expected : {DataPid::data0, DataPid::data1, DataPid::data0}) {
        wr(IN1BC, 1);
        EXPECT_EQ(host_in(1).pid, expected);
    }
    wr(TOGCTL, bmTOG_IO | 1);
    EXPECT_EQ(rd(TOGCTL), bmTOG_Q | bmTOG_IO | 1) << "Q shows DATA1 next";
    wr(TOGCTL, rd(TOGCTL) | bmTOG_R);  // the firmware's read-modify-write
    EXPECT_EQ(rd(TOGCTL) & bmTOG_Q, 0);
    wr(IN1BC, 1);
    EXPECT_EQ(host_in(1).pid, DataPid::data0) << "R resets the toggle to DATA0";

    // OUT: a packet repeating the last PID is a retry: acknowledged, dropped.
    wr(OUT2BC, 0);
    EXPECT_EQ(host_out(2, DataPid::data0, {1, 2}), Handshake::ack);
    wr(OUT2BC, 0);
    EXPECT_EQ(host_out(2, DataPid::data0, {7}), Handshake::ack);
    EXPECT_EQ(rd(OUT2CS) & bmEPBUSY, bmEPBUSY) << "the retry must not be taken as a new packet";
    EXPECT_EQ(host_out(2, DataPid::data1, {3}), Handshake::ack);
    EXPECT_EQ(rd(OUT2BC), 1);
    EXPECT_EQ(rd(OUT2BUF), 3);

    wr(TOGCTL, bmTOG_S | 2);  // OUT2 set to DATA1
    wr(OUT2BC, 0);
    EXPECT_EQ(host_out(2, DataPid::data0, {4}), Handshake::ack);
    EXPECT_EQ(rd(OUT2CS) & bmEPBUSY, bmEPBUSY) << "DATA0 is a retry once the toggle is set to DATA1";
}

TEST_F(Endpoints, BusResetDropsArmedPacketsAndResetsToggles) {
    wr(IN1BC, 1);
    EXPECT_EQ(host_in(1).pid, DataPid::data0);
    wr(IN1BC, 2);  // armed, not taken
    wr(OUT1BC, 0);
    wr(IN5CS, bmEPSTALL);
    board.bus_reset();
    EXPECT_EQ(rd(IN1CS) & bmEPBUSY, 0) << "armed IN packets are dropped";
    EXPECT_EQ(rd(OUT1CS) & bmEPBUSY, 0) << "OUT endpoints are left unarmed";
    EXPECT_EQ(host_out(1, DataPid::data0, {1}), Handshake::nak);
    EXPECT_EQ(rd(IN5CS), bmEPSTALL) << "stall bits are the firmware's";
    EXPECT_EQ(rd(USBIRQ) & bmURES, bmURES);
    wr(IN1BC, 1);
    EXPECT_EQ(host_in(1).pid, DataPid::data0) << "toggles back to DATA0";
}

TEST_F(Endpoints, PairedInHoldsTwoPacketsThroughOneWindow) {
    wr(USBPAIR, 0x09);
    put(IN2BUF, {0x11, 0x12});
    wr(IN2BC, 2);
    EXPECT_EQ(rd(IN2CS) & bmEPBUSY, 0) << "one buffer is still free";
    put(IN2BUF, {0x21, 0x22, 0x23});  // lands in the second buffer
    wr(IN2BC, 3);
    EXPECT_EQ(rd(IN2CS) & bmEPBUSY, bmEPBUSY) << "both buffers full";
    EXPECT_EQ(findings(FindingKind::buffer_owned), 0u) << report();

    wr(IN2BC, 1);  // while busy: reported and ignored
    EXPECT_EQ(findings(FindingKind::in_count_busy), 1u);

    const usb::InPacket a = host_in(2);
    const usb::InPacket b = host_in(2);
    EXPECT_EQ(bytes_of(a), (std::vector<std::uint8_t>{0x11, 0x12}));
    EXPECT_EQ(a.pid, DataPid::data0);
    EXPECT_EQ(bytes_of(b), (std::vector<std::uint8_t>{0x21, 0x22, 0x23}));
    EXPECT_EQ(b.pid, DataPid::data1);
    EXPECT_EQ(host_in(2).handshake, Handshake::nak);
    EXPECT_EQ(host_in(3).handshake, Handshake::none) << "EP3 is part of the pair";
}

// Writing 1 to an IN endpoint's busy bit takes back the packet in that
// endpoint's own buffer; in a pair, EP2's register clears the first buffer
// and EP3's the second.
TEST_F(Endpoints, BusyWrittenOneTakesBackTheArmedPacket) {
    using P = std::vector<std::uint8_t>;
    const struct {
        const char* name;
        std::vector<std::uint16_t> cleared;  // CS registers written with busy
        std::vector<P> host_gets;
    } cases[] = {
        {"EP2's buffer", {IN2CS}, {{0x21}}},
        {"EP3's buffer", {IN3CS}, {{0x11}}},
        {"both", {IN3CS, IN2CS}, {}},
        {"twice the same", {IN2CS, IN2CS}, {{0x21}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        wr(USBPAIR, 0);
        wr(USBPAIR, 0x09);  // a change of pairing empties the queues
        put(IN2BUF, {0x11});
        wr(IN2BC, 1);
        put(IN2BUF, {0x21});
        wr(IN2BC, 1);
        for (std::uint16_t cs : c.cleared) wr(cs, bmEPBUSY);
        for (const P& packet : c.host_gets) EXPECT_EQ(bytes_of(host_in(2)), packet);
        EXPECT_EQ(host_in(2).handshake, Handshake::nak);
        put(IN2BUF, {0x31});  // the pair works on as before
        wr(IN2BC, 1);
        EXPECT_EQ(bytes_of(host_in(2)), (P{0x31}));
    }
    // A single endpoint; the stall bit is written as given.
    put(IN1BUF, {0x41});
    wr(IN1BC, 1);
    wr(IN1CS, bmEPBUSY | bmEPSTALL);
    EXPECT_EQ(rd(IN1CS), bmEPSTALL);
    wr(IN1CS, 0);
    EXPECT_EQ(host_in(1).handshake, Handshake::nak);
    EXPECT_EQ(findings(FindingKind::buffer_owned) + findings(FindingKind::in_count_busy), 0u) << report();
}

TEST_F(Endpoints, PairedOutReceivesTwoPacketsAndShowsThemInTurn) {
    wr(USBPAIR, 0x09);
    wr(OUT2BC, 0);  // arms the pair
    EXPECT_EQ(host_out(2, DataPid::data0, {1, 1}), Handshake::ack);
    EXPECT_EQ(host_out(2, DataPid::data1, {2, 2, 2}), Handshake::ack);
    EXPECT_EQ(host_out(2, DataPid::data0, {3}), Handshake::nak) << "both buffers full";
    EXPECT_EQ(rd(OUT2BC), 2);
    EXPECT_EQ(get(OUT2BUF, 2), (std::vector<std::uint8_t>{1, 1}));
    wr(OUT2BC, 0);  // done with the first
    EXPECT_EQ(rd(OUT2CS) & bmEPBUSY, 0) << "the second packet is waiting";
    EXPECT_EQ(rd(OUT2BC), 3);
    EXPECT_EQ(get(OUT2BUF, 3), (std::vector<std::uint8_t>{2, 2, 2}));
    EXPECT_EQ(host_out(2, DataPid::data0, {3}), Handshake::ack) << "the freed buffer takes the next";
    wr(OUT2BC, 0);
    EXPECT_EQ(get(OUT2BUF, 1), (std::vector<std::uint8_t>{3}));
    wr(OUT2BC, 0);
    EXPECT_EQ(rd(OUT2CS) & bmEPBUSY, bmEPBUSY);
    EXPECT_EQ(findings(FindingKind::buffer_owned), 0u) << report();
}

TEST_F(Endpoints, WritesIntoBuffersTheControllerOwnsAreReported) {
    wr(IN1BUF, 1);
    wr(IN1BC, 1);
    EXPECT_EQ(findings(FindingKind::buffer_owned), 0u);
    wr(IN1BUF, 2);  // armed, not yet taken
    EXPECT_EQ(findings(FindingKind::buffer_owned), 1u);
    EXPECT_EQ(bytes_of(host_in(1)), std::vector<std::uint8_t>{2}) << "the byte still lands, as on the chip";
    wr(IN1BUF, 3);
    EXPECT_EQ(findings(FindingKind::buffer_owned), 1u);

    wr(OUT6BC, 0);
    wr(OUT6BUF + 5, 0);  // armed for the host
    EXPECT_EQ(findings(FindingKind::buffer_owned), 2u);
    EXPECT_EQ(host_out(6, DataPid::data0, {4}), Handshake::ack);
    wr(OUT6BUF, 5);  // the 8051 holds it now
    EXPECT_EQ(findings(FindingKind::buffer_owned), 2u);

    wr(IN7BC, 1);
    wr(IN7BC, 1);
    EXPECT_EQ(findings(FindingKind::in_count_busy), 1u);
    EXPECT_EQ(host_in(7).handshake, Handshake::ack);
    wr(IN7BC, 1);
    EXPECT_EQ(findings(FindingKind::in_count_busy), 1u);
}

TEST_F(Endpoints, UnmappedAddressesAreReported) {
    rd(0x7B00);          // below the buffers, same page
    wr(0x7F50, 1);       // between IN0BUF and CPUCS
    rd(0x7FA0);          // not a register of this model
    rd(0x7FC4);          // the OUT0 slot of the control row: reads 0, not reported
    EXPECT_EQ(findings(FindingKind::unmapped_xdata), 3u) << report();
    rd(0x2000);          // outside everything: the core's page table
    EXPECT_EQ(findings(FindingKind::unmapped_xdata), 4u);
}

}  // namespace
}  // namespace vboard::test
