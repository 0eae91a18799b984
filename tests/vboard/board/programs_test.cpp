// Small 8051 programs on the board: arming endpoints and taking interrupts
// through the autovector table, strobing the card's ID bytes through the
// ports, leaving and rejoining the bus, and each firmware check firing on a
// program that breaks its rule and staying silent on one that keeps it.
#include <gtest/gtest.h>

#include <optional>
#include <sstream>

#include "board/board.h"
#include "controller/regs.h"
#include "usb_helpers.h"

namespace vboard::test {
namespace {

using namespace controller::reg;
using usb::DataPid;
using usb::Handshake;

std::vector<std::uint8_t> bytes_of(const usb::InPacket& p) { return {p.data.begin(), p.data.begin() + p.length}; }

Handshake send(usb::Device& device, std::uint8_t ep, DataPid pid, const std::vector<std::uint8_t>& data) {
    return device.out(0, ep, pid, data);
}

class Programs : public ::testing::Test {
protected:
    explicit Programs(const board::Settings& settings = {}) : board(settings) {}

    void load(const std::string& name) {
        std::string error;
        ASSERT_TRUE(board.load_firmware(std::string(TEST_PROGRAMS) + name + ".ihx", error)) << error;
    }
    std::uint8_t iram(std::uint8_t addr) { return board.cpu().iram()[addr]; }
    std::string report() const {
        std::ostringstream out;
        board.diagnostics().print(out);
        return out.str();
    }
    usb::InPacket in_when_ready(std::uint8_t ep) {
        usb::InPacket p;
        for (int i = 0; i < 100; ++i) {
            p = board.in(0, ep);
            if (p.handshake != Handshake::nak) break;
            board.run_for_ms(0.1);
        }
        return p;
    }

    board::Board board;
};

// ---- echo: arming, interrupts, autovector ---------------------------------------------------

TEST_F(Programs, EchoArmsEndpointsAndTakesInterruptsThroughTheAutovectorTable) {
    load("echo");
    board.run_for_ms(0.5);
    ASSERT_EQ(iram(0x30), 1) << "set-up did not finish\n" << report();
    ASSERT_TRUE(board.controller().renum());
    const std::uint8_t log = 0x40;

    board.bus_reset();  // the handler arms EP1 and EP2 OUT
    board.run_for_ms(0.1);
    EXPECT_EQ(iram(log), 0x10);

    const std::vector<std::uint8_t> hello = {'h', 'e', 'l', 'l', 'o'};
    ASSERT_EQ(board.out(0, 1, DataPid::data0, hello), Handshake::ack);
    usb::InPacket echo = in_when_ready(1);
    EXPECT_EQ(bytes_of(echo), hello);
    EXPECT_EQ(echo.pid, DataPid::data0);
    EXPECT_EQ(iram(log + 1), 0x24) << "EP1 OUT entry of the table";

    ASSERT_EQ(send(board, 1, DataPid::data1, {'x', 'y'}), Handshake::ack);
    echo = in_when_ready(1);
    EXPECT_EQ(bytes_of(echo), (std::vector<std::uint8_t>{'x', 'y'}));
    EXPECT_EQ(echo.pid, DataPid::data1);

    std::vector<std::uint8_t> big(64);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i);
    ASSERT_EQ(board.out(0, 2, DataPid::data0, big), Handshake::ack);
    board.run_for_ms(0.1);
    EXPECT_EQ(iram(0x32), 64);
    EXPECT_EQ(iram(log + 3), 0x2C);

    ControlHost host(board);
    const Control c = host.transfer(setup_packet(0xC0, 0x22, 0xBEEF, 0, 2));
    ASSERT_EQ(c.result, Control::Result::ok) << c.detail;
    EXPECT_EQ(c.data, (std::vector<std::uint8_t>{0xEF, 0xBE}));
    EXPECT_EQ(iram(log + 4), 0x00) << "SETUP data first ...";
    EXPECT_EQ(iram(log + 5), 0x08) << "... then the SETUP token";
    EXPECT_EQ(host.transfer(setup_packet(0x40, 0x51, 0, 0, 0)).result, Control::Result::stall);
    EXPECT_EQ(host.transfer(setup_packet(0x40, 0x52, 0, 0, 0)).result, Control::Result::ok);

