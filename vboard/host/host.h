// The USB host of the virtual board: one root port with the board behind it,
// the host controller's frame schedule and the operating system's
// enumeration, all on the board's simulated clock.
//
// The host never sleeps. It lets the device run up to each instant of the
// bus (`Device::run_until`) and then drives that instant: the start of a
// frame (port housekeeping, then SOF) or one transaction slot. A frame is
// 1 ms and has `packets_per_frame` slots after its SOF, evenly spaced; each
// slot carries at most one transaction of any kind (SETUP, IN or OUT, whether
// it moves data or is answered NAK), so the whole bus carries at most that
// many packets of 64 bytes per frame. Interrupt transfers are polled first in
// a frame, then control and bulk transfers take the remaining slots in turn.
//
// Callers either block ("do this control transfer", "read up to N bytes from
// endpoint 0x82"), which runs the bus until the transfer is over, or submit
// transfers and let time pass. README.md beside this file lists the timing
// profile and where each number comes from.
//
// Index of the component:
//   standard.h/.cpp   SETUP records, standard requests, descriptor parsing
//   host.cpp          time, the port, suspend and resume, enumeration
//   transfers.cpp     submission, the frame schedule, the transactions
//   driver.h/.cpp     the EZ-USB general-purpose driver on top of the host
//   observer.h        what the host and the driver tell an observer (a trace)
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "host/observer.h"
#include "host/standard.h"
#include "usb/device.h"

namespace vboard::host {

// Every duration in milliseconds of simulated time. README.md says which
// values the USB specification sets and which are ours.
struct TimingProfile {
    uint32_t attach_debounce_ms = 100;       // attach seen continuously this long before the reset
    uint32_t port_reset_ms = 50;             // SE0 on the port
    uint32_t reset_recovery_ms = 50;         // SOFs, no request, after the reset
    uint32_t set_address_recovery_ms = 2;    // after SET_ADDRESS, before the new address is used
    uint32_t resume_signal_ms = 20;          // the host's resume (K) signalling
    uint32_t resume_recovery_ms = 10;        // SOFs, no transfer, after a resume
    uint32_t no_data_request_ms = 50;        // standard request without data: SETUP to status
    uint32_t data_packet_ms = 500;           // standard request: each IN data packet
    uint32_t status_stage_ms = 50;           // standard request: last IN data packet to status
    uint32_t control_timeout_ms = 5000;      // any control request is given up after this
    uint32_t transfer_timeout_ms = 5000;     // bulk and interrupt transfers
    uint32_t enumeration_attempts = 3;       // resets and enumerations before the port gives up
    uint32_t packets_per_frame = 19;         // transaction slots after each SOF (1..100)
    uint8_t device_address = 1;              // what SET_ADDRESS assigns (1..127)
};

// How a transfer ended.
enum class Status : uint8_t {
    ok,
    stall,       // the device stalled it (bulk and interrupt: the endpoint is halted since)
    timeout,     // a deadline passed: the transfer's, or a control stage's
    error,       // no answer three times in a row, or a protocol fault of the device
    overrun,     // the device sent more than was asked for
    no_device,   // no configured device, or it left the bus
    cancelled,   // a port reset or the caller ended it
    invalid,     // the request itself was malformed
};
const char* status_name(Status status);

enum class TransferType : uint8_t { control, bulk, interrupt };

struct TransferResult {
    Status status = Status::ok;
    std::vector<uint8_t> data;    // IN: the bytes received (on failure: those before it)
    size_t sent = 0;              // OUT: the bytes the device acknowledged
    uint32_t naks = 0;            // NAK answers on the way
    usb::clock_t submitted = 0;
    usb::clock_t finished = 0;

