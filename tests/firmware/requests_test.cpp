// handle_setup_request on the bare core: every request row, the string
// data stage, the handshake on every path, and what happens when the host
// abandons a string transfer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "bare_board.h"

namespace {

using fwtest::BareBoard;
namespace reg = fwtest::reg;
using Bytes = std::vector<uint8_t>;
using Packets = std::vector<Bytes>;

constexpr int setup_pending = 0, remote_wakeup_enabled = 2;

const Bytes nebu = {0x0A, 0x03, 'N', 0, 'E', 0, 'B', 0, 'U', 0};
const Bytes z100 = {0x0A, 0x03, 'Z', 0, '1', 0, '0', 0, '0', 0};
const Bytes languages = {0x04, 0x03, 0x09, 0x04};

struct Outcome {
    bool stalled;
    Packets packets;         // EP0 IN packets the firmware armed
    Bytes sudptr;            // SUDPTRH, SUDPTRL writes in order
    BareBoard::Writes regs;  // every register write
};

class FirmwareRequests : public ::testing::Test {
protected:
    void SetUp() override {
        b.set_descriptor_pointers();
        b.set_flag(remote_wakeup_enabled, true);  // as after start-up
    }

    void TearDown() override {
        for (const auto& f : b.diag.findings())
            ADD_FAILURE() << "firmware finding at pc 0x" << std::hex << f.pc << ": " << f.message;
    }

    // Serves one SETUP packet as the main loop does (setup_pending cleared
    // before the call, its SUDAV request acked); checks the handshake.
    Outcome serve(const Bytes& setup, bool fresh = true, bool answered = true) {
        if (fresh) {
            b.x(reg::EP0CS) = 0x02;  // a new SETUP: HSNAK set, no stall
            b.ep0_packets.clear();
            b.clear_writes();
            std::copy(setup.begin(), setup.end(), &b.x(reg::SETUPDAT));
        }
        b.x(reg::USBIRQ) = 0;
        b.set_flag(setup_pending, false);
        b.call("handle_setup_request", 1'000'000);
        const auto ep0cs = b.writes_to(reg::EP0CS);
        if (answered) {
            EXPECT_FALSE(ep0cs.empty() || !(ep0cs.back() & 0x02)) << "no handshake (HSNAK write) at the end";
            EXPECT_EQ(b.x(reg::EP0CS) & 0x02, 0) << "HSNAK still set";
        }
        Bytes sud;
        for (const auto& [a, v] : b.writes)
            if (a == reg::SUDPTRH || a == reg::SUDPTRL) sud.push_back(v);
        return {(b.x(reg::EP0CS) & 1) != 0, b.ep0_packets, sud, b.writes};
    }

    Bytes sudptr_of(const char* symbol) {
        const uint16_t a = b.sym(symbol);
        return {static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a)};
    }

    BareBoard b;
};

// ---- GET_STATUS -----------------------------------------------------------------