    EXPECT_EQ(iram(0x31), 0) << "an unexpected handler ran";
    EXPECT_TRUE(board.diagnostics().empty()) << report();
}

// ---- card ID through the ports -----------------------------------------------------------------

TEST_F(Programs, CardIdStrobedThroughThePortsReachesTheHost) {
    board.socket().record(true);
    load("card_id");
    board.run_for_ms(0.5);
    ASSERT_EQ(iram(0x30), 1) << report();
    EXPECT_EQ(iram(0x31) & 0x08, 0x08) << "PC3 reads 1 with a card in";
    EXPECT_EQ(iram(0x32), 0xEC);
    EXPECT_EQ(iram(0x33), 0x75);
    EXPECT_EQ(iram(0x34), 0xA5);

    std::vector<std::string> cycles;
    for (const auto& c : board.socket().cycles()) cycles.push_back(card::to_string(c));
    EXPECT_EQ(cycles, (std::vector<std::string>{"cmd 90", "addr 00", "out ec", "out 75", "out a5"}));

    const usb::InPacket id = board.in(0, 2);
    EXPECT_EQ(bytes_of(id), (std::vector<std::uint8_t>{0xEC, 0x75, 0xA5}));
    EXPECT_TRUE(board.diagnostics().empty()) << report();
}

TEST(ProgramsCards, AnotherCardAndAnEmptySocket) {
    for (const auto& id : {std::optional<card::CardIdentity>(card::CardIdentity{0x98, 0x73, 0xC0, 0x21}),
                           std::optional<card::CardIdentity>()}) {
        board::Settings s;
        s.card = id;
        board::Board b(s);
        std::string error;
        ASSERT_TRUE(b.load_firmware(std::string(TEST_PROGRAMS) + "card_id.ihx", error)) << error;
        b.run_for_ms(0.5);
        const std::uint8_t* iram = b.cpu().iram();
        ASSERT_EQ(iram[0x30], 1);
        if (id) {
            EXPECT_EQ(iram[0x31] & 0x08, 0x08);
            EXPECT_EQ(iram[0x32], 0x98);
            EXPECT_EQ(iram[0x33], 0x73);
            EXPECT_EQ(iram[0x34], 0xC0);
        } else {
            EXPECT_EQ(iram[0x31] & 0x08, 0) << "PC3 reads 0 with the socket empty";
            EXPECT_EQ(iram[0x32], 0xFF) << "nothing drives the bus: the pull-ups";
            EXPECT_EQ(iram[0x34], 0xFF);
        }
    }
}

// ---- detach and re-attach -------------------------------------------------------------------------

TEST_F(Programs, ReconnectLeavesAndRejoinsTheBusAsANewDevice) {
    load("reconnect");
    ControlHost host(board);
    ASSERT_EQ(host.transfer(setup_packet(0x00, 5, 5, 0, 0)).result, Control::Result::ok);  // the bare chip's address
    ASSERT_EQ(board.controller().function_address(), 5);

    board.run_for_ms(0.2);
    EXPECT_EQ(iram(0x30), 1);
    EXPECT_FALSE(board.attached());
    EXPECT_EQ(board.setup(5, setup_packet(0x80, 6, 0x0100, 0, 18)), Handshake::none);

    board.run_for_ms(1.5);
    EXPECT_EQ(iram(0x30), 2);
    EXPECT_TRUE(board.attached());
    EXPECT_EQ(board.controller().function_address(), 0);
    EXPECT_TRUE(board.controller().renum());
    EXPECT_EQ(board.setup(0, setup_packet(0x80, 6, 0x0100, 0, 18)), Handshake::ack);
    EXPECT_EQ(board.controller().read(USBIRQ) & bmSUDAV, bmSUDAV) << "the request now goes to the 8051";
    EXPECT_TRUE(board.diagnostics().empty()) << report();
}

// ---- the firmware checks ----------------------------------------------------------------------------

struct CheckCase {
    const char* name;
    std::uint8_t mode;
    FindingKind kind;
    bool fires;
    bool host_in;   // the host takes a packet from EP1 IN meanwhile
    bool host_out;  // the host sends a packet to EP1 OUT meanwhile
};

class Checks : public ::testing::TestWithParam<CheckCase> {};

TEST_P(Checks, FireOnTheBrokenRuleOnly) {
    const CheckCase& c = GetParam();
    board::Board board;
    std::string error;
    ASSERT_TRUE(board.load_firmware(std::string(TEST_PROGRAMS) + "checks.ihx", error)) << error;
    board.controller().ram()[0x1F00] = c.mode;
    board.run_for_ms(0.2);
    if (c.host_in) {
        EXPECT_EQ(board.in(0, 1).handshake, Handshake::ack);
    }
    if (c.host_out) {
        EXPECT_EQ(send(board, 1, DataPid::data0, {7}), Handshake::ack);
    }
    board.run_for_ms(0.5);
    std::ostringstream text;
    board.diagnostics().print(text);
    if (c.fires) {
        EXPECT_GE(board.diagnostics().count(c.kind), 1u) << finding_name(c.kind) << " not reported\n" << text.str();
        EXPECT_EQ(board.diagnostics().count(c.kind), board.diagnostics().total()) << text.str();
    } else {
        EXPECT_TRUE(board.diagnostics().empty()) << text.str();
        EXPECT_EQ(board.cpu().iram()[0x30], 1) << "the mode did not finish";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Board, Checks,
    ::testing::Values(CheckCase{"InCountWhileBusy", 0, FindingKind::in_count_busy, true, false, false},
                      CheckCase{"InCountAfterTaken", 1, FindingKind::in_count_busy, false, true, false},
                      CheckCase{"InBufferAfterArming", 2, FindingKind::buffer_owned, true, false, false},
                      CheckCase{"InBufferBeforeArming", 3, FindingKind::buffer_owned, false, false, false},
                      CheckCase{"OutBufferWhileArmed", 4, FindingKind::buffer_owned, true, false, false},
                      CheckCase{"OutBufferWhileHeld", 5, FindingKind::buffer_owned, false, false, true},
                      CheckCase{"RequestNeverAcknowledged", 6, FindingKind::irq_unacked, true, false, true},
                      CheckCase{"RequestAcknowledged", 7, FindingKind::irq_unacked, false, false, true},
                      CheckCase{"JumpIntoUnloadedRam", 8, FindingKind::fill_execution, true, false, false}),
    [](const ::testing::TestParamInfo<CheckCase>& info) { return std::string(info.param.name); });

TEST(BoardChecks, RecurrenceIsReportedOnceWithItsRequest) {
    board::Board board;
    std::string error;
    ASSERT_TRUE(board.load_firmware(std::string(TEST_PROGRAMS) + "checks.ihx", error)) << error;
    board.controller().ram()[0x1F00] = 6;
    board.run_for_ms(0.2);
    ASSERT_EQ(send(board, 1, DataPid::data0, {7}), Handshake::ack);
    board.run_for_ms(5);
    ASSERT_EQ(board.diagnostics().count(FindingKind::irq_unacked), 1u);
    EXPECT_NE(board.diagnostics().findings().at(0).message.find("EP1 OUT"), std::string::npos)
        << board.diagnostics().findings().at(0).message;
}

}  // namespace
}  // namespace vboard::test
