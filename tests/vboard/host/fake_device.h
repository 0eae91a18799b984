// A small scriptable USB device for the host model's tests: it answers the
// standard requests from a descriptor set, serves bulk endpoints from queues,
// and can be told to NAK, STALL, take its time or leave the bus. It logs
// every bus event with the instant it happened.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <vector>

#include "host/standard.h"
#include "usb/device.h"

namespace fake {

using vboard::usb::clock_t;
using vboard::usb::DataPid;
using vboard::usb::Handshake;
using Bytes = std::vector<uint8_t>;

inline constexpr clock_t ms = vboard::usb::clocks_per_ms;

struct Event {
    enum class Kind { sof, reset, resume, setup, in, out };
    Kind kind = Kind::sof;
    clock_t time = 0;
    uint8_t address = 0;
    uint8_t endpoint = 0;
    DataPid pid = DataPid::data0;
    Bytes data;                      // SETUP bytes, OUT data, IN data sent
    Handshake answer = Handshake::ack;
    uint16_t frame = 0;
};

struct Endpoint {
    std::deque<Bytes> to_send;       // IN: packets, in order
    std::vector<Bytes> received;     // OUT: packets accepted
    DataPid toggle = DataPid::data0;
    bool stalled = false;
    bool nak = false;                // NAK everything while set
    clock_t nak_until = 0;           // and before this instant
    bool repeat_next = false;        // IN: send the next packet twice with one PID (a lost ACK)
};

struct LoaderWrite {
    uint16_t address;
    Bytes data;
};

// The 18-byte device descriptor and the configuration block of the board's
// firmware: one interface, EP1-7 OUT bulk, EP1 IN interrupt, EP2-7 IN bulk.
Bytes firmware_device_descriptor();
Bytes firmware_configuration();
// A UTF-16LE string descriptor.
Bytes string_descriptor(std::u16string_view text);

class FakeDevice final : public vboard::usb::Device {
public:
    FakeDevice();

    // ---- the script
    Bytes device_descriptor;
    Bytes configuration;
    // Strings by index, then language id; language 0xFFFF answers any.
    std::map<uint8_t, std::map<uint16_t, Bytes>> strings;
    std::map<uint8_t, Endpoint> endpoints;  // by address: 0x01, 0x82, ...
    clock_t data_delay = 0;     // the control data stage is NAKed this long after the SETUP
    clock_t status_delay = 0;   // the status stage is NAKed this long after the data (or SETUP)
    std::function<bool(const vboard::host::SetupPacket&)> stall_request;  // true: stall it
    std::function<void(FakeDevice&)> on_run;  // called after every run_until

    void set_attached(bool attached) { attached_ = attached; }
    // Attach / detach at an instant (in run_until).
    void schedule_attach(clock_t time, bool attached) { schedule_.push_back({time, attached}); }
    // Remote wake-up signalling from `from` for `length`.
    void signal_resume(clock_t from, clock_t length) { wake_from_ = from, wake_to_ = from + length; }

    // ---- what happened
    std::vector<Event> log;
    std::vector<LoaderWrite> loader_writes;
    uint8_t address() const { return address_; }
    uint8_t configuration_value() const { return configuration_value_; }
    std::vector<vboard::host::SetupPacket> setups() const;
    std::vector<clock_t> setup_times() const;
    std::vector<const Event*> events(Event::Kind kind) const;
    int run_calls = 0;

    // ---- usb::Device
    clock_t now() const override { return now_; }
    void run_until(clock_t clock) override;
    bool attached() const override { return attached_; }
    bool signalling_resume() const override { return now_ >= wake_from_ && now_ < wake_to_; }
    void bus_reset() override;
    void start_of_frame(uint16_t frame) override;
    void resume() override;
    Handshake setup(uint8_t address, const std::array<uint8_t, 8>& request) override;
    vboard::usb::InPacket in(uint8_t address, uint8_t endpoint) override;
    Handshake out(uint8_t address, uint8_t endpoint, DataPid pid,
                  std::span<const uint8_t> data) override;

private:
    struct Control {
        vboard::host::SetupPacket setup;
        clock_t setup_time = 0;
        clock_t data_end = 0;
        Bytes reply;               // IN data stage
        size_t sent = 0;
        bool zlp = false;          // a zero-length packet ends the data stage
        Bytes received;            // OUT data stage
        DataPid pid = DataPid::data1;
        bool stall = false;
        bool in_status = false;    // the data stage is over
    };

    bool for_me(uint8_t address) const { return attached_ && address == address_; }
    void begin(const vboard::host::SetupPacket& setup);
    void complete_request();
    Handshake log_answer(Event event, Handshake answer);

    clock_t now_ = 0;
    bool attached_ = false;
    std::vector<std::pair<clock_t, bool>> schedule_;
    clock_t wake_from_ = ~clock_t{0}, wake_to_ = 0;
    uint8_t address_ = 0;
    uint8_t configuration_value_ = 0;
    std::optional<Control> control_;
    uint16_t last_frame_ = 0;
};

}  // namespace fake
