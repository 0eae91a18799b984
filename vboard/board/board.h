// The virtual board: the 8051 core, the USB controller with its ports, the
// card socket and the diagnostics sink, on one 24 MHz clock, seen from the
// USB cable as a usb::Device.
//
// Time is the core's: the board's clock is the core's cycle counter times
// its 4 clocks per cycle. run_until() runs the core in slices up to the next
// event the controller times itself (the 3 ms suspend detection), so that
// such events happen at their instant whatever the host does.
//
// README.md beside this file lists the board's decisions (power-on, the
// pins, which bytes count as fill).
//
// Index of the component:
//   board.cpp   set-up, power-on, firmware loading, time, the USB side, snapshots
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "card/card.h"
#include "controller/controller.h"
#include "coverage/coverage.h"
#include "cpu/cpu.h"
#include "diag/diagnostics.h"
#include "usb/device.h"

namespace vboard::board {

struct Settings {
    std::uint64_t seed = 1;                             // power-on pattern of RAM and IRAM
    bool cpucs_slow = false;                            // CPUCS bit 3 reads 1
    bool bare_strings_stalled = false;                  // the default device stalls strings 1 and 2 ...
    std::string bare_string1;                           // ... or answers them with these texts
    std::string bare_string2;
    std::optional<card::CardIdentity> card = card::CardIdentity{};  // nothing: the socket is empty
    bool card_busy_times = true;  // false: every card operation finishes at once (stream-path tests
                                  // that read straight across page boundaries)
    card::CardFaults card_faults;  // programs and erases the card fails; the seed of its random choices
    // Firmware coverage: the counts go here (see coverage/coverage.h); when
    // null, to the process's collection if NEBU_COVERAGE_DIR asks for one,
    // else nothing is counted.
    coverage::Collection* coverage = nullptr;
};

// One line naming the first setting the board cannot take, or empty.
std::string check_settings(const Settings& settings);

// Runs of at least this many 0xAA bytes in a loaded image are fill.
inline constexpr std::size_t fill_run_min = 8;

class Board final : public usb::Device {
public:
    // Powers on: the 8051 held in reset, the board on the bus as the bare
    // controller, the card (if any) in its socket, erased. Settings that
    // check_settings() refuses are clamped (texts cut to their limit).
    explicit Board(const Settings& settings = {});
    ~Board() override;
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    const Settings& settings() const { return settings_; }

    // ---- power and loading ----------------------------------------------------------
    // Power cycle: fresh power-on pattern (the settings' seed), registers to
    // their power-on values, the 8051 held, the card back to its power-on
    // state with its contents kept (a program or erase it was busy with is
    // left half done: Card::power_off). The clock runs on.
    void power_cycle();
    // Fills the card from an image file (raw pages); false with a one-line
    // error when it cannot (no card, unreadable, too large).
    bool load_card_image(const std::string& path, std::string& error);
    // Loads a firmware image as the loader would: holds the 8051, writes the
    // image into RAM, releases the 8051 (it starts at 0x0000 when time next
    // runs). Intel HEX or raw binary at 0. False with a one-line error, the
    // board untouched, when the file is unreadable or has bytes outside the
    // on-chip RAM.
    bool load_firmware(const std::string& path, std::string& error);
    bool load_firmware_bytes(std::span<const std::uint8_t> image, std::string& error);

    // ---- pins ---------------------------------------------------------------------------
    // WAKEUP# (idles high); a falling edge wakes the controller.
    void set_wakeup_pin(bool high) { controller_.set_wakeup_pin(high); }
    // Pulls WAKEUP# low and releases it.
    void press_wakeup();

    // ---- time ---------------------------------------------------------------------------
    usb::clock_t now() const override;
    void run_until(usb::clock_t clock) override;
    void run_for_ms(double ms);
    // Runs until the core stops at one of its breakpoints or `clock` is
    // reached; true at a breakpoint (the instruction there has not run).
    bool run_to_breakpoint(usb::clock_t clock);

