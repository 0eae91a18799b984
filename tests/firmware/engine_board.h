// The built firmware on the whole virtual board (core, controller, card
// socket), enumerated by the USB host model: the port engine seen from the
// USB cable. Command scripts go out on EP1 OUT (pipe 0), stream data on
// EP2 OUT (pipe 1), replies and stream data come back on EP2 IN (pipe 8).
// The card side is watched through the ports unit's bus-event record and
// the firmware's state through internal RAM and the link map.
//
// No GoogleTest in here: the speed benchmark builds on it as well.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "board/board.h"
#include "controller/ports.h"
#include "host/host.h"
#include "link_map.h"

namespace fwtest {

using Bytes = std::vector<uint8_t>;

// The stream state as the firmware holds it in internal RAM.
struct StreamState {
    uint16_t pkts = 0;
    uint8_t rest = 0;
    uint8_t dir = 0;

    bool operator==(const StreamState&) const = default;
};
std::string to_string(const StreamState& state);

class EngineBoard {
public:
    static constexpr uint8_t command_ep = 0x01;  // pipe 0
    static constexpr uint8_t stream_ep = 0x02;   // pipe 1
    static constexpr uint8_t reply_ep = 0x82;    // pipe 8
    static constexpr uint8_t CKCON = 0x8E;

    // Powers the board on with the settings (and the card image, if a path
    // is given), loads the built firmware and runs the bus until the
    // firmware has re-enumerated with its own pipes. ok() says whether it
    // got there; error() says why not.
    explicit EngineBoard(const vboard::board::Settings& settings = {}, const std::string& card_image = {});
    EngineBoard(const EngineBoard&) = delete;
    EngineBoard& operator=(const EngineBoard&) = delete;

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }

    // ---- the pipes (blocking: the bus runs until the transfer is over) ----
    // An OUT transfer is over when the controller has taken its last packet;
    // these two also let the firmware's handler for that packet finish.
    vboard::host::TransferResult script(std::span<const uint8_t> bytes);
    vboard::host::TransferResult stream_out(std::span<const uint8_t> bytes);
    // Runs the bus until no USB interrupt is pending or in service (at most 5 ms).
    void settle();
    // Up to `length` bytes from the reply pipe; `timeout_ms` 0 takes the host's.
    vboard::host::TransferResult read_reply(size_t length = 64, uint32_t timeout_ms = 0);

    // ---- the card side ------------------------------------------------------
    vboard::controller::Ports& ports() { return board.ports(); }
    // Starts the bus-event record afresh, keeping up to `limit` events.
    void record(std::size_t limit = vboard::controller::Ports::default_record_limit);
    const std::vector<vboard::controller::BusEvent>& events() { return ports().events(); }
    // The bytes of the recorded FWR# or FRD# pulses, in order.
    Bytes strobed(vboard::controller::BusEvent::Kind kind);

    // ---- firmware and register state ---------------------------------------
    StreamState stream_state();
    uint8_t ckcon() { return board.cpu().sfr(CKCON); }
    uint8_t fastxfr() { return ports().read(vboard::controller::Ports::FASTXFR); }
    uint8_t oec() { return ports().read(vboard::controller::Ports::OEC); }
    uint8_t outc() { return ports().read(vboard::controller::Ports::OUTC); }
    uint16_t symbol(const std::string& name) const;

    // The firmware checks the board reported, one per line; empty when none.
    std::string findings() const;

    vboard::board::Board board;
    vboard::host::Host host;
    LinkMap map;

private:
    std::string error_;
};

// A deterministic byte pattern for stream data.
Bytes pattern(size_t length, uint32_t seed);

}  // namespace fwtest
