// Ports and fast transfers by direct register access: power-on values, pin
// levels, the socket's control lines, AUTODATA strobes with their routing,
// the autopointer, strobe width and the bus-event record.
#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <vector>

#include "card/card.h"
#include "controller/ports.h"
#include "cpu/cpu.h"
#include "cpu/sfr.h"

namespace vboard::controller {
namespace {

using card::BusCycle;
using card::Card;
using card::CardIdentity;
using card::Socket;
using Kind = BusEvent::Kind;

// Ports with a plain 64 KiB memory behind the autopointer and a socket.
struct Board {
    std::array<std::uint8_t, 65536> mem{};
    std::vector<std::uint16_t> accessed;  // addresses the autopointer reached
    Socket socket;
    Ports ports;

    explicit Board(bool with_card = true) {
        if (with_card) socket.insert(Card(CardIdentity{}));  // ec,75,a5
        ports.set_memory(
            [](void* ctx, std::uint16_t a) {
                auto* b = static_cast<Board*>(ctx);
                b->accessed.push_back(a);
                return b->mem[a];
            },
            [](void* ctx, std::uint16_t a, std::uint8_t v) {
                auto* b = static_cast<Board*>(ctx);
                b->accessed.push_back(a);
                b->mem[a] = v;
            },
            this);
        ports.set_socket(&socket);
        socket.record(true);
    }
    Board(const Board&) = delete;

