// The port engine and the USB handlers on the bare core, entered through
// the real vector and jump table: command scripts (EP1 OUT), a script
// parked for a reply buffer (EP2 IN), host-to-bus stream packets (EP2 OUT),
// the bus-to-host poll, and the plain event handlers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bare_board.h"

namespace {

using fwtest::BareBoard;
namespace reg = fwtest::reg;
using Bytes = std::vector<uint8_t>;
using Writes = BareBoard::Writes;

constexpr int setup_pending = 0, suspend_pending = 1;

constexpr uint8_t ep1_out = 0x24, ep2_in = 0x28, ep2_out = 0x2C;

class FirmwarePortEngine : public ::testing::Test {
protected:
    void TearDown() override {
        EXPECT_EQ(b.acks_before_usbint_clear, 0) << "a request bit was written before USBINT was cleared";
        for (const auto& f : b.diag.findings())
            ADD_FAILURE() << "firmware finding at pc 0x" << std::hex << f.pc << ": " << f.message;
    }

    void clear_log() {
        b.clear_writes();
        b.strobed_out.clear();
        b.strobed_in = 0;
    }

    // One packet on EP1 OUT; returns the reply armed on EP2 IN, if any.
    std::optional<Bytes> script(const Bytes& s) {
        clear_log();
        std::copy(s.begin(), s.end(), &b.x(reg::OUT1BUF));
        b.x(reg::OUT1BC) = static_cast<uint8_t>(s.size());
        b.x(reg::OUT07IRQ) |= 0x02;
        b.usb_interrupt(ep1_out);
        return armed_reply();
    }

    std::optional<Bytes> armed_reply() {
        const auto bc = b.writes_to(reg::IN2BC);
        if (bc.empty()) return std::nullopt;
        EXPECT_EQ(bc.size(), 1u);
        return Bytes(&b.x(reg::IN2BUF), &b.x(reg::IN2BUF) + bc.back());
    }

    // Writes to the port and strobe registers, in order.
    Writes port_writes() const {
        Writes w;
        for (const auto& e : b.writes)
            if (e.first == reg::OEC || e.first == reg::OUTC || e.first == reg::FASTXFR ||
                e.first == reg::AUTOPTRL || e.first == reg::AUTOPTRH || e.first == reg::AUTODATA)
                w.push_back(e);
        return w;
    }

    // The end of every executed script: reply (if any) armed, then the EP1
    // OUT request acked before EP1 OUT is re-armed (an ack after the re-arm
    // could clear the request of the host's next script).
    void expect_script_end(bool reply) {
        std::vector<uint16_t> tail;
        for (const auto& e : b.writes)
            if (e.first == reg::IN2BC || e.first == reg::OUT1BC || e.first == reg::OUT07IRQ) tail.push_back(e.first);
        const std::vector<uint16_t> expected =
            reply ? std::vector<uint16_t>{reg::IN2BC, reg::OUT07IRQ, reg::OUT1BC}
                  : std::vector<uint16_t>{reg::OUT07IRQ, reg::OUT1BC};
        EXPECT_EQ(tail, expected);
        EXPECT_EQ(b.x(reg::OUT07IRQ) & 0x02, 0);
    }

    uint16_t stream_pkts() { return static_cast<uint16_t>(b.iram(var("stream_pkts")) | b.iram(var("stream_pkts") + 1) << 8); }
    uint8_t stream_rest() { return b.iram(var("stream_rest")); }
    uint8_t stream_dir() { return b.iram(var("stream_dir")); }
    uint8_t var(const char* name) { return static_cast<uint8_t>(b.sym(name)); }

    // One packet on EP2 OUT; returns the cycles the handler took.
    uint64_t stream_packet(const Bytes& data) {
        clear_log();
        std::copy(data.begin(), data.end(), &b.x(reg::OUT2BUF));
        b.x(reg::OUT2BC) = static_cast<uint8_t>(data.size());
        b.x(reg::OUT07IRQ) |= 0x04;
        const uint64_t cycles = b.usb_interrupt(ep2_out);
        EXPECT_EQ(b.writes_to(reg::OUT2BC), Bytes{0x00}) << "EP2 OUT re-armed";
        EXPECT_EQ(b.x(reg::OUT07IRQ) & 0x04, 0);
        return cycles;
    }

    static Bytes pattern(size_t n, uint8_t seed) {
        Bytes v(n);
        for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + 7 * i);
        return v;
    }

    BareBoard b;
};

// ---- command scripts --------------------------------------------------------------

