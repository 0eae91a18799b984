// The bus side: attach and detach through USBCS, bus reset, SOF, suspend
// detection, bus resume, the WAKEUP# pin and resume signalling.
#include <limits>

#include "controller/controller.h"
#include "controller/observer.h"
#include "controller/regs.h"
#include "cpu/cpu.h"

namespace vboard::controller {

usb::clock_t Controller::now() const { return cpu_.cycles() * clocks_per_cycle; }

// On the bus while the disconnect pin is driven (DISCOE) with DISCON clear.
bool Controller::attached() const { return (usbcs_ & (reg::bmDISCON | reg::bmDISCOE)) == reg::bmDISCOE; }

bool Controller::signalling_resume() const { return attached() && (usbcs_ & reg::bmSIGRSUME); }

// USBCS: bit 7 WAKESRC (write 1 to clear), bit 3 DISCON, bit 2 DISCOE, bit 1
// RENUM, bit 0 SIGRSUME.
void Controller::usbcs_write(std::uint8_t value) {
    const bool was = attached();
    std::uint8_t next = static_cast<std::uint8_t>((usbcs_ & reg::bmWAKESRC) | (value & 0x0F));
    if (value & reg::bmWAKESRC) next &= static_cast<std::uint8_t>(~reg::bmWAKESRC);
    usbcs_ = next;
    if (attached() != was) attach_changed(!was);
}

// Leaving or rejoining the bus: the host sees a new device, at address 0,
// with no transfer in progress and no suspend state.
void Controller::attach_changed(bool now_attached) {
    fnaddr_ = 0;
    ctl_ = Control{};
    suspended_ = false;
    detector_armed_ = false;
    pin_woke_ = false;
    bare_configuration_ = 0;
    bare_alt_setting_ = 0;
    if (now_attached) reset_endpoints();
    if (observer_) observer_->attach(now(), now_attached);
}

// Bus activity (SOF or a token addressed to anyone): ends a suspension the
// host did not resume first, and restarts the suspend timer. The host's
// resume after a WAKEUP# wake-up wakes the 8051 again: the bus was
// suspended until then, and firmware that ignores the pin idles again.
void Controller::bus_activity() {
    if (suspended_ || pin_woke_) {
        suspended_ = false;
        pin_woke_ = false;
        raise_resume();
    }
    detector_armed_ = true;
    idle_since_ = now();
}

// Onset of SE0 for 10 ms or more. The 8051 is not reset.
void Controller::bus_reset() {
    if (!attached()) return;
    if (suspended_ || pin_woke_) {
        suspended_ = false;
        pin_woke_ = false;
        raise_resume();
    }
    detector_armed_ = false;  // no SOF during the reset; the timer starts again with the first
    fnaddr_ = 0;
    ctl_ = Control{};
    bare_configuration_ = 0;
    bare_alt_setting_ = 0;
    reset_endpoints();
    raise_usb(reg::bmURES);
}

void Controller::start_of_frame(std::uint16_t frame) {
    if (!attached()) return;
    bus_activity();
    frame_ = frame & 0x07FF;
    raise_usb(reg::bmSOF);
}

// The host's resume signalling has ended.
void Controller::resume() {
    if (!attached()) return;
    bus_activity();
}

// A falling edge on WAKEUP# wakes the controller and records the pin as the
// wake-up source. Suspend is detected again once the bus is active again;
// the host's resume that ends the bus's suspension wakes the 8051 once more.
void Controller::set_wakeup_pin(bool high) {
    const bool falling = wakeup_pin_ && !high;
    wakeup_pin_ = high;
    if (!falling) return;
    usbcs_ |= reg::bmWAKESRC;
    pin_woke_ = pin_woke_ || suspended_;
    suspended_ = false;
    detector_armed_ = false;
    raise_resume();
}

usb::clock_t Controller::next_event() const {
    if (detector_armed_ && !suspended_ && attached()) return idle_since_ + suspend_after;
    return std::numeric_limits<usb::clock_t>::max();
}

void Controller::advance() {
    if (!detector_armed_ || suspended_ || !attached()) return;
    if (now() < idle_since_ + suspend_after) return;
    suspended_ = true;
    detector_armed_ = false;
    raise_usb(reg::bmSUSP);
}

}  // namespace vboard::controller