    // The firmware's set-up: strobes on PA4/PA5, fast bulk transfers on.
    void fast_mode(std::uint8_t fastxfr = Ports::bmFBLK) {
        ports.write(Ports::PORTACFG, Ports::bmFWR | Ports::bmFRD);
        ports.write(Ports::FASTXFR, fastxfr);
    }
    void point(std::uint16_t addr) {
        ports.write(Ports::AUTOPTRL, static_cast<std::uint8_t>(addr));
        ports.write(Ports::AUTOPTRH, static_cast<std::uint8_t>(addr >> 8));
    }
    // One op_write: OUTC, then the byte strobed out of memory at `at`.
    void strobe_out(std::uint8_t outc, std::uint16_t at, std::uint8_t byte) {
        ports.write(Ports::OUTC, outc);
        mem[at] = byte;
        point(at);
        EXPECT_EQ(ports.read(Ports::AUTODATA), byte);
    }
};

// ---- registers ----------------------------------------------------------------

TEST(PortsRegisters, HandlesExactlyThePortAndFastTransferRange) {
    for (unsigned a = 0x7F80; a <= 0x7FFF; ++a) {
        const bool ours = (a >= 0x7F93 && a <= 0x7F9E) || (a >= 0x7FE2 && a <= 0x7FE5);
        EXPECT_EQ(Ports::handles(static_cast<std::uint16_t>(a)), ours) << std::hex << a;
    }
    EXPECT_FALSE(Ports::handles(0x0000));
    EXPECT_FALSE(Ports::handles(0xFF93));
}

TEST(PortsRegisters, PowerOnValuesWriteBackAndReset) {
    Board b(false);
    const std::uint16_t writable[] = {Ports::PORTACFG, Ports::PORTBCFG, Ports::PORTCCFG, Ports::OUTA,
                                      Ports::OUTB,     Ports::OUTC,     Ports::OEA,      Ports::OEB,
                                      Ports::OEC,      Ports::FASTXFR,  Ports::AUTOPTRH, Ports::AUTOPTRL};
    for (std::uint16_t r : writable) EXPECT_EQ(b.ports.read(r), 0x00) << std::hex << r;
    // Undriven pins: pull-ups, except PC0/PC1 pulled down and PC3 low without a card.
    EXPECT_EQ(b.ports.read(Ports::PINSA), 0xFF);
    EXPECT_EQ(b.ports.read(Ports::PINSB), 0xFF);
    EXPECT_EQ(b.ports.read(Ports::PINSC), 0xF4);

    std::uint8_t v = 0x5A;
    for (std::uint16_t r : writable) {
        b.ports.write(r, v);
        EXPECT_EQ(b.ports.read(r), v) << std::hex << r;
        v = static_cast<std::uint8_t>(v + 0x11);
    }
    const std::uint8_t pins[] = {b.ports.read(Ports::PINSA), b.ports.read(Ports::PINSB), b.ports.read(Ports::PINSC)};
    for (std::uint16_t r = Ports::PINSA; r <= Ports::PINSC; ++r) {
        b.ports.write(r, static_cast<std::uint8_t>(~pins[r - Ports::PINSA]));
        EXPECT_EQ(b.ports.read(r), pins[r - Ports::PINSA]) << "PINS registers are read-only";
    }

    b.ports.reset();
    for (std::uint16_t r : writable) EXPECT_EQ(b.ports.read(r), 0x00) << std::hex << r;
    EXPECT_EQ(b.ports.autoptr(), 0x0000);
    EXPECT_EQ(b.ports.read(Ports::PINSC), 0xF4);
}

// ---- pin levels -------------------------------------------------------------------

TEST(PortsPins, PinscReadsDrivenAndUndrivenLevels) {
    struct Case {
        bool card;
        std::uint8_t oec, outc, pinsc;
    };
    const Case cases[] = {
        {false, 0x00, 0x00, 0xF4},  // nothing driven, socket empty
        {true, 0x00, 0x00, 0xFC},   // card present pulls PC3 high
        {true, 0x00, 0xFF, 0xFC},   // the latch alone drives nothing
        {true, 0x07, 0x04, 0xFC},   // bus set-up: PC2 high, latches low
        {true, 0x07, 0x03, 0xFB},   // both latches driven high, card selected
        {true, 0x0F, 0x00, 0xF0},   // PC3 driven low wins over the card
        {true, 0xF0, 0x00, 0x0C},   // upper pins driven low, lower as presented
        {false, 0xFF, 0x5A, 0x5A},  // every pin driven
    };
    for (const Case& c : cases) {
        Board b(c.card);
        b.ports.write(Ports::OUTC, c.outc);
        b.ports.write(Ports::OEC, c.oec);
        EXPECT_EQ(b.ports.read(Ports::PINSC), c.pinsc)
            << "card " << c.card << " OEC " << std::hex << int(c.oec) << " OUTC " << int(c.outc);
    }

    Board b;
    b.socket.remove();
    EXPECT_EQ(b.ports.read(Ports::PINSC), 0xF4) << "PC3 follows the socket";
}

TEST(PortsPins, PortAStrobePinsRestAtTheirInactiveLevel) {
    struct Case {
        std::uint8_t cfg, fastxfr, pinsa;
    };
    const Case cases[] = {
        {0x00, 0x00, 0x00},  // plain I/O: OUTA = 0 driven everywhere
        {0x30, 0x00, 0x30},  // both strobes active low: idle high
        {0x30, 0x04, 0x20},  // WPOL: FWR# active high, idle low
        {0x30, 0x20, 0x10},  // RPOL: FRD# active high, idle low
        {0x10, 0x24, 0x00},  // FRD# not routed: PA5 is OUTA's 0
    };
    for (const Case& c : cases) {
        Board b;
        b.ports.write(Ports::OEA, 0xFF);
        b.ports.write(Ports::PORTACFG, c.cfg);
        b.ports.write(Ports::FASTXFR, c.fastxfr);
        EXPECT_EQ(b.ports.read(Ports::PINSA), c.pinsa) << "PORTACFG " << std::hex << int(c.cfg);
    }
    Board b;
    b.ports.write(Ports::OEB, 0x0F);
    b.ports.write(Ports::OUTB, 0x05);
    EXPECT_EQ(b.ports.read(Ports::PINSB), 0xF5);
}

TEST(PortsPins, PortCWritesReachTheSocketLines) {
    struct Case {
        std::uint8_t oec, outc;
        bool cle, ale, ce_n;
    };
    const Case cases[] = {
        {0x00, 0x07, false, false, true},  // undriven: latches pulled down, CE# pulled up
        {0x07, 0x01, true, false, false},  // command latch, card selected
        {0x07, 0x02, false, true, false},  // address latch
        {0x07, 0x04, false, false, true},  // deselected
        {0x03, 0x03, true, true, true},    // CE# undriven stays high
        {0x04, 0x00, false, false, false},
    };
    Board b;
    for (const Case& c : cases) {
        b.ports.write(Ports::OEC, c.oec);
        b.ports.write(Ports::OUTC, c.outc);
        EXPECT_EQ(b.socket.cle(), c.cle) << std::hex << int(c.oec) << "/" << int(c.outc);
        EXPECT_EQ(b.socket.ale(), c.ale) << std::hex << int(c.oec) << "/" << int(c.outc);
        EXPECT_EQ(b.socket.ce_n(), c.ce_n) << std::hex << int(c.oec) << "/" << int(c.outc);
    }
    // Only the OEC write changes the levels here: the latch already holds them.
    b.ports.write(Ports::OEC, 0x00);
    b.ports.write(Ports::OUTC, 0x01);
    b.ports.write(Ports::OEC, 0x07);
    EXPECT_TRUE(b.socket.cle());
    EXPECT_FALSE(b.socket.ce_n());

    b.ports.reset();
    EXPECT_FALSE(b.socket.cle());
    EXPECT_TRUE(b.socket.ce_n()) << "reset releases the pins";

    Socket other;
    other.set_cle(true);
    other.set_ce_n(false);
    b.ports.set_socket(&other);
    EXPECT_FALSE(other.cle()) << "a socket takes the present levels when attached";
    EXPECT_TRUE(other.ce_n());
}

// ---- fast transfers --------------------------------------------------------------------

TEST(PortsFast, CardIdReadByRegisterAccessesAlone) {
    Board b;
    b.ports.record(true);
    b.fast_mode();
    b.ports.write(Ports::OEC, 0x07);
    b.strobe_out(0x01, 0x0100, 0x90);  // command
    b.strobe_out(0x02, 0x0101, 0x00);  // address
    b.ports.write(Ports::OUTC, 0x00);
    b.point(0x1FF0);
    for (int i = 0; i < 3; ++i) b.ports.write(Ports::AUTODATA, 0x00);
    b.ports.write(Ports::OUTC, 0x04);

    EXPECT_EQ(b.mem[0x1FF0], 0xEC);
    EXPECT_EQ(b.mem[0x1FF1], 0x75);
    EXPECT_EQ(b.mem[0x1FF2], 0xA5);
    EXPECT_EQ(b.mem[0x1FF3], 0x00) << "one byte per access";
    EXPECT_EQ(b.socket.cycles(), (std::vector<BusCycle>{{BusCycle::Kind::command, 0x90},
                                                         {BusCycle::Kind::address, 0x00},
                                                         {BusCycle::Kind::data_out, 0xEC},
                                                         {BusCycle::Kind::data_out, 0x75},
                                                         {BusCycle::Kind::data_out, 0xA5}}));
    EXPECT_EQ(b.ports.events(), (std::vector<BusEvent>{{Kind::oec, 0x07},
                                                        {Kind::outc, 0x01},
                                                        {Kind::fwr, 0x90},
                                                        {Kind::outc, 0x02},
                                                        {Kind::fwr, 0x00},
                                                        {Kind::outc, 0x00},
                                                        {Kind::frd, 0xEC},
                                                        {Kind::frd, 0x75},
                                                        {Kind::frd, 0xA5},
                                                        {Kind::outc, 0x04}}));
}

TEST(PortsFast, ReadStrobeStoresPullUpsWhenNothingDrivesTheBus) {
    Board empty(false);
    empty.ports.record(true);
    empty.fast_mode();
    empty.point(0x0010);
    empty.ports.write(Ports::AUTODATA, 0x12);
    EXPECT_EQ(empty.mem[0x0010], 0xFF) << "no card";

    Board deselected;
    deselected.ports.record(true);
    deselected.fast_mode();
    deselected.ports.write(Ports::OEC, 0x07);
    deselected.ports.write(Ports::OUTC, 0x04);
    deselected.point(0x0010);
    deselected.ports.write(Ports::AUTODATA, 0x12);
    EXPECT_EQ(deselected.mem[0x0010], 0xFF) << "card deselected";
    EXPECT_EQ(deselected.ports.events().back(), (BusEvent{Kind::frd, 0xFF}));
}

TEST(PortsFast, WithoutFblkAutodataIsPlainMemoryAndStrobesNothing) {
    Board b;
    b.ports.record(true);
    b.ports.write(Ports::PORTACFG, Ports::bmFWR | Ports::bmFRD);
    b.ports.write(Ports::FASTXFR, 0xBF);  // every bit but FBLK
    b.ports.write(Ports::OEC, 0x07);
    b.ports.write(Ports::OUTC, 0x01);
    b.socket.clear_cycles();
    b.ports.clear_events();

    b.mem[0x0200] = 0x90;
    b.point(0x0200);
    EXPECT_EQ(b.ports.read(Ports::AUTODATA), 0x90);
    b.ports.write(Ports::AUTODATA, 0x3C);
    EXPECT_EQ(b.mem[0x0201], 0x3C) << "the value written is stored";
    EXPECT_EQ(b.ports.autoptr(), 0x0202);
    EXPECT_TRUE(b.socket.cycles().empty());
    EXPECT_TRUE(b.ports.events().empty());
}

TEST(PortsFast, PortacfgRoutesEachStrobeToItsPin) {
    struct Case {
        std::uint8_t cfg;
        bool fwr_reaches, frd_reaches;
    };
    const Case cases[] = {
        {0x30, true, true},
        {0x10, true, false},
        {0x20, false, true},
        {0x00, false, false},
        {0xCF, false, false},  // every other bit set changes nothing
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "PORTACFG " << std::hex << int(c.cfg));
        Board b;
        b.ports.record(true);
        // Put the card into status mode directly on its wires.
        b.socket.set_ce_n(false);
        b.socket.set_cle(true);
        b.socket.write_strobe(0x70);
        b.socket.set_cle(false);
        b.socket.clear_cycles();
        b.ports.write(Ports::OEC, 0x07);
        b.ports.write(Ports::OUTC, 0x00);
        b.ports.clear_events();

        b.ports.write(Ports::PORTACFG, c.cfg);
        b.ports.write(Ports::FASTXFR, Ports::bmFBLK);
        b.mem[0x0300] = 0x5A;
        b.point(0x0300);
        EXPECT_EQ(b.ports.read(Ports::AUTODATA), 0x5A) << "the read returns the byte either way";
        b.ports.write(Ports::AUTODATA, 0x00);
        EXPECT_EQ(b.mem[0x0301], c.frd_reaches ? Card::kStatusReady : 0xFF);
        EXPECT_EQ(b.ports.autoptr(), 0x0302);

        std::vector<BusCycle> cycles;
        std::vector<BusEvent> events;
        if (c.fwr_reaches) cycles.push_back({BusCycle::Kind::data_in, 0x5A}), events.push_back({Kind::fwr, 0x5A});
        if (c.frd_reaches) cycles.push_back({BusCycle::Kind::data_out, Card::kStatusReady}),
            events.push_back({Kind::frd, Card::kStatusReady});
        EXPECT_EQ(b.socket.cycles(), cycles);
        EXPECT_EQ(b.ports.events(), events);
    }
}

TEST(PortsFast, AutopointerAdvancesWithSixteenBitCarry) {
    Board b;
    b.ports.write(Ports::AUTOPTRH, 0x12);
    b.ports.write(Ports::AUTOPTRL, 0x34);
    EXPECT_EQ(b.ports.autoptr(), 0x1234);
    b.ports.write(Ports::AUTOPTRH, 0x7E);
    EXPECT_EQ(b.ports.autoptr(), 0x7E34) << "each half is written alone";

    b.point(0x00FE);
    b.ports.read(Ports::AUTODATA);
    b.ports.write(Ports::AUTODATA, 0x11);
    EXPECT_EQ(b.ports.read(Ports::AUTOPTRH), 0x01);
    EXPECT_EQ(b.ports.read(Ports::AUTOPTRL), 0x00);

    b.point(0xFFFF);
    b.ports.read(Ports::AUTODATA);
    EXPECT_EQ(b.ports.autoptr(), 0x0000) << "wraps at the top of the address space";
    EXPECT_EQ(b.accessed, (std::vector<std::uint16_t>{0x00FE, 0x00FF, 0xFFFF}));
    EXPECT_EQ(b.mem[0x00FF], 0x11);
    EXPECT_EQ(b.ports.read(Ports::AUTOPTRH), 0x00) << "reading the pointer moves nothing";
    EXPECT_EQ(b.accessed.size(), 3u);
}

TEST(PortsFast, NoMemoryReadsPullUpsAndStoresNothing) {
    Ports p;
    EXPECT_EQ(p.read(Ports::AUTODATA), 0xFF);
    p.write(Ports::AUTODATA, 0x00);
    EXPECT_EQ(p.autoptr(), 0x0002);
}

TEST(PortsFast, StrobeWidthFollowsTheMovxStretchAndShapeTheStrobeBits) {
    Board b;
    EXPECT_EQ(b.ports.strobe_width(), 4) << "without a core: CKCON's power-on stretch of 1";
    Cpu cpu;
    b.ports.set_core(&cpu);
    const std::uint8_t widths[] = {2, 4, 8, 12, 16, 20, 24, 28};
    for (std::uint8_t md = 0; md < 8; ++md) {
        cpu.set_sfr(sfr::CKCON, static_cast<std::uint8_t>(0xF8 | md));
        EXPECT_EQ(b.ports.strobe_width(), widths[md]) << "MD " << int(md);
    }

    cpu.run(100);  // NOPs: the code memory is unset
    cpu.set_sfr(sfr::CKCON, 0x01);
    b.ports.record(true);
    b.fast_mode(Ports::bmFBLK | 0x12);  // RMOD 10, WMOD 10, active low
    b.ports.read(Ports::AUTODATA);
    b.ports.write(Ports::AUTODATA, 0);
    b.fast_mode(Ports::bmFBLK | 0x2D);  // RPOL, RMOD 01, WPOL, WMOD 01
    cpu.set_sfr(sfr::CKCON, 0x00);
    b.ports.read(Ports::AUTODATA);
    b.ports.write(Ports::AUTODATA, 0);

    const auto& e = b.ports.events();
    ASSERT_EQ(e.size(), 4u);
    const std::uint8_t width[] = {4, 4, 2, 2}, shape[] = {0x02, 0x02, 0x05, 0x05};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(e[i].width, width[i]) << i;
        EXPECT_EQ(e[i].shape, shape[i]) << i;
        EXPECT_EQ(e[i].cycle, cpu.cycles()) << i;
    }
    EXPECT_GE(cpu.cycles(), 100u);
}

