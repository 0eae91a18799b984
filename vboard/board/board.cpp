// The board: parts, power-on, firmware loading, fill marks and time.
#include "board/board.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "controller/regs.h"
#include "cpu/image.h"

namespace vboard::board {

std::string check_settings(const Settings& settings) {
    char msg[96];
    if (settings.bare_string1.size() > controller::max_bare_string) {
        std::snprintf(msg, sizeof msg, "bare string 1 is longer than %zu characters", controller::max_bare_string);
        return msg;
    }
    if (settings.bare_string2.size() > controller::max_bare_string) {
        std::snprintf(msg, sizeof msg, "bare string 2 is longer than %zu characters", controller::max_bare_string);
        return msg;
    }
    return {};
}

Board::Board(const Settings& settings)
    : settings_(settings),
      cpu_(&diag_),
      socket_(),
      controller_(cpu_, &socket_, &diag_) {
    if (settings_.card) {
        card::Card card(*settings_.card);
        card.set_faults(settings_.card_faults);
        socket_.insert(std::move(card));
    }
    // The card keeps its busy times on the core's clock: 4 clocks of 1/24 us a cycle.
    if (settings_.card_busy_times)
        socket_.set_clock([](const void* ctx) {
            return static_cast<const Board*>(ctx)->cpu_.cycles() * clocks_per_cycle * 1000 / 24;
        }, this);
    socket_.set_early_read_hook([](void* ctx) {
        Board& b = *static_cast<Board*>(ctx);
        if (b.diag_.wants_text(FindingKind::card_early_read))
            b.diag_.report(FindingKind::card_early_read, b.cpu_.pc(), b.cpu_.cycles(),
                           "read strobe while the card was still loading the page: its byte is not the page's");
    }, this);
    controller::Settings c;
    c.cpucs_slow = settings_.cpucs_slow;
    c.bare_strings_stalled = settings_.bare_strings_stalled;
    c.bare_string1 = settings_.bare_string1;
    c.bare_string2 = settings_.bare_string2;
    controller_.set_settings(c);
    controller_.set_hold_hook(on_hold, this);
    if (coverage::Collection* into = settings_.coverage ? settings_.coverage : coverage::environment_collection())
        coverage_ = std::make_unique<coverage::Recorder>(cpu_, *into);
    power_cycle();
}

Board::~Board() { controller_.set_hold_hook(nullptr, nullptr); }

void Board::power_cycle() {
    if (card::Card* card = socket_.card()) {
        if (settings_.card_busy_times) card->set_time(now() * 1000 / 24);
        card->power_off();
    }
    if (coverage_) coverage_->stop();
    cpu_.power_on(settings_.seed);
    controller_.power_on(settings_.seed);
    mark_fill();
}

bool Board::load_card_image(const std::string& path, std::string& error) {
    card::Card* card = socket_.card();
    if (!card) {
        error = "no card in the socket to load " + path + " into";
        return false;
    }
    return card->load_image(path, error);
}

// ---- firmware -----------------------------------------------------------------------------

namespace {

bool check_ranges(const std::vector<ImageRange>& ranges, const std::string& name, std::string& error) {
    for (const ImageRange& r : ranges) {
        if (r.end > controller::ram_size) {
            char msg[64];
            std::snprintf(msg, sizeof msg, "0x%04X", static_cast<unsigned>(std::max<std::uint32_t>(r.begin, controller::ram_size)));
            error = "firmware image " + name + ": byte at " + msg + " lies outside the on-chip RAM (0x0000-0x1FFF)";
            return false;
        }
    }
    return true;
}

}  // namespace

bool Board::load_firmware(const std::string& path, std::string& error) {
    auto image = std::make_unique<std::uint8_t[]>(0x10000);
    std::vector<ImageRange> ranges;
    if (!load_image(path, image.get(), &ranges, &error)) return false;
    if (!check_ranges(ranges, path, error)) return false;
    controller_.loader_write(controller::reg::CPUCS, 0x01);
    for (const ImageRange& r : ranges)
        for (std::uint32_t a = r.begin; a < r.end; ++a) controller_.loader_write(static_cast<std::uint16_t>(a), image[a]);
    controller_.loader_write(controller::reg::CPUCS, 0x00);
    return true;
}

bool Board::load_firmware_bytes(std::span<const std::uint8_t> image, std::string& error) {
    if (image.size() > controller::ram_size) {
        char msg[96];
        std::snprintf(msg, sizeof msg, "firmware image of %zu bytes does not fit the on-chip RAM (8,192 bytes)",
                      image.size());
        error = msg;
        return false;
    }
    controller_.loader_write(controller::reg::CPUCS, 0x01);
    for (std::size_t a = 0; a < image.size(); ++a) controller_.loader_write(static_cast<std::uint16_t>(a), image[a]);
    controller_.loader_write(controller::reg::CPUCS, 0x00);
    return true;
}

// The loader holds the 8051: the image that ran is done; it releases it:
// a new image starts.
void Board::on_hold(void* ctx, bool held) {
    auto* board = static_cast<Board*>(ctx);
    if (held) {
        if (board->coverage_) board->coverage_->stop();
        return;
    }
    board->mark_fill();
    if (board->coverage_) board->coverage_->start(board->controller_.ram());
}

// Code the core must never execute: everything above the RAM (no memory
// there) and, once an image has been loaded, the RAM bytes the image did not
// fill plus the image's own runs of the fill byte 0xAA. A run's first two
// bytes are left unmarked: they may still be the operands of the
// instruction before the run (or a 2-byte instruction that starts it).
void Board::mark_fill() {
    cpu_.mark_fill(0, 0x10000, false);
    cpu_.mark_fill(controller::ram_size, 0x10000 - controller::ram_size, true);
    const auto& loaded = controller_.loaded();
    if (loaded.none()) return;
    const std::uint8_t* ram = controller_.ram();
    std::uint32_t a = 0;
    while (a < controller::ram_size) {
        if (!loaded[a]) {
            cpu_.mark_fill(static_cast<std::uint16_t>(a), 1);
            ++a;
            continue;
        }
        if (ram[a] != 0xAA) {
            ++a;
            continue;
        }
        std::uint32_t end = a;
        while (end < controller::ram_size && loaded[end] && ram[end] == 0xAA) ++end;
        if (end - a >= fill_run_min) cpu_.mark_fill(static_cast<std::uint16_t>(a + 2), end - a - 2);
        a = end;
    }
}

usb::Handshake Board::out(std::uint8_t address, std::uint8_t endpoint, usb::DataPid pid,
                          std::span<const std::uint8_t> data) {
    const usb::Handshake h = controller_.out(address, endpoint, pid, data);
    if (h == usb::Handshake::ack && endpoint == 1) stream_short_open_ = false;
    if (h == usb::Handshake::ack && endpoint == 2) {
        if (stream_short_open_) ++stream_after_short_;
        stream_short_open_ = data.size() < usb::max_packet;
    }
    return h;
}

void Board::press_wakeup() {
    controller_.set_wakeup_pin(false);
    controller_.set_wakeup_pin(true);
}

std::optional<card::Card> Board::take_pulled_card() {
    std::optional<card::Card> card = std::move(pulled_);
    pulled_.reset();
    return card;
}

// ---- snapshots -------------------------------------------------------------------------------

Board::Snapshot Board::snapshot() const {
    return Snapshot{cpu_.save_state(), controller_.save_state(), socket_, diag_};
}

void Board::restore(const Snapshot& snapshot) {
    cpu_.restore_state(snapshot.cpu);
    controller_.restore_state(snapshot.controller);
    socket_ = snapshot.socket;
    diag_ = snapshot.diagnostics;
}

// ---- time ------------------------------------------------------------------------------------

usb::clock_t Board::now() const { return cpu_.cycles() * clocks_per_cycle; }

void Board::run_until(usb::clock_t clock) { run_slices(clock, false); }

void Board::run_for_ms(double ms) {
    run_until(now() + static_cast<usb::clock_t>(ms * static_cast<double>(usb::clocks_per_ms)));
}

bool Board::run_to_breakpoint(usb::clock_t clock) { return run_slices(clock, true); }

// The core runs in slices that end at the controller's next timed event;
// the event is handled at the slice's end (the instruction that crosses
// the instant completes first, as on the chip, where the core does not stop).
bool Board::run_slices(usb::clock_t clock, bool stop_at_breakpoint) {
    for (;;) {
        controller_.advance();
        const usb::clock_t t = now();
        if (pull_at_ && t >= *pull_at_) {
            pull_at_.reset();
            if (std::optional<card::Card> card = socket_.remove()) pulled_ = std::move(card);
        }
        if (t >= clock) return false;
        usb::clock_t next = std::min(clock, controller_.next_event());
        if (pull_at_) next = std::min(next, *pull_at_);
        if (next <= t) next = t + 1;
        const std::uint64_t target = (next + clocks_per_cycle - 1) / clocks_per_cycle;
        const StopReason r = cpu_.run(target);
        if (r == StopReason::breakpoint && stop_at_breakpoint) {
            controller_.advance();
            return true;
        }
    }
}

}  // namespace vboard::board