TEST_F(FirmwarePortEngine, BusSetupScriptDrivesPortCSetsTimingAndRepliesWithThePins) {
    b.x(reg::PINSC) = 0b11111100;
    const auto reply = script({0x00, 0x14, 0x07, 0xF1, 0x12, 0x24});
    EXPECT_EQ(reply, Bytes{0xFC});
    EXPECT_EQ(port_writes(), (Writes{{reg::OEC, 0x00}, {reg::OUTC, 0x04}, {reg::OEC, 0x07},
                                     {reg::FASTXFR, 0x52}, {reg::OUTC, 0x04}}));
    EXPECT_EQ(b.cpu.sfr(vboard::sfr::CKCON), 0x01);
    expect_script_end(true);
}

TEST_F(FirmwarePortEngine, IdReadScriptStrobesOutOfTheCommandBufferAndIntoTheReply) {
    b.bus_in = {0xEC, 0x75, 0xA5};
    const auto reply = script({0x31, 0x90, 0x32, 0x00, 0x40, 0x40, 0x40, 0x14});
    EXPECT_EQ(reply, (Bytes{0xEC, 0x75, 0xA5}));
    EXPECT_EQ(b.strobed_out, (Bytes{0x90, 0x00}));
    // OUTC first, then the autopointer (low, high), then the one access.
    EXPECT_EQ(port_writes(), (Writes{{reg::OUTC, 0x01}, {reg::AUTOPTRL, 0x41}, {reg::AUTOPTRH, 0x7E},
                                     {reg::OUTC, 0x02}, {reg::AUTOPTRL, 0x43}, {reg::AUTOPTRH, 0x7E},
                                     {reg::OUTC, 0x00}, {reg::AUTOPTRL, 0x00}, {reg::AUTOPTRH, 0x7E}, {reg::AUTODATA, 0x00},
                                     {reg::OUTC, 0x00}, {reg::AUTOPTRL, 0x01}, {reg::AUTOPTRH, 0x7E}, {reg::AUTODATA, 0x00},
                                     {reg::OUTC, 0x00}, {reg::AUTOPTRL, 0x02}, {reg::AUTOPTRH, 0x7E}, {reg::AUTODATA, 0x00},
                                     {reg::OUTC, 0x04}}));
    expect_script_end(true);
    EXPECT_EQ(script({0x31, 0x91, 0x32, 0x00, 0x40, 0x14})->size(), 1u);
}

TEST_F(FirmwarePortEngine, RepliesHoldTheCapturedBytesInScriptOrder) {
    b.bus_in.assign(64, 0);
    for (int i = 0; i < 64; ++i) b.bus_in[i] = static_cast<uint8_t>(i * 3);
    const Bytes all_reads(64, 0x40);
    auto reply = script(all_reads);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->size(), 64u);
    for (int i = 0; i < 64; ++i) EXPECT_EQ((*reply)[i], i * 3);
    EXPECT_EQ(b.strobed_in, 64u);

    b.x(reg::PINSC) = 0x08;
    b.bus_in = {0x5E};
    EXPECT_EQ(script({0x24, 0x40, 0x24}), (Bytes{0x08, 0x5E, 0x08}));
}

TEST_F(FirmwarePortEngine, OpsWithoutReplyLeaveEp2InAlone) {
    EXPECT_EQ(script({0x0F, 0x1F, 0x35, 0x99}), std::nullopt);
    EXPECT_EQ(port_writes().front(), (std::pair<uint16_t, uint8_t>{reg::OEC, 0x0F})) << "only PC3..PC0 can drive";
    EXPECT_EQ(b.writes_to(reg::OUTC), (Bytes{0x0F, 0x05})) << "OUTC bits 7..4 always 0";
    expect_script_end(false);
    EXPECT_EQ(script({}), std::nullopt);
    EXPECT_TRUE(port_writes().empty());
    expect_script_end(false);
}

TEST_F(FirmwarePortEngine, BytesSeventyToEfArePassedOver) {
    b.x(reg::PINSC) = 0x33;
    for (int op = 0x70; op <= 0xEF; ++op) {
        SCOPED_TRACE(op);
        EXPECT_EQ(script({static_cast<uint8_t>(op), 0x24}), Bytes{0x33});
        EXPECT_EQ(port_writes(), (Writes{{reg::OUTC, 0x04}}));
    }
}