    bool ok() const { return status == Status::ok; }
};

using TransferId = uint64_t;

enum class PortState : uint8_t {
    disconnected,  // nothing on the port
    debouncing,    // attach seen, waiting for it to stay
    resetting,     // SE0 on the port
    recovering,    // port enabled, SOFs run, waiting before the first request
    enumerating,   // the enumeration requests are under way
    configured,    // enumerated: the device is present for callers
    failed,        // enumeration failed on every attempt; port disabled until detach
};
const char* port_state_name(PortState state);

// The device as enumeration found it.
struct EnumeratedDevice {
    uint64_t id = 0;        // one per appearance on the bus: 1, 2, ...
    uint8_t address = 0;
    std::vector<uint8_t> device_descriptor;  // 18 bytes
    std::vector<uint8_t> configuration;      // the whole block, wTotalLength bytes
    DeviceDescriptor device;
    Configuration config;
};

struct HostEvent {
    enum class Kind : uint8_t {
        attached,             // attach noticed (debounce starts)
        detached,             // detach noticed
        reset,                // port reset starts
        enabled,              // port reset ended, SOFs start
        enumerated,           // SET_CONFIGURATION done
        enumeration_failed,   // one attempt failed (detail says why)
        port_failed,          // every attempt failed
        suspended,
        remote_wakeup,        // the device's resume signalling noticed
        resuming,             // the host's resume signalling starts
        resumed,              // resume signalling ended, SOFs again
    };
    usb::clock_t time = 0;
    Kind kind = Kind::attached;
    std::string detail;
};
const char* event_name(HostEvent::Kind kind);

class Host {
public:
    // The host's time starts at the device's now().
    explicit Host(usb::Device& device, TimingProfile profile = {});
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    const TimingProfile& profile() const { return profile_; }
    // Takes effect for what starts after the call. Out-of-range slot counts
    // and addresses are clamped.
    void set_profile(const TimingProfile& profile);

    // Called for every port and bus event, in order.
    void set_observer(std::function<void(const HostEvent&)> observer);
    // Told of every transfer, enumeration's own included; null: none.
    void set_transfer_observer(TransferObserver* observer) { transfer_observer_ = observer; }

    // ---- time (host.cpp)
    usb::clock_t now() const { return now_; }
    // Simulated milliseconds since the host started.
    double elapsed_ms() const;
    // Lets `ms` of simulated time pass with the bus running.
    void wait(uint32_t ms);
    void wait_clocks(usb::clock_t clocks);
    // Runs the bus until `done()` holds (checked after every bus instant) or
    // `timeout_ms` have passed; returns done().
    bool wait_until(const std::function<bool()>& done, uint32_t timeout_ms);
    // Until a device is enumerated (at once if one is).
    bool wait_enumerated(uint32_t timeout_ms);

    // ---- the port (host.cpp)
    PortState port_state() const { return port_; }
    bool enumerated() const { return port_ == PortState::configured; }
    // The present device, or null outside the configured state.
    const EnumeratedDevice* device() const;
    // The id of the present device, 0 when none is enumerated.
    uint64_t device_id() const;
    // Why the last enumeration attempt failed; empty when none did.
    const std::string& enumeration_error() const { return enumeration_error_; }

    // Resets the port and enumerates again (the same device keeps its id).
    // Ends every transfer (cancelled). Nothing happens without a device.
    void reset_port();
    // Stops SOFs from the next frame; transfers wait (their deadlines run on).
    void suspend();
    // Drives resume signalling, then resumes the bus and returns after the
    // resume recovery. Does nothing unless suspended.
    void resume();
    bool suspended() const { return bus_ != Bus::running; }
    uint64_t frames_sent() const { return sofs_; }

    // ---- transfers (transfers.cpp)
    // OUT control requests carry exactly `setup.length` bytes of `data`.
    // `timeout_ms` 0 takes the profile's timeout. Without a configured
    // device a submission finishes at once with no_device.
    TransferId submit_control(const SetupPacket& setup, std::span<const uint8_t> data = {},
                              uint32_t timeout_ms = 0);
    // Endpoint addresses carry the direction (0x82 = EP2 IN). `interval`:
    // frames between polls of an interrupt endpoint.
    TransferId submit_in(TransferType type, uint8_t endpoint, size_t length, uint8_t interval = 1,
                         uint32_t timeout_ms = 0);
    TransferId submit_out(TransferType type, uint8_t endpoint, std::span<const uint8_t> data,
                          uint8_t interval = 1, uint32_t timeout_ms = 0);

    bool finished(TransferId id) const;
    // Runs the bus until the transfer is over, returns its result and forgets it.
    TransferResult complete(TransferId id);
    void cancel(TransferId id);

