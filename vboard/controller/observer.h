// What the controller reports to an observer (a trace): the pin levels of
// ports A and C, every strobe pulse with the byte on D7..D0, the board
// joining and leaving the bus, and the loader holding and releasing the
// 8051. Times are board clocks (24 MHz). With no observer attached nothing
// is computed.
#pragma once

#include <cstdint>

#include "usb/device.h"

namespace vboard::controller {

class Observer {
public:
    virtual ~Observer() = default;

    // Port A and port C pin levels after a register write changed them
    // (PA4 and PA5 carry FWR# and FRD# at rest when routed).
    virtual void pins(usb::clock_t when, std::uint8_t pins_a, std::uint8_t pins_c) = 0;
    // One FWR# (`write` true) or FRD# pulse on its pin, from `start` for
    // `width` clocks. `bus` is the byte on D7..D0 during the pulse; `driven`
    // false when nobody drove it (the pull-ups' 0xFF was read).
    virtual void strobe(usb::clock_t start, std::uint8_t width, bool write, std::uint8_t bus,
                        bool driven) = 0;
    // The board's pull-up joined (true) or left the bus.
    virtual void attach(usb::clock_t when, bool attached) = 0;
    // The loader held (true) or released the 8051.
    virtual void cpu_hold(usb::clock_t when, bool held) = 0;
};

}  // namespace vboard::controller