    // ---- pulling the card ------------------------------------------------------------------
    // The card is pulled from the socket at the first instruction boundary at
    // or after `clock` while time runs (run_until and friends stop there), as
    // a user's hand would, whatever the firmware or host is doing. A program
    // or erase it is busy with is left half done, seeded (Card::power_off);
    // the card is kept for take_pulled_card(). A later call replaces the
    // instant; nothing happens when the socket is empty by then.
    //
    // An interruption test in process:
    //   board.pull_card_at(board.now() + offset);   // an instant inside the operation
    //   ... let the tool run: it sees the card gone ...
    //   std::optional<card::Card> card = board.take_pulled_card();
    //   board.socket().insert(std::move(*card));    // back in, as at power-on
    //   (or card->save_image(path, error), or card->page(n) to look at it)
    void pull_card_at(usb::clock_t clock) { pull_at_ = clock; }
    // The card pulled by pull_card_at, once; nothing before the instant.
    std::optional<card::Card> take_pulled_card();
    // ---- coverage ---------------------------------------------------------------------------
    // Hands the coverage counted so far to the settings' collection (nothing
    // when coverage is off); the board hands them over itself when the
    // loader holds the 8051, at a power cycle and when it goes.
    void hand_over_coverage() {
        if (coverage_) coverage_->hand_over();
    }

    // ---- the USB side ---------------------------------------------------------------------
    bool attached() const override { return controller_.attached(); }
    bool signalling_resume() const override { return controller_.signalling_resume(); }
    void bus_reset() override { controller_.bus_reset(); }
    void start_of_frame(std::uint16_t frame) override { controller_.start_of_frame(frame); }
    void resume() override { controller_.resume(); }
    usb::Handshake setup(std::uint8_t address, const std::array<std::uint8_t, 8>& request) override {
        return controller_.setup(address, request);
    }
    usb::InPacket in(std::uint8_t address, std::uint8_t endpoint) override {
        return controller_.in(address, endpoint);
    }
    usb::Handshake out(std::uint8_t address, std::uint8_t endpoint, usb::DataPid pid,
                       std::span<const std::uint8_t> data) override;
    // The stream contract, watched for every host: stream packets (EP2 OUT)
    // taken after a short one with no script (EP1 OUT) between, that is a
    // host-to-bus stream written in pieces that are not whole packets. A
    // measurement since power-on, not part of a snapshot.
    std::uint64_t stream_packets_after_short() const { return stream_after_short_; }

    // ---- snapshots ------------------------------------------------------------------------------
    // The whole board's state at one instant: core, controller (with the
    // ports), socket and card, diagnostics. restore() puts a snapshot of
    // this board back; the board then runs on exactly as it did from that
    // instant. Callbacks the caller has set (traces, breakpoints' owners)
    // are not part of it.
    struct Snapshot {
        Cpu::State cpu;
        controller::Controller::State controller;
        card::Socket socket;
        Diagnostics diagnostics;
    };
    Snapshot snapshot() const;
    void restore(const Snapshot& snapshot);

    // ---- the parts, for tests and the board's command -------------------------------------------
    Cpu& cpu() { return cpu_; }
    controller::Controller& controller() { return controller_; }
    const controller::Controller& controller() const { return controller_; }
    controller::Ports& ports() { return controller_.ports(); }
    card::Socket& socket() { return socket_; }
    Diagnostics& diagnostics() { return diag_; }
    const Diagnostics& diagnostics() const { return diag_; }

private:
    static void on_hold(void* ctx, bool held);
    void mark_fill();
    bool run_slices(usb::clock_t clock, bool stop_at_breakpoint);

    Settings settings_;
    Diagnostics diag_;
    Cpu cpu_;
    card::Socket socket_;
    controller::Controller controller_;
    std::optional<usb::clock_t> pull_at_;
    std::optional<card::Card> pulled_;
    std::unique_ptr<coverage::Recorder> coverage_;  // after the core and the RAM it reads
    bool stream_short_open_ = false;  // the last stream packet was short, no script since
    std::uint64_t stream_after_short_ = 0;
};

}  // namespace vboard::board
