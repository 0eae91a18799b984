// A board whose 8051 stays in reset, for driving the controller's
// registers directly (as the firmware's MOVX would) and its USB side as the
// host would.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "board/board.h"
#include "controller/regs.h"
#include "usb_helpers.h"

namespace vboard::test {

using namespace controller::reg;

class Rig : public ::testing::Test {
protected:
    explicit Rig(const board::Settings& settings = {}) : board(settings), ctl(board.controller()) {}

    std::uint8_t rd(std::uint16_t addr) { return ctl.read(addr); }
    void wr(std::uint16_t addr, std::uint8_t value) { ctl.write(addr, value); }
    void set_bits(std::uint16_t addr, std::uint8_t bits) { wr(addr, rd(addr) | bits); }

    void put(std::uint16_t addr, const std::vector<std::uint8_t>& bytes) {
        for (std::size_t i = 0; i < bytes.size(); ++i) wr(static_cast<std::uint16_t>(addr + i), bytes[i]);
    }
    std::vector<std::uint8_t> get(std::uint16_t addr, std::size_t n) {
        std::vector<std::uint8_t> v(n);
        for (std::size_t i = 0; i < n; ++i) v[i] = rd(static_cast<std::uint16_t>(addr + i));
        return v;
    }

    usb::Handshake host_out(std::uint8_t ep, usb::DataPid pid, const std::vector<std::uint8_t>& data) {
        return ctl.out(address, ep, pid, data);
    }
    usb::InPacket host_in(std::uint8_t ep) { return ctl.in(address, ep); }

    std::size_t findings(FindingKind kind) const { return board.diagnostics().count(kind); }
    std::string report() const {
        std::ostringstream out;
        board.diagnostics().print(out);
        return out.str();
    }

    board::Board board;
    controller::Controller& ctl;
    std::uint8_t address = 0;
};

inline std::vector<std::uint8_t> bytes_of(const usb::InPacket& p) { return {p.data.begin(), p.data.begin() + p.length}; }

}  // namespace vboard::test
