// Ports A, B, C and the fast-transfer unit: registers, pin levels, the
// autopointer and the FWR#/FRD# strobes.
#include "controller/ports.h"

#include <cstdio>
#include <cstring>
#include <ostream>

#include "card/card.h"
#include "controller/observer.h"
#include "cpu/cpu.h"
#include "cpu/sfr.h"

namespace vboard::controller {

namespace {

// What the board presents on each undriven pin.
constexpr std::uint8_t outside_a = 0xFF;  // unconnected, pull-ups
constexpr std::uint8_t outside_b = 0xFF;  // unconnected, pull-ups
// Port C: PC0 (CLE) and PC1 (ALE) pulled down, PC2 (CE#) pulled up, PC3 the
// card-present line (added below), PC4..PC7 unconnected with pull-ups.
constexpr std::uint8_t outside_c_empty = 0xF4;
constexpr std::uint8_t card_present_pin = 0x08;

constexpr std::uint8_t pin_levels(std::uint8_t out, std::uint8_t oe, std::uint8_t outside) {
    return static_cast<std::uint8_t>((out & oe) | (outside & ~oe));
}

}  // namespace

// ---- set-up ---------------------------------------------------------------------

Ports::State Ports::save_state() const {
    State s;
    std::memcpy(s.cfg, cfg_, sizeof cfg_);
    std::memcpy(s.out, out_, sizeof out_);
    std::memcpy(s.oe, oe_, sizeof oe_);
    s.fastxfr = fastxfr_;
    s.autoptr = autoptr_;
    s.recording = recording_;
    s.record_limit = record_limit_;
    s.dropped = dropped_;
    s.events = events_;
    return s;
}

void Ports::restore_state(const State& s) {
    std::memcpy(cfg_, s.cfg, sizeof cfg_);
    std::memcpy(out_, s.out, sizeof out_);
    std::memcpy(oe_, s.oe, sizeof oe_);
    fastxfr_ = s.fastxfr;
    autoptr_ = s.autoptr;
    recording_ = s.recording;
    record_limit_ = s.record_limit;
    dropped_ = s.dropped;
    events_ = s.events;
}

void Ports::set_memory(MemRead read, MemWrite write, void* ctx) {
    mem_read_ = read;
    mem_write_ = write;
    mem_ctx_ = ctx;
}

void Ports::set_socket(card::Socket* socket) {
    socket_ = socket;
    update_socket();
}

void Ports::reset() {
    for (int i = 0; i < 3; ++i) cfg_[i] = out_[i] = oe_[i] = 0;
    fastxfr_ = 0;
    autoptr_ = 0;
    update_socket();
    if (observer_) pins_changed();
}

void Ports::set_observer(Observer* observer) {
    observer_ = observer;
    shown_a_ = pins_a();
    shown_c_ = pins_c();
}

// ---- register access --------------------------------------------------------------

std::uint8_t Ports::read(std::uint16_t addr) {
    switch (addr) {
    case PORTACFG: case PORTBCFG: case PORTCCFG: return cfg_[addr - PORTACFG];
    case OUTA: case OUTB: case OUTC: return out_[addr - OUTA];
    case OEA: case OEB: case OEC: return oe_[addr - OEA];
    case PINSA: return pins_a();
    case PINSB: return pins_b();
    case PINSC: return pins_c();
    case FASTXFR: return fastxfr_;
    case AUTOPTRH: return static_cast<std::uint8_t>(autoptr_ >> 8);
    case AUTOPTRL: return static_cast<std::uint8_t>(autoptr_);
    case AUTODATA: return autodata_read();
    default: return 0xFF;  // not ours: the controller never forwards it
    }
}

void Ports::write(std::uint16_t addr, std::uint8_t value) {
    switch (addr) {
    case PORTACFG: case PORTBCFG: case PORTCCFG: cfg_[addr - PORTACFG] = value; break;
    case OUTA: case OUTB: out_[addr - OUTA] = value; break;
    case OEA: case OEB: oe_[addr - OEA] = value; break;
    case OUTC:
        out_[2] = value;
        note(BusEvent::Kind::outc, value);
        update_socket();
        break;
    case OEC:
        oe_[2] = value;
        note(BusEvent::Kind::oec, value);
        update_socket();
        break;
    case FASTXFR: fastxfr_ = value; break;
    case AUTOPTRH: autoptr_ = static_cast<std::uint16_t>((autoptr_ & 0x00FF) | value << 8); return;
    case AUTOPTRL: autoptr_ = static_cast<std::uint16_t>((autoptr_ & 0xFF00) | value); return;
    case AUTODATA: autodata_write(value); return;
    default: return;  // PINSx are read-only
    }
    if (observer_) pins_changed();
}

// ---- pins ---------------------------------------------------------------------------

std::uint8_t Ports::pins_a() const {
    std::uint8_t level = pin_levels(out_[0], oe_[0], outside_a);
    // A routed strobe owns its pin and rests at its inactive level: high for
    // an active-low strobe, low for an active-high one.
    if (cfg_[0] & bmFWR) level = static_cast<std::uint8_t>((level & ~bmFWR) | (fastxfr_ & bmWPOL ? 0 : bmFWR));
    if (cfg_[0] & bmFRD) level = static_cast<std::uint8_t>((level & ~bmFRD) | (fastxfr_ & bmRPOL ? 0 : bmFRD));
    return level;
}

std::uint8_t Ports::pins_b() const { return pin_levels(out_[1], oe_[1], outside_b); }

std::uint8_t Ports::pins_c() const {
    const bool card = socket_ && socket_->card_present();
    const std::uint8_t outside = static_cast<std::uint8_t>(outside_c_empty | (card ? card_present_pin : 0));
    return pin_levels(out_[2], oe_[2], outside);
}

void Ports::update_socket() {
    if (!socket_) return;
    const std::uint8_t pins = pins_c();
    socket_->set_cle((pins & 0x01) != 0);
    socket_->set_ale((pins & 0x02) != 0);
    socket_->set_ce_n((pins & 0x04) != 0);
}

// ---- fast transfers --------------------------------------------------------------------

std::uint8_t Ports::strobe_width() const {
    const unsigned md = core_ ? core_->sfr(sfr::CKCON) & sfr::CKCON_MD : 1;
    return static_cast<std::uint8_t>(md == 0 ? 2 : 4 * md);
}

std::uint8_t Ports::mem_read(std::uint16_t addr) const {
    return mem_read_ ? mem_read_(mem_ctx_, addr) : bus_pullups;
}

void Ports::mem_write(std::uint16_t addr, std::uint8_t value) {
    if (mem_write_) mem_write_(mem_ctx_, addr, value);
}

// A read of AUTODATA: the byte at the autopointer; in fast bulk mode it also
// goes out on D7..D0 with one FWR# pulse, if PA4 carries FWR#.
std::uint8_t Ports::autodata_read() {
    const std::uint8_t byte = mem_read(autoptr_);
    if ((fastxfr_ & bmFBLK) && (cfg_[0] & bmFWR)) {
        note(BusEvent::Kind::fwr, byte, strobe_width(),
             static_cast<std::uint8_t>(fastxfr_ & (bmWPOL | bmWMOD)));
        if (socket_) socket_->write_strobe(byte);
        if (observer_) pulse(true, byte, true);
    }
    ++autoptr_;
    return byte;
}

// A write of AUTODATA: stores the written value, or in fast bulk mode the
// byte on D7..D0 during one FRD# pulse. Without FRD# on PA5 the card sees no
// strobe and drives nothing, so the pull-ups' 0xFF is stored.
void Ports::autodata_write(std::uint8_t value) {
    std::uint8_t byte = value;
    if (fastxfr_ & bmFBLK) {
        byte = bus_pullups;
        if (cfg_[0] & bmFRD) {
            const std::optional<std::uint8_t> driven = socket_ ? socket_->read_strobe() : std::nullopt;
            byte = driven.value_or(bus_pullups);
            note(BusEvent::Kind::frd, byte, strobe_width(),
                 static_cast<std::uint8_t>((fastxfr_ & (bmRPOL | bmRMOD)) >> 3));
            if (observer_) pulse(false, byte, driven.has_value());
        }
    }
    mem_write(autoptr_, byte);
    ++autoptr_;
}

// ---- event record ----------------------------------------------------------------------

void Ports::record(bool on, std::size_t limit) {
    recording_ = on;
    record_limit_ = limit;
}

void Ports::clear_events() {
    events_.clear();
    dropped_ = 0;
}

void Ports::note(BusEvent::Kind kind, std::uint8_t value, std::uint8_t width, std::uint8_t shape) {
    if (!recording_) return;
    if (events_.size() >= record_limit_) {
        ++dropped_;
        return;
    }
    events_.push_back({kind, value, core_ ? core_->cycles() : 0, width, shape});
}

// ---- observer --------------------------------------------------------------------------

void Ports::pins_changed() {
    const std::uint8_t a = pins_a(), c = pins_c();
    if (a == shown_a_ && c == shown_c_) return;
    shown_a_ = a;
    shown_c_ = c;
    observer_->pins(core_ ? core_->cycles() * clocks_per_cycle : 0, a, c);
}

void Ports::pulse(bool write, std::uint8_t bus, bool driven) {
    const usb::clock_t start = core_ ? (core_->cycles() + 1) * clocks_per_cycle : 0;
    observer_->strobe(start, strobe_width(), write, bus, driven);
}

std::string to_string(const BusEvent& event) {
    const char* name = "oec";
    switch (event.kind) {
    case BusEvent::Kind::oec: name = "oec"; break;
    case BusEvent::Kind::outc: name = "outc"; break;
    case BusEvent::Kind::fwr: name = "fwr"; break;
    case BusEvent::Kind::frd: name = "frd"; break;
    }
    char text[16];
    std::snprintf(text, sizeof text, "%s %02x", name, event.value);
    return text;
}

std::ostream& operator<<(std::ostream& out, const BusEvent& event) { return out << to_string(event); }

}  // namespace vboard::controller
