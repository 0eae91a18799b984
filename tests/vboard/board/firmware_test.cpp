// The system's own firmware image on the board, played against by a
// minimal host: it leaves the bus and comes back with RENUM set, answers its
// identity strings and descriptors through endpoint 0 (its own code and the
// automatic descriptor transfer), and reads the card's ID bytes through its
// command scripts, the ports and the card.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "board/board.h"
#include "usb_helpers.h"

namespace vboard::test {
namespace {

using usb::DataPid;
using usb::Handshake;

// The board with a running bus in front: a SOF at every millisecond while
// time passes.
class FramedBus final : public usb::Device {
public:
    explicit FramedBus(board::Board& board) : board_(board), next_sof_(board.now()) {}

    usb::clock_t now() const override { return board_.now(); }
    void run_until(usb::clock_t clock) override {
        while (next_sof_ <= clock) {
            board_.run_until(next_sof_);
            board_.start_of_frame(frame_++);
            next_sof_ += usb::clocks_per_ms;
        }
        board_.run_until(clock);
    }
    bool attached() const override { return board_.attached(); }
    bool signalling_resume() const override { return board_.signalling_resume(); }
    void bus_reset() override { board_.bus_reset(); }
    void start_of_frame(std::uint16_t frame) override { board_.start_of_frame(frame); }
    void resume() override { board_.resume(); }
    Handshake setup(std::uint8_t address, const std::array<std::uint8_t, 8>& request) override {
        return board_.setup(address, request);
    }
    usb::InPacket in(std::uint8_t address, std::uint8_t endpoint) override { return board_.in(address, endpoint); }
    Handshake out(std::uint8_t address, std::uint8_t endpoint, DataPid pid,
                  std::span<const std::uint8_t> data) override {
        return board_.out(address, endpoint, pid, data);
    }

private:
    board::Board& board_;
    usb::clock_t next_sof_;
    std::uint16_t frame_ = 0;
};

std::vector<std::uint8_t> utf16_descriptor(const std::string& text) {
    std::vector<std::uint8_t> d = {static_cast<std::uint8_t>(2 + 2 * text.size()), 3};
    for (char c : text) d.insert(d.end(), {static_cast<std::uint8_t>(c), 0});
    return d;
}

TEST(Firmware, ReEnumeratesAndServesItsIdentityAndTheCardId) {
    board::Board board;
    std::string error;
    ASSERT_TRUE(board.load_firmware(FIRMWARE_BIN, error)) << error;

    board.run_for_ms(20);
    ASSERT_FALSE(board.attached()) << "the firmware leaves the bus at start";
    const usb::clock_t left = board.now();
    while (!board.attached() && board.now() - left < 3 * usb::clocks_per_second) board.run_for_ms(5);
    ASSERT_TRUE(board.attached()) << "the firmware never came back";
    const double off_ms = static_cast<double>(board.now() - left) / usb::clocks_per_ms;
    EXPECT_GT(off_ms, 1400);
    EXPECT_LT(off_ms, 1600);
    EXPECT_TRUE(board.controller().renum());

    FramedBus bus(board);
    bus.bus_reset();
    bus.run_until(bus.now() + 20 * usb::clocks_per_ms);
    ControlHost host(bus);

    Control c = host.transfer(setup_packet(0x80, 6, 0x0301, 0x001B, 130));
    ASSERT_EQ(c.result, Control::Result::ok) << c.detail;
    EXPECT_EQ(c.data, utf16_descriptor("NEBU"));
    c = host.transfer(setup_packet(0x80, 6, 0x0302, 0x001B, 130));
    ASSERT_EQ(c.result, Control::Result::ok) << c.detail;
    EXPECT_EQ(c.data, utf16_descriptor("Z100"));

    c = host.transfer(setup_packet(0x80, 6, 0x0100, 0, 64));  // through SUDPTR
    ASSERT_EQ(c.result, Control::Result::ok) << c.detail;
    ASSERT_EQ(c.data.size(), 18u);
    EXPECT_EQ(c.data[1], 1);
    c = host.transfer(setup_packet(0x80, 6, 0x0200, 0, 255));
    ASSERT_EQ(c.result, Control::Result::ok) << c.detail;
    EXPECT_EQ(c.data.size(), 116u);
    EXPECT_EQ(host.transfer(setup_packet(0x80, 6, 0x0303, 0, 255)).result, Control::Result::stall);

    // The card tool's bus set-up and ID scripts on the command pipe (EP1
    // OUT); replies on EP2 IN.
    const std::vector<std::uint8_t> setup_script = {0x00, 0x14, 0x07, 0xF1, 0x12, 0x24};
    const std::vector<std::uint8_t> id_script = {0x31, 0x90, 0x32, 0x00, 0x40, 0x40, 0x40, 0x14};
    ASSERT_EQ(bus.out(0, 1, DataPid::data0, setup_script), Handshake::ack);
    usb::InPacket reply;
    Control note;
    ASSERT_TRUE(host.wait_in(reply, 2, note)) << note.detail;
    ASSERT_EQ(reply.length, 1);
    EXPECT_EQ(reply.data[0] & 0x08, 0x08) << "card present";
    EXPECT_EQ(reply.pid, DataPid::data0);

    ASSERT_EQ(bus.out(0, 1, DataPid::data1, id_script), Handshake::ack);
    ASSERT_TRUE(host.wait_in(reply, 2, note)) << note.detail;
    EXPECT_EQ(std::vector<std::uint8_t>(reply.data.begin(), reply.data.begin() + reply.length),
              (std::vector<std::uint8_t>{0xEC, 0x75, 0xA5}));
    EXPECT_EQ(reply.pid, DataPid::data1);

    std::ostringstream findings;
    board.diagnostics().print(findings);
    EXPECT_TRUE(board.diagnostics().empty()) << findings.str();
}

}  // namespace
}  // namespace vboard::test
