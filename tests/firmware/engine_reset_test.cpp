// The engine reset request on the bare core: which requests it takes (all
// others are stalled as before), what it puts back, and its one-byte answer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "bare_board.h"

namespace {

using fwtest::BareBoard;
namespace reg = fwtest::reg;
using Bytes = std::vector<uint8_t>;

constexpr int setup_pending = 0;
constexpr uint8_t bmEP2 = 0x04;
constexpr uint16_t IN3CS = 0x7FBA;

class FirmwareEngineReset : public ::testing::Test {
protected:
    void SetUp() override { b.set_descriptor_pointers(); }
    void TearDown() override {
        for (const auto& f : b.diag.findings())
            ADD_FAILURE() << "firmware finding at pc 0x" << std::hex << f.pc << ": " << f.message;
    }

    // The engine as a program left it: a bus-to-host stream outstanding, a
    // script parked (EP2 IN interrupt on, EP1 OUT unarmed), EP2 IN stalled
    // and busy, port C driven, strobe timing changed.
    void mess(bool stream, bool parked) {
        b.iram(static_cast<uint8_t>(b.sym("stream_pkts"))) = stream ? 0x34 : 0;
        b.iram(static_cast<uint8_t>(b.sym("stream_pkts") + 1)) = stream ? 0x12 : 0;
        b.iram(static_cast<uint8_t>(b.sym("stream_rest"))) = stream ? 7 : 0;
        b.iram(static_cast<uint8_t>(b.sym("stream_dir"))) = 0;
        b.x(reg::IN07IEN) = parked ? bmEP2 : 0;
        b.x(reg::IN2CS) = 0x03;
        b.x(reg::OEC) = 0x0F;
        b.x(reg::OUTC) = 0x0B;
        b.x(reg::FASTXFR) = 0xFF;
        b.cpu.set_sfr(vboard::sfr::CKCON, 0x07);
    }

    // Serves one SETUP packet as the main loop does (setup_pending cleared
    // before the call, its SUDAV request acked): stalled or not.
    bool serve(const Bytes& setup) {
        b.x(reg::EP0CS) = 0x02;
        b.ep0_packets.clear();
        b.clear_writes();
        std::copy(setup.begin(), setup.end(), &b.x(reg::SETUPDAT));
        b.x(reg::USBIRQ) = 0;
        b.set_flag(setup_pending, false);
        b.call("handle_setup_request", 100'000);
        EXPECT_EQ(b.x(reg::EP0CS) & 0x02, 0) << "HSNAK still set";
        return (b.x(reg::EP0CS) & 1) != 0;
    }

    BareBoard b;
};

const Bytes engine_reset = {0xC0, 0xB0, 0x45, 0x4E, 0x00, 0x00, 0x01, 0x00};

TEST_F(FirmwareEngineReset, PutsTheEngineBackAndSaysWhatItFound) {
    const struct {
        bool stream, parked;
        uint8_t found;
    } cases[] = {{false, false, 0x04}, {true, false, 0x05}, {false, true, 0x06}, {true, true, 0x07}};  // bit 2: paces
    for (const auto& c : cases) {
        SCOPED_TRACE(int{c.found});
        mess(c.stream, c.parked);
        ASSERT_FALSE(serve(engine_reset));
        ASSERT_EQ(b.ep0_packets.size(), 1u);
        EXPECT_EQ(b.ep0_packets[0], Bytes{c.found});
        for (const char* s : {"stream_pkts", "stream_rest", "stream_dir"})
            EXPECT_EQ(b.iram(static_cast<uint8_t>(b.sym(s))), 0) << s;
        EXPECT_EQ(b.iram(static_cast<uint8_t>(b.sym("stream_pkts") + 1)), 0);
        EXPECT_EQ(b.x(reg::IN07IEN) & bmEP2, 0) << "parked script forgotten";
        // The parked packet is dropped by re-arming EP1 OUT; an armed one is left alone.
        EXPECT_EQ(b.writes_to(reg::OUT1BC).size(), c.parked ? 1u : 0u);
        // Both buffers of the pair disarmed, the stall bit written back as it was.
        EXPECT_EQ(b.writes_to(reg::IN2CS), Bytes{0x03});
        EXPECT_EQ(b.writes_to(IN3CS), Bytes{0x02});
        EXPECT_EQ(b.x(reg::OEC), 0x00);
        EXPECT_EQ(b.x(reg::OUTC), 0x00);
        EXPECT_EQ(b.x(reg::FASTXFR), 0x40);
        EXPECT_EQ(b.cpu.sfr(vboard::sfr::CKCON) & 0x07, 0);
        EXPECT_TRUE(b.cpu.sfr(vboard::sfr::EIE) & 0x01) << "the USB interrupt back on";
    }
}

TEST_F(FirmwareEngineReset, AGivenUpRequestStillResetsButArmsNothing) {
    mess(true, false);
    b.x(reg::EP0CS) = 0x02;
    b.ep0_packets.clear();
    std::copy(engine_reset.begin(), engine_reset.end(), &b.x(reg::SETUPDAT));
    b.x(reg::USBIRQ) = 0x01;  // SUDAV: the next SETUP has come
    b.set_flag(setup_pending, false);
    b.call("handle_setup_request", 100'000);
    EXPECT_TRUE(b.ep0_packets.empty());
    EXPECT_EQ(b.x(reg::EP0CS) & 0x03, 0x02) << "endpoint 0 left to the new request";
    EXPECT_EQ(b.iram(static_cast<uint8_t>(b.sym("stream_rest"))), 0);
}

TEST_F(FirmwareEngineReset, AnyOtherFieldIsStalledAndChangesNothing) {
    for (size_t field = 0; field < engine_reset.size(); ++field) {
        for (const uint8_t flip : {0x01, 0x80}) {
            Bytes setup = engine_reset;
            setup[field] ^= flip;
            if (field == 1 && setup[1] < 12) continue;  // a standard request code
            SCOPED_TRACE(::testing::Message() << "byte " << field << " ^ " << int{flip});
            mess(true, true);
            EXPECT_TRUE(serve(setup));
            EXPECT_TRUE(b.ep0_packets.empty());
            EXPECT_EQ(b.iram(static_cast<uint8_t>(b.sym("stream_rest"))), 7);
            EXPECT_EQ(b.x(reg::IN07IEN), bmEP2);
            EXPECT_EQ(b.x(reg::OEC), 0x0F);
        }
    }
}

}  // namespace