TEST_F(FirmwareRequests, GetStatusByRecipient) {
    b.x(reg::IN2CS) = 0x01;  // EP2 IN stalled
    b.x(0x7FC8) = 0x00;      // OUT2CS
    const struct {
        const char* name;
        Bytes setup;
        std::optional<Bytes> reply;  // nullopt: stalled
    } cases[] = {
        {"device", {0x80, 0, 0, 0, 0, 0, 2, 0}, Bytes{0x02, 0x00}},
        {"device, wLength 0", {0x80, 0, 0, 0, 0, 0, 0, 0}, Bytes{0x02, 0x00}},
        {"interface 7", {0x81, 0, 0, 0, 7, 0, 2, 0}, Bytes{0x00, 0x00}},
        {"endpoint 0x82 stalled", {0x82, 0, 0, 0, 0x82, 0, 2, 0}, Bytes{0x01, 0x00}},
        {"endpoint 0x02", {0x82, 0, 0, 0, 0x02, 0, 2, 0}, Bytes{0x00, 0x00}},
        {"recipient 0x83", {0x83, 0, 0, 0, 0, 0, 2, 0}, std::nullopt},
        {"type 0x00", {0x00, 0, 0, 0, 0, 0, 2, 0}, std::nullopt},
        {"vendor 0xC0", {0xC0, 0, 0, 0, 0, 0, 2, 0}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome o = serve(c.setup);
        EXPECT_EQ(o.stalled, !c.reply.has_value());
        EXPECT_EQ(o.packets, c.reply ? Packets{*c.reply} : Packets{});
    }
}

TEST_F(FirmwareRequests, RemoteWakeupFeatureOfTheDevice) {
    const Bytes status = {0x80, 0, 0, 0, 0, 0, 2, 0};
    EXPECT_EQ(serve(status).packets, Packets{Bytes({0x02, 0x00})});
    EXPECT_FALSE(serve({0x00, 1, 1, 0, 0, 0, 0, 0}).stalled);  // CLEAR_FEATURE 1
    EXPECT_EQ(serve(status).packets, Packets{Bytes({0x00, 0x00})});
    EXPECT_FALSE(serve({0x00, 3, 1, 0, 0, 0, 0, 0}).stalled);  // SET_FEATURE 1
    EXPECT_EQ(serve(status).packets, Packets{Bytes({0x02, 0x00})});
    // Other selectors to the device are stalled and change nothing.
    EXPECT_TRUE(serve({0x00, 3, 2, 0, 0, 0, 0, 0}).stalled);
    EXPECT_TRUE(serve({0x00, 1, 0, 0, 0, 0, 0, 0}).stalled);
    EXPECT_TRUE(b.flag(remote_wakeup_enabled));
    // Recipients other than device and endpoint: accepted, no effect.
    const Outcome o = serve({0x01, 1, 1, 0, 0, 0, 0, 0});
    EXPECT_FALSE(o.stalled);
    EXPECT_TRUE(b.flag(remote_wakeup_enabled));
    EXPECT_FALSE(serve({0x03, 3, 0, 0, 0x82, 0, 0, 0}).stalled);
}

TEST_F(FirmwareRequests, EndpointHaltSetAndClearedWithTheToggleReset) {
    Outcome o = serve({0x02, 3, 0, 0, 0x82, 0, 0, 0});  // SET_FEATURE halt, EP2 IN
    EXPECT_FALSE(o.stalled);
    EXPECT_EQ(b.writes_to(reg::IN2CS), Bytes{0x01});
    EXPECT_TRUE(b.writes_to(reg::TOGCTL).empty()) << "toggle not touched by SET_FEATURE";
    EXPECT_EQ(serve({0x82, 0, 0, 0, 0x82, 0, 2, 0}).packets, Packets{Bytes({0x01, 0x00})});

    o = serve({0x02, 1, 0, 0, 0x82, 0, 0, 0});  // CLEAR_FEATURE halt
    EXPECT_FALSE(o.stalled);
    BareBoard::Writes order;
    for (const auto& w : o.regs)
        if (w.first == reg::IN2CS || w.first == reg::TOGCTL) order.push_back(w);
    EXPECT_EQ(order, (BareBoard::Writes{{reg::IN2CS, 0x00}, {reg::TOGCTL, 0x12}, {reg::TOGCTL, 0x32}}));
    EXPECT_EQ(serve({0x82, 0, 0, 0, 0x82, 0, 2, 0}).packets, Packets{Bytes({0x00, 0x00})});

    serve({0x02, 1, 0, 0, 0x05, 0, 0, 0});  // an OUT endpoint: IO bit 0
    EXPECT_EQ(b.writes_to(0x7FCE), Bytes{0x00});  // OUT5CS
    EXPECT_EQ(b.writes_to(reg::TOGCTL), (Bytes{0x05, 0x25}));

    EXPECT_TRUE(serve({0x02, 1, 1, 0, 0x82, 0, 0, 0}).stalled) << "selector other than halt";
    EXPECT_TRUE(serve({0x02, 3, 1, 0, 0x82, 0, 0, 0}).stalled);
    EXPECT_TRUE(serve({0x02, 3, 0, 0, 0x80, 0, 0, 0}).stalled) << "halting EP0 stalls this request itself";
}

// ---- GET_DESCRIPTOR ---------------------------------------------------------------

TEST_F(FirmwareRequests, DeviceAndConfigurationDescriptorsAreSentByTheController) {
    Outcome o = serve({0x80, 6, 0, 1, 0, 0, 0x40, 0});
    EXPECT_FALSE(o.stalled);
    EXPECT_EQ(o.sudptr, sudptr_of("device_descriptor")) << "high byte first, low byte starts it";
    EXPECT_TRUE(o.packets.empty());
    for (uint8_t len : {9, 255}) {
        o = serve({0x80, 6, 0, 2, 0, 0, len, 0});
        EXPECT_FALSE(o.stalled);
        EXPECT_EQ(o.sudptr, sudptr_of("config_descriptor"));
    }
    o = serve({0x80, 6, 1, 2, 0, 0, 0xFF, 0});
    EXPECT_TRUE(o.stalled) << "configuration index 1";
    EXPECT_TRUE(o.sudptr.empty());
    for (uint8_t type : {4, 5, 6, 0, 7, 0x21}) {
        o = serve({0x80, 6, 0, type, 0, 0, 0x40, 0});
        EXPECT_TRUE(o.stalled) << "type " << int(type);
        EXPECT_TRUE(o.sudptr.empty() && o.packets.empty());
    }
}

TEST_F(FirmwareRequests, StringsAreSentInPacketsThenAZeroLengthPacket) {
    const struct {
        const char* name;
        Bytes setup;
        Bytes data;
    } cases[] = {
        {"string 1, language 0x001B", {0x80, 6, 1, 3, 0x1B, 0x00, 130, 0}, nebu},
        {"string 1, language 0x0409", {0x80, 6, 1, 3, 0x09, 0x04, 130, 0}, nebu},
        {"string 1, language 0", {0x80, 6, 1, 3, 0, 0, 130, 0}, nebu},
        {"string 0", {0x80, 6, 0, 3, 0, 0, 255, 0}, languages},
        {"string 2", {0x80, 6, 2, 3, 0x09, 0x04, 255, 0}, z100},
        {"wLength 2", {0x80, 6, 1, 3, 0x09, 0x04, 2, 0}, Bytes(nebu.begin(), nebu.begin() + 2)},
        {"wLength 0", {0x80, 6, 1, 3, 0x09, 0x04, 0, 0}, Bytes{}},
        {"wLength 256", {0x80, 6, 2, 3, 0x09, 0x04, 0, 1}, z100},
        {"wLength 10", {0x80, 6, 2, 3, 0x09, 0x04, 10, 0}, z100},
        {"vendor bRequest 6", {0xC0, 6, 1, 3, 0, 0, 130, 0}, nebu},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome o = serve(c.setup);
        EXPECT_FALSE(o.stalled);
        const Packets expected = c.data.empty() ? Packets{Bytes{}} : Packets{c.data, Bytes{}};
        EXPECT_EQ(o.packets, expected);
        EXPECT_TRUE(o.sudptr.empty()) << "strings do not use the setup data pointer";
        const auto ep0cs = b.writes_to(reg::EP0CS);
        ASSERT_GE(ep0cs.size(), 2u);
        EXPECT_EQ(ep0cs[ep0cs.size() - 2], 0x02) << "plain write of HSNAK before the handshake";
    }
    for (uint8_t index : {3, 4, 255}) {
        const Outcome o = serve({0x80, 6, index, 3, 0x09, 0x04, 130, 0});
        EXPECT_TRUE(o.stalled) << "string " << int(index);
        EXPECT_TRUE(o.packets.empty());
    }
}

// ---- configuration, interface, other requests --------------------------------------

TEST_F(FirmwareRequests, ConfigurationAndAlternateSettingAreKeptWhateverTheirValues) {
    EXPECT_EQ(serve({0x80, 8, 0, 0, 0, 0, 1, 0}).packets, Packets{Bytes{0x00}});
    EXPECT_FALSE(serve({0x00, 9, 5, 0, 0, 0, 0, 0}).stalled);
    EXPECT_EQ(serve({0x80, 8, 0, 0, 0, 0, 0, 0}).packets, Packets{Bytes{0x05}}) << "whatever wLength says";
    EXPECT_EQ(serve({0x81, 10, 0, 0, 0, 0, 1, 0}).packets, Packets{Bytes{0x00}});
    EXPECT_FALSE(serve({0x01, 11, 3, 0, 7, 0, 0, 0}).stalled);
    EXPECT_EQ(serve({0x81, 10, 0, 0, 2, 0, 1, 0}).packets, Packets{Bytes{0x03}});
    EXPECT_EQ(serve({0x80, 8, 0, 0, 0, 0, 1, 0}).packets, Packets{Bytes{0x05}}) << "SET_INTERFACE kept it";
}

TEST_F(FirmwareRequests, RequestsWithoutBuiltInHandlingAreStalled) {
    for (uint8_t request : {2, 4, 5, 7, 12, 0x51, 0xA0, 0xFF}) {
        for (uint8_t type : {0x00, 0x40, 0xC0}) {
            const Outcome o = serve({type, request, 0, 0, 0, 0, 0, 0});
            EXPECT_TRUE(o.stalled) << "bRequest " << int(request) << " type " << int(type);
            EXPECT_TRUE(o.packets.empty());
        }
    }
}

// ---- the string data stage's wait ------------------------------------------------

// Runs handle_setup_request for a string while the host is slow to take the
// packet; `during_wait` runs once the packet is armed and the firmware has
// been waiting for 1,000 instructions.
struct Injector {
    BareBoard* b;
    std::function<void()> during_wait;
    int after_arm = 0;
    bool done = false;
};

TEST_F(FirmwareRequests, StringStageWaitsForTheHostToTakeThePacket) {
    b.ep0_host_slow = true;
    Injector inj{&b, [this] { b.x(reg::EP0CS) &= ~0x04; }};  // the host takes it
    b.cpu.set_trace(
        [](void* ctx, const vboard::Cpu&) {
            auto& k = *static_cast<Injector*>(ctx);
            if (!k.done && !k.b->ep0_packets.empty() && ++k.after_arm == 1000) {
                EXPECT_EQ(k.b->ep0_packets.size(), 1u) << "went on before the packet was taken";
                k.during_wait();
                k.done = true;
            }
        },
        &inj);
    const Outcome o = serve({0x80, 6, 1, 3, 0x1B, 0x00, 130, 0});
    EXPECT_TRUE(inj.done);
    EXPECT_EQ(o.packets, (Packets{nebu, Bytes{}}));
}

TEST_F(FirmwareRequests, AbandonedStringTransferGivesWayToTheNewRequest) {
    b.ep0_host_slow = true;
    // The host gives up and sends GET_CONFIGURATION: the controller drops the
    // armed packet (busy clears), holds the new request in SETUPDAT, and the
    // SETUP-data interrupt raises setup_pending.
    Injector inj{&b, [this] {
        const Bytes get_config = {0x80, 8, 0, 0, 0, 0, 1, 0};
        std::copy(get_config.begin(), get_config.end(), &b.x(reg::SETUPDAT));
        b.x(reg::EP0CS) = 0x02;
        b.set_flag(setup_pending, true);
    }};
    b.cpu.set_trace(
        [](void* ctx, const vboard::Cpu&) {
            auto& k = *static_cast<Injector*>(ctx);
            if (!k.done && !k.b->ep0_packets.empty() && ++k.after_arm == 1000) {
                k.during_wait();
                k.done = true;
            }
        },
        &inj);
    b.ep0_host_slow = true;
    serve({0x80, 6, 1, 3, 0x1B, 0x00, 130, 0}, true, false);
    ASSERT_TRUE(inj.done);
    EXPECT_EQ(b.x(reg::EP0CS) & 0x02, 0x02) << "the new request's HSNAK was released";
    ASSERT_TRUE(b.flag(setup_pending)) << "the new request is left to the main loop";
    // Which serves it next: the string packet, then the new request's one
    // byte; no zero-length packet of the old transfer in between.
    b.cpu.set_trace(nullptr, nullptr);
    const Outcome o = serve({}, false);
    EXPECT_EQ(o.packets, (Packets{nebu, Bytes{0x00}}));
    EXPECT_FALSE(o.stalled);
}


// A SETUP that arrives right after one of a request's writes to endpoint 0
// (its SUDAV request pending when the firmware next looks) takes endpoint
// 0: the stall is taken back, the descriptor transfer is not started.
TEST_F(FirmwareRequests, ANewSetupRightAfterAWriteTakesEndpointZero) {
    const struct {
        const char* what;
        Bytes setup;
        uint16_t arrives_after;  // the first write to this register
    } rows[] = {
        {"a stalled request", {0x80, 6, 0, 4, 0, 0, 0x40, 0}, reg::EP0CS},
        {"the device descriptor", {0x80, 6, 0, 1, 0, 0, 0x12, 0}, reg::SUDPTRH},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        bool arrived = false;
        b.after_write = [&](uint16_t addr, uint8_t) {
            if (addr != r.arrives_after || arrived) return;
            arrived = true;
            b.x(reg::USBIRQ) |= 0x01;  // SUDAV
        };
        const Outcome o = serve(r.setup, true, false);
        b.after_write = nullptr;
        EXPECT_TRUE(arrived);
        EXPECT_FALSE(o.stalled) << "the new request's endpoint 0 is left unstalled";
        EXPECT_LE(o.sudptr.size(), 1u) << "SUDPTRL written: the transfer started for the old request";
        EXPECT_TRUE(o.packets.empty());
    }
}

}  // namespace
