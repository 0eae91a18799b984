// The device side of the virtual USB cable, at the level of USB transactions.
//
// The controller model implements it; the host model drives it. Both share the
// board's one clock: `clock_t` counts 24 MHz clocks (the 8051 core takes 4 per
// instruction cycle). A transaction happens at one instant of that clock: the
// host first lets the device run up to the instant (`run_until`), then issues
// the transaction.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace vboard::usb {

using clock_t = uint64_t;
inline constexpr clock_t clocks_per_second = 24'000'000;
inline constexpr clock_t clocks_per_ms = clocks_per_second / 1000;

inline constexpr unsigned max_packet = 64;  // every endpoint of this device, EP0 included

// The device's answer to a token. `none` is no answer at all: the device is not
// on the bus, or the token was not addressed to it, or the endpoint is not valid
// (the host sees a time-out).
enum class Handshake : uint8_t { ack, nak, stall, none };

enum class DataPid : uint8_t { data0, data1 };

// The answer to an IN token: a data packet (handshake ack) with its PID, or a
// handshake without data (nak, stall) or nothing (none).
struct InPacket {
    Handshake handshake = Handshake::none;
    DataPid pid = DataPid::data0;
    uint8_t length = 0;
    std::array<uint8_t, max_packet> data{};

    std::span<const uint8_t> bytes() const { return {data.data(), length}; }
};

class Device {
public:
    virtual ~Device() = default;

    // Time. The device runs (its CPU, its timers) up to `clock`; never backwards.
    virtual clock_t now() const = 0;
    virtual void run_until(clock_t clock) = 0;

    // Bus state as the host sees it: the device's pull-up is on the bus.
    virtual bool attached() const = 0;
    // The device drives resume (K) signalling: a remote wake-up.
    virtual bool signalling_resume() const = 0;

    // Bus events the host drives.
    virtual void bus_reset() = 0;               // onset of SE0 (>= 10 ms follow)
    virtual void start_of_frame(uint16_t frame) = 0;
    virtual void resume() = 0;                  // the host's resume signalling ended

    // Transactions. `address` is the function address the token carries.
    // SETUP: the eight request bytes; always DATA0. A device answers ack or none.
    virtual Handshake setup(uint8_t address, const std::array<uint8_t, 8>& request) = 0;
    // IN: a data packet (handshake ack; the host's ACK to it is implied) or a handshake.
    virtual InPacket in(uint8_t address, uint8_t endpoint) = 0;
    // OUT: data with its PID; ack, nak, stall or none. A packet whose PID repeats the
    // last accepted one is acked and dropped by the device (a retry after a lost ACK).
    virtual Handshake out(uint8_t address, uint8_t endpoint, DataPid pid,
                          std::span<const uint8_t> data) = 0;
};

}  // namespace vboard::usb
