// Keeps a board's simulated time in step with the wall clock while it is
// served to programs.
//
// Paced (the default): simulated time follows the wall clock from the moment
// the pacer starts. It never runs behind for long: advance() lets the board
// catch up, a slice at a time so that requests are not kept waiting. A
// request (a driver call) runs simulated time as far as it needs, at once:
// a bulk read that waits for NAKs, a transfer that times out after its
// 5 simulated seconds. Simulated time may then be ahead of the wall clock;
// the board then stands still until the wall clock has caught up, and
// requests arriving meanwhile are served at once from where it stands. So
// no request ever waits for the wall clock, and the board's own timing
// (1.5 s off the bus after a firmware start, debounce and enumeration)
// takes as long as it says whenever nothing is asked of it.
//
// Fast: simulated time runs freely, as fast as the machine allows.
#pragma once

#include "host/host.h"

#include <chrono>

namespace vboard::serve {

class Pacer {
public:
    using Clock = std::chrono::steady_clock;

    Pacer(host::Host& host, bool fast);

    // Runs the board: up to the wall clock (paced), or one slice (fast).
    // Returns how long the caller may wait for requests before calling
    // again, in milliseconds (0: call again at once).
    int advance();
    // Before a request: brings the board up to the wall clock.
    void catch_up();
    // Starts following the wall clock from here (simulated time as it stands).
    void restart();

    bool fast() const { return fast_; }
    // Simulated time ahead of the wall clock (negative: behind), in ms.
    double lead_ms() const;

    static constexpr usb::clock_t slice = 5 * usb::clocks_per_ms;

private:
    usb::clock_t wall_target() const;

    host::Host& host_;
    bool fast_;
    Clock::time_point wall_origin_;
    usb::clock_t sim_origin_ = 0;
};

}  // namespace vboard::serve