// ---- event record ------------------------------------------------------------------------

TEST(PortsRecord, OffByDefaultBoundedAndComparedByKindAndValue) {
    Board b;
    b.ports.write(Ports::OUTC, 0x01);
    EXPECT_TRUE(b.ports.events().empty()) << "off by default";

    b.ports.record(true, 3);
    b.ports.write(Ports::OUTA, 0x01);  // not a card-bus event
    b.ports.write(Ports::OEA, 0x01);
    for (std::uint8_t v = 0; v < 5; ++v) b.ports.write(Ports::OUTC, v);
    EXPECT_EQ(b.ports.events(), (std::vector<BusEvent>{{Kind::outc, 0}, {Kind::outc, 1}, {Kind::outc, 2}}));
    EXPECT_EQ(b.ports.dropped_events(), 2u);
    b.ports.clear_events();
    EXPECT_TRUE(b.ports.events().empty());
    EXPECT_EQ(b.ports.dropped_events(), 0u);
    b.ports.record(false);
    b.ports.write(Ports::OEC, 0x07);
    EXPECT_TRUE(b.ports.events().empty());

    EXPECT_EQ((BusEvent{Kind::fwr, 0x90, 10, 4, 1}), (BusEvent{Kind::fwr, 0x90, 99, 28, 0}));
    EXPECT_NE((BusEvent{Kind::fwr, 0x90}), (BusEvent{Kind::frd, 0x90}));
    EXPECT_NE((BusEvent{Kind::oec, 0x07}), (BusEvent{Kind::oec, 0x0F}));
    EXPECT_EQ(to_string(BusEvent{Kind::oec, 0x07}), "oec 07");
    EXPECT_EQ(to_string(BusEvent{Kind::outc, 0x01}), "outc 01");
    EXPECT_EQ(to_string(BusEvent{Kind::fwr, 0x90}), "fwr 90");
    EXPECT_EQ(to_string(BusEvent{Kind::frd, 0xEC}), "frd ec");
}

}  // namespace
}  // namespace vboard::controller