TEST_F(FirmwarePortEngine, TimingOpSetsStretchAndStrobeModes) {
    const struct {
        Bytes s;
        uint8_t ckcon, fastxfr;
    } cases[] = {{{0xF0, 0x00}, 0x00, 0x40}, {{0xF5, 0x12}, 0x01, 0x52}, {{0xFF, 0x12}, 0x01, 0x52},
                 {{0xF1, 0x80}, 0x01, 0xC0}, {{0xF0, 0xBF}, 0x00, 0xFF}};
    for (const auto& c : cases) {
        b.cpu.set_sfr(vboard::sfr::CKCON, 0xF7);
        script(c.s);
        EXPECT_EQ(b.cpu.sfr(vboard::sfr::CKCON), c.ckcon) << "written whole";
        EXPECT_EQ(b.writes_to(reg::FASTXFR), Bytes{c.fastxfr});
    }
}

TEST_F(FirmwarePortEngine, StreamHeaderInsideAScriptTakesThreeOperands) {
    b.x(reg::PINSC) = 0x01;
    EXPECT_EQ(script({0x24, 0x5A, 0xC5, 0x02, 0x01, 0x24}), (Bytes{0x01, 0x01}));
    EXPECT_EQ(b.writes_to(reg::OUTC), (Bytes{0x04, 0x0A, 0x04}));
    EXPECT_EQ(stream_rest(), 0x05) << "bits 7..6 of the first operand ignored";
    EXPECT_EQ(stream_pkts(), 0x0102);
    EXPECT_EQ(stream_dir(), 1);
    script({0x63, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(stream_rest(), 63);
    EXPECT_EQ(stream_pkts(), 65535);
    EXPECT_EQ(stream_dir(), 0);
    b.iram(var("stream_pkts")) = b.iram(var("stream_pkts") + 1) = b.iram(var("stream_rest")) = 0;
}

// An op whose operands would lie beyond the packet ends the script there,
// unexecuted; what came before it stands.
TEST_F(FirmwarePortEngine, TruncatedOpEndsTheScriptUnexecuted) {
    b.x(reg::PINSC) = 0x77;
    b.cpu.set_sfr(vboard::sfr::CKCON, 0x00);
    const struct {
        const char* name;
        Bytes s;
        std::optional<Bytes> reply;
    } cases[] = {
        {"write, no data byte", {0x31}, std::nullopt},
        {"pins then write", {0x24, 0x31}, Bytes{0x77}},
        {"timing, no mode byte", {0xF1}, std::nullopt},
        {"header, two operands", {0x24, 0x55, 0x01, 0x02}, Bytes{0x77}},
        {"header, one operand", {0x66, 0x01}, std::nullopt},
        {"header, none", {0x56}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(script(c.s), c.reply);
        // Only the complete op_pins before it wrote OUTC.
        EXPECT_EQ(b.writes_to(reg::OUTC), c.reply ? Bytes{0x04} : Bytes{});
        EXPECT_TRUE(b.strobed_out.empty());
        EXPECT_TRUE(b.writes_to(reg::FASTXFR).empty());
        EXPECT_EQ(b.cpu.sfr(vboard::sfr::CKCON), 0x00);
        EXPECT_EQ(stream_pkts() | stream_rest() | stream_dir(), 0);
        expect_script_end(c.reply.has_value());
    }
}

// ---- a reply while both EP2 IN buffers are full ---------------------------------

TEST_F(FirmwarePortEngine, ReplyingScriptWaitsForAFreeReplyBufferWithoutBlocking) {
    b.x(reg::PINSC) = 0x42;
    b.x(reg::IN2CS) = 0x02;  // both buffers hold unread replies
    EXPECT_EQ(script({0x13, 0x24}), std::nullopt);
    EXPECT_TRUE(port_writes().empty()) << "nothing of the script ran";
    EXPECT_TRUE(b.writes_to(reg::OUT1BC).empty()) << "EP1 OUT not re-armed: the host waits";
    EXPECT_EQ(b.x(reg::OUT07IRQ) & 0x02, 0) << "EP1 OUT request acked";
    EXPECT_EQ(b.x(reg::IN07IEN) & 0x04, 0x04) << "EP2 IN interrupt enabled";

    // An EP2 IN interrupt while both are still full changes nothing.
    clear_log();
    b.x(reg::IN07IRQ) |= 0x04;
    b.usb_interrupt(ep2_in);
    EXPECT_TRUE(port_writes().empty());
    EXPECT_EQ(b.x(reg::IN07IEN) & 0x04, 0x04);

    // The host takes a reply: the script runs now.
    clear_log();
    b.x(reg::IN2CS) = 0x00;
    b.x(reg::IN07IRQ) |= 0x04;
    b.usb_interrupt(ep2_in);
    EXPECT_EQ(armed_reply(), Bytes{0x42});
    EXPECT_EQ(b.writes_to(reg::OUTC), (Bytes{0x03, 0x04}));
    EXPECT_EQ(b.x(reg::IN07IEN) & 0x04, 0) << "EP2 IN interrupt off again";
    EXPECT_EQ(b.x(reg::IN07IRQ) & 0x04, 0);
    expect_script_end(true);
}

TEST_F(FirmwarePortEngine, ScriptWithoutReplyRunsWhateverTheReplyBuffers) {
    b.x(reg::IN2CS) = 0x02;
    EXPECT_EQ(script({0x31, 0x90, 0x56, 0x00, 0x01, 0x00}), std::nullopt);
    EXPECT_EQ(b.strobed_out, Bytes{0x90});
    EXPECT_EQ(stream_pkts(), 1);
    EXPECT_EQ(b.x(reg::IN07IEN) & 0x04, 0);
    expect_script_end(false);
    b.iram(var("stream_pkts")) = 0;
}

TEST_F(FirmwarePortEngine, BusResetDropsAParkedScript) {
    b.x(reg::IN2CS) = 0x02;
    script({0x24});
    clear_log();
    b.x(reg::USBIRQ) |= 0x10;
    b.usb_interrupt(0x10);
    EXPECT_EQ(b.x(reg::IN07IEN) & 0x04, 0);
    std::vector<uint16_t> armed;
    for (const auto& [a, v] : b.writes)
        if (a >= reg::OUT1BC && a <= reg::OUT7BC && (a & 1)) armed.push_back(a);
    EXPECT_EQ(armed, (std::vector<uint16_t>{reg::OUT1BC, reg::OUT2BC, reg::OUT4BC, reg::OUT5BC, reg::OUT6BC,
                                            reg::OUT7BC}));
    EXPECT_EQ(b.x(reg::USBIRQ) & 0x10, 0);
}

// ---- host-to-bus streams --------------------------------------------------------------

TEST_F(FirmwarePortEngine, HostToBusStreamClocksOutWholePacketsThenTheRest) {
    for (unsigned length : {0u, 1u, 63u, 64u, 65u, 130u, 4096u}) {
        SCOPED_TRACE(length);
        script({0x53, static_cast<uint8_t>(length & 0x3F), static_cast<uint8_t>(length >> 6),
                static_cast<uint8_t>(length >> 14)});
        const Bytes data = pattern(length, static_cast<uint8_t>(length));
        Bytes out;
        for (size_t at = 0; at < data.size(); at += 64) {
            const size_t n = std::min<size_t>(64, data.size() - at);
            stream_packet(Bytes(data.begin() + at, data.begin() + at + n));
            out.insert(out.end(), b.strobed_out.begin(), b.strobed_out.end());
        }
        EXPECT_EQ(out, data);
        EXPECT_EQ(stream_pkts() | stream_rest(), 0) << "stream ended";
        stream_packet(pattern(64, 1));
        EXPECT_TRUE(b.strobed_out.empty()) << "data after the stream is dropped";
    }
}

TEST_F(FirmwarePortEngine, DataWithNoHostToBusStreamIsDropped) {
    stream_packet(pattern(64, 3));
    EXPECT_TRUE(b.strobed_out.empty()) << "before any header";
    script({0x60, 0x05, 0x00, 0x00});  // a bus-to-host stream is outstanding
    stream_packet(pattern(10, 3));
    EXPECT_TRUE(b.strobed_out.empty());
    EXPECT_EQ(stream_rest(), 5);
    b.iram(var("stream_rest")) = 0;
}

TEST_F(FirmwarePortEngine, ShortPacketsFinishTheRestWhateverTheirLength) {
    script({0x50, 0x05, 0x02, 0x00});  // 2 whole packets, 5 bytes
    stream_packet({});
    EXPECT_TRUE(b.strobed_out.empty());
    EXPECT_EQ(stream_rest(), 0) << "an empty packet clears the rest";
    EXPECT_EQ(stream_pkts(), 2);
    stream_packet(pattern(20, 9));
    EXPECT_EQ(b.strobed_out, pattern(20, 9)) << "clocked out whole";
    EXPECT_EQ(stream_pkts(), 2) << "whole packets still due";
    b.iram(var("stream_pkts")) = 0;
}

// The host sends a 64-byte packet when only the rest is due: the rest goes
// out, the excess is dropped, and the stream ends (no wrap of the count).
TEST_F(FirmwarePortEngine, OverlongPacketClocksOutOnlyTheBytesStillDue) {
    script({0x50, 0x02, 0x00, 0x00});
    const Bytes data = pattern(64, 0x11);
    stream_packet(data);
    EXPECT_EQ(b.strobed_out, Bytes(data.begin(), data.begin() + 2));
    EXPECT_EQ(stream_pkts(), 0);
    EXPECT_EQ(stream_rest(), 0);
    stream_packet(data);
    EXPECT_TRUE(b.strobed_out.empty());
}

// A whole packet, from the request to the end of the handler, must fit the
// budget that lets 95 % of the bus's 19 packets per 1 ms frame through
// (6,000 cycles / 18.05 packets), with the card tool's one-cycle stretch.
TEST_F(FirmwarePortEngine, WholePacketFitsTheFullSpeedBudget) {
    script({0x50, 0x00, 0x01, 0x00, 0xF1, 0x12});
    const uint64_t cycles = stream_packet(pattern(64, 0));
    EXPECT_EQ(b.strobed_out.size(), 64u);
    EXPECT_GE(cycles, 64u * 3 + 8 * 3) << "64 MOVX of 3 cycles and 8 DJNZ at least";
    EXPECT_LE(cycles, 6000u * 100 / (19 * 95));
}

// ---- bus-to-host streams -------------------------------------------------------------

TEST_F(FirmwarePortEngine, BusToHostStreamFillsOnePacketPerPollWhenABufferIsFree) {
    script({0x62, 0x02, 0x02, 0x00});  // 130 bytes
    const Bytes data = pattern(130, 0x21);
    b.bus_in.assign(data.begin(), data.end());
    Bytes got;
    std::vector<uint8_t> sizes;
    for (int pass = 0; pass < 6; ++pass) {
        clear_log();
        if (pass == 1) b.x(reg::IN2CS) = 0x02;  // both buffers full: nothing this pass
        b.call("stream_poll", 10'000);
        b.x(reg::IN2CS) = 0x00;
        for (uint8_t n : b.writes_to(reg::IN2BC)) {
            sizes.push_back(n);
            got.insert(got.end(), &b.x(reg::IN2BUF), &b.x(reg::IN2BUF) + n);
        }
    }
    EXPECT_EQ(sizes, (std::vector<uint8_t>{64, 64, 2})) << "no zero-length packet after";
    EXPECT_EQ(got, data);
    EXPECT_EQ(stream_pkts() | stream_rest(), 0);

    script({0x52, 0x00, 0x01, 0x00});  // host to bus: the poll leaves it alone
    clear_log();
    b.call("stream_poll", 10'000);
    EXPECT_TRUE(b.writes_to(reg::IN2BC).empty());
    b.iram(var("stream_pkts")) = 0;
}

// ---- the plain USB event handlers ----------------------------------------------------

TEST_F(FirmwarePortEngine, EventHandlersRaiseTheirFlagAndAckTheirOwnRequestOnly) {
    const struct {
        uint8_t offset;
        uint16_t irq;
        uint8_t bit;
        int flag;  // -1: none
    } events[] = {
        {0x00, reg::USBIRQ, 0x01, setup_pending}, {0x04, reg::USBIRQ, 0x02, -1},
        {0x08, reg::USBIRQ, 0x04, -1}, {0x0C, reg::USBIRQ, 0x08, suspend_pending},
        {0x3C, reg::OUT07IRQ, 0x10, -1}, {0x44, reg::OUT07IRQ, 0x20, -1},
        {0x4C, reg::OUT07IRQ, 0x40, -1}, {0x54, reg::OUT07IRQ, 0x80, -1},
    };
    for (const auto& e : events) {
        SCOPED_TRACE(e.offset);
        b.iram(0x20) = 0;
        b.x(reg::USBIRQ) = 0xFF;
        b.x(reg::OUT07IRQ) = 0xFF;
        clear_log();
        b.usb_interrupt(e.offset);
        EXPECT_EQ(b.writes_to(e.irq), Bytes{e.bit});
        EXPECT_EQ(b.x(e.irq), 0xFF & ~e.bit);
        // main.asm's four flags (the suspend handler also notes the
        // suspension in bus.asm's bits above them).
        EXPECT_EQ(b.iram(0x20) & 0x0F, e.flag < 0 ? 0 : 1 << e.flag);
        if (e.irq == reg::OUT07IRQ) {
            const uint16_t bc = static_cast<uint16_t>(reg::OUT4BC + 2 * (e.offset - 0x3C) / 8);
            EXPECT_EQ(b.writes_to(bc), Bytes{0x00}) << "endpoint drained and re-armed";
        }
    }
}

}  // namespace
