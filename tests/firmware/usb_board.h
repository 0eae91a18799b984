// The firmware image on the virtual board, seen from the USB cable: the
// board loaded as the tool's loader leaves it, the host model (and the
// driver) in front of it when a test wants one, and the measuring aids the
// device tests share. Every test ends by checking that no firmware check of
// the board fired.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "board/board.h"
#include "host/driver.h"
#include "host/host.h"

namespace fwtest {

using Bytes = std::vector<uint8_t>;
namespace usb = vboard::usb;
namespace host = vboard::host;

inline constexpr usb::clock_t clocks_per_cycle = 4;
inline constexpr double cycles_per_ms = double(usb::clocks_per_ms) / clocks_per_cycle;  // 6,000

// One change of a sampled board signal and the clock at which it was seen.
struct Edge {
    usb::clock_t at;
    bool on;
};

class FirmwareUsb : public ::testing::Test {
protected:
    // Powers the board on and loads the firmware as the loader would; the
    // 8051 starts when time next runs. `settings` tunes the board.
    void start(const vboard::board::Settings& settings = {});
    // Puts the host model (and the driver) on the cable. Host events are
    // logged in `events`.
    void attach_host(const host::TimingProfile& profile = {});
    // start(), attach_host(), and runs until the host has enumerated the
    // firmware (not the bare controller); fails the test otherwise.
    void enumerate(const vboard::board::Settings& settings = {});

    void TearDown() override;

    // Lets `clocks` pass, through the host when there is one (the bus runs).
    void advance(usb::clock_t clocks);
    // Samples `signal` every `step` clocks for `duration` clocks and returns
    // each change; the first entry is the level at the start. An edge is seen
    // at most `step` clocks after it happened.
    std::vector<Edge> watch(const std::function<bool()>& signal, usb::clock_t duration,
                            usb::clock_t step = 240);

    // A control request through the host model.
    host::TransferResult request(uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                                 uint16_t length, const Bytes& out = {});
    // A bulk OUT transfer given up after `timeout_ms` (a NAKed packet is
    // retried until then).
    host::TransferResult send(uint8_t endpoint, const Bytes& data, uint32_t timeout_ms = 50);

    // Host events of one kind, in order.
    std::vector<host::HostEvent> events_of(host::HostEvent::Kind kind) const;

    // The firmware image the host tool carries.
    static const Bytes& firmware();

    std::unique_ptr<vboard::board::Board> board;
    std::unique_ptr<host::Host> usb_host;
    std::unique_ptr<host::Driver> driver;
    std::vector<host::HostEvent> events;
};

// Clocks as instruction cycles and as milliseconds, for messages.
inline double cycles_of(usb::clock_t clocks) { return double(clocks) / clocks_per_cycle; }
inline double ms_of(usb::clock_t clocks) { return double(clocks) / usb::clocks_per_ms; }
std::string describe(usb::clock_t clocks);

}  // namespace fwtest
