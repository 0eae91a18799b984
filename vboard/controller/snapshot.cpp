// Snapshots of the controller: its state copied out and back, the wiring
// to the core and the socket left as it is.
#include <cstring>

#include "controller/controller.h"

namespace vboard::controller {

Controller::State Controller::save_state() const {
    State s;
    s.ram.assign(code_.get(), code_.get() + ram_size);
    std::memcpy(s.buffers, buffers_, sizeof buffers_);
    s.loaded = loaded_;
    for (int n = 0; n < 8; ++n) {
        s.in[n] = in_[n];
        s.out[n] = out_[n];
    }
    for (int slot = 0; slot < 16; ++slot) {
        const SlotOwner& o = owner_[slot];
        s.owner_ep[slot] = static_cast<std::int8_t>(!o.ep ? -1 : o.ep->is_in ? o.ep->number : 8 + o.ep->number);
        s.owner_index[slot] = o.index;
    }
    s.cpu_held = cpu_held_;
    s.cpucs = cpucs_;
    s.usbcs = usbcs_;
    s.usbirq = usbirq_;
    std::memcpy(s.in_irq, in_irq_, sizeof in_irq_);
    std::memcpy(s.out_irq, out_irq_, sizeof out_irq_);
    s.in07ien = in07ien_;
    s.out07ien = out07ien_;
    s.usbien = usbien_;
    s.usbbav = usbbav_;
    s.in07val = in07val_;
    s.out07val = out07val_;
    s.usbpair = usbpair_;
    s.togctl = togctl_;
    s.sudptrh = sudptrh_;
    s.sudptrl = sudptrl_;
    s.fnaddr = fnaddr_;
    s.frame = frame_;
    s.setupdat = setupdat_;
    s.hsnak = hsnak_;
    s.ep0stall = ep0stall_;
    s.ctl = ctl_;
    s.line = line_;
    s.streak_offset = streak_offset_;
    s.streak = streak_;
    s.reported_recurrence = reported_recurrence_;
    s.suspended = suspended_;
    s.detector_armed = detector_armed_;
    s.pin_woke = pin_woke_;
    s.idle_since = idle_since_;
    s.wakeup_pin = wakeup_pin_;
    s.bare_configuration = bare_configuration_;
    s.bare_alt_setting = bare_alt_setting_;
    s.ports = ports_.save_state();
    return s;
}

void Controller::restore_state(const State& s) {
    if (s.ram.size() == ram_size) std::memcpy(code_.get(), s.ram.data(), ram_size);
    std::memcpy(buffers_, s.buffers, sizeof buffers_);
    loaded_ = s.loaded;
    for (int n = 0; n < 8; ++n) {
        in_[n] = s.in[n];
        out_[n] = s.out[n];
    }
    for (int slot = 0; slot < 16; ++slot) {
        const int e = s.owner_ep[slot];
        owner_[slot] = SlotOwner{e < 0 ? nullptr : e < 8 ? &in_[e] : &out_[e - 8], s.owner_index[slot]};
    }
    cpu_held_ = s.cpu_held;
    cpucs_ = s.cpucs;
    usbcs_ = s.usbcs;
    usbirq_ = s.usbirq;
    std::memcpy(in_irq_, s.in_irq, sizeof in_irq_);
    std::memcpy(out_irq_, s.out_irq, sizeof out_irq_);
    in07ien_ = s.in07ien;
    out07ien_ = s.out07ien;
    usbien_ = s.usbien;
    usbbav_ = s.usbbav;
    in07val_ = s.in07val;
    out07val_ = s.out07val;
    usbpair_ = s.usbpair;
    togctl_ = s.togctl;
    sudptrh_ = s.sudptrh;
    sudptrl_ = s.sudptrl;
    fnaddr_ = s.fnaddr;
    frame_ = s.frame;
    setupdat_ = s.setupdat;
    hsnak_ = s.hsnak;
    ep0stall_ = s.ep0stall;
    ctl_ = s.ctl;
    line_ = s.line;
    streak_offset_ = s.streak_offset;
    streak_ = s.streak;
    reported_recurrence_ = s.reported_recurrence;
    suspended_ = s.suspended;
    detector_armed_ = s.detector_armed;
    pin_woke_ = s.pin_woke;
    idle_since_ = s.idle_since;
    wakeup_pin_ = s.wakeup_pin;
    bare_configuration_ = s.bare_configuration;
    bare_alt_setting_ = s.bare_alt_setting;
    ports_.restore_state(s.ports);
}

}  // namespace vboard::controller