    // Blocking forms: submit and complete.
    TransferResult control(const SetupPacket& setup, std::span<const uint8_t> data = {});
    TransferResult bulk_in(uint8_t endpoint, size_t length);
    TransferResult bulk_out(uint8_t endpoint, std::span<const uint8_t> data);
    TransferResult interrupt_in(uint8_t endpoint, size_t length, uint8_t interval);
    TransferResult interrupt_out(uint8_t endpoint, std::span<const uint8_t> data, uint8_t interval);

    // CLEAR_FEATURE(ENDPOINT_HALT) to the endpoint; the host's side of the
    // endpoint (its halt and its data toggle) is reset whatever the answer.
    TransferResult clear_halt(uint8_t endpoint);

    // The host's side of an endpoint: the PID of its next packet, and
    // whether a STALL has halted it.
    usb::DataPid toggle(uint8_t endpoint) const;
    bool halted(uint8_t endpoint) const;

private:
    struct Transfer;
    enum class Bus : uint8_t { running, suspended, resuming };

    // host.cpp
    usb::clock_t ms_to_clocks(uint32_t ms) const { return usb::clocks_per_ms * ms; }
    usb::clock_t instant_time(uint64_t frame, uint32_t slot) const;
    void run_to(usb::clock_t clock);
    void step();
    void frame_start(uint64_t frame);
    void port_housekeeping();
    void notice_detach();
    void start_reset();
    void start_resume();
    void emit(HostEvent::Kind kind, std::string detail = {});
    bool port_enabled() const;
    void enumeration_next();
    void enumeration_done(const TransferResult& result);
    void enumeration_fail(const std::string& why);

    // transfers.cpp
    TransferId submit(std::unique_ptr<Transfer> transfer);
    TransferId submit_internal(const SetupPacket& setup, uint8_t address);
    bool slot_transaction(uint64_t frame, usb::clock_t time);
    Transfer* pick(uint64_t frame);
    bool ready(const Transfer& t) const;
    void transact_control(Transfer& t);
    void transact_in(Transfer& t);
    void transact_out(Transfer& t);
    bool answered(Transfer& t, usb::Handshake handshake);
    void finish(Transfer& t, Status status);
    void report(const Transfer& t, bool completion) const;
    void sweep();
    void fail_all(Status status, bool internal_too);
    void check_deadlines();
    void control_done(const SetupPacket& setup);
    void reset_endpoint(uint8_t endpoint);
    void reset_all_endpoints();

    usb::Device& dev_;
    TimingProfile profile_;
    std::function<void(const HostEvent&)> observer_;
    TransferObserver* transfer_observer_ = nullptr;

    // Time: frame f starts (SOF) at origin_ + f ms; its slots s = 1..slots
    // follow at s / (slots + 1) ms.
    usb::clock_t origin_ = 0;
    usb::clock_t now_ = 0;
    uint32_t instants_per_frame_ = 20;
    uint64_t next_frame_ = 0;  // the next instant to process: its frame and slot (0: SOF)
    uint32_t next_slot_ = 0;
    uint64_t frame_ = 0;       // the frame of the last frame start processed

    // The port.
    PortState port_ = PortState::disconnected;
    Bus bus_ = Bus::running;
    usb::clock_t debounce_since_ = 0;
    usb::clock_t port_until_ = 0;        // end of the reset, then of the recovery
    usb::clock_t resume_end_ = 0;
    usb::clock_t quiet_until_ = 0;       // no transfers before (resume recovery)
    uint64_t sofs_ = 0;
    uint8_t address_ = 0;
    uint8_t ep0_max_ = usb::max_packet;

    // Enumeration.
    int enum_step_ = 0;
    uint32_t enum_attempt_ = 0;
    usb::clock_t enum_next_at_ = 0;
    TransferId enum_transfer_ = 0;
    bool keep_identity_ = false;
    uint64_t last_id_ = 0;
    std::unique_ptr<EnumeratedDevice> device_;
    std::unique_ptr<EnumeratedDevice> found_;  // being enumerated
    std::string enumeration_error_;

    // Transfers, in submission order; finished results until collected.
    std::vector<std::unique_ptr<Transfer>> active_;
    std::map<TransferId, TransferResult> done_;
    TransferId next_id_ = 1;
    TransferId last_served_ = 0;  // round robin among control and bulk
    std::map<uint8_t, usb::DataPid> toggles_;
    std::set<uint8_t> halted_;
};

}  // namespace vboard::host
