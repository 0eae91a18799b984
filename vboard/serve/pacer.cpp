// Simulated time against the wall clock.

#include "serve/pacer.h"

#include <algorithm>

namespace vboard::serve {

Pacer::Pacer(host::Host& host, bool fast) : host_(host), fast_(fast)
{
    restart();
}

void Pacer::restart()
{
    wall_origin_ = Clock::now();
    sim_origin_ = host_.now();
}

usb::clock_t Pacer::wall_target() const
{
    const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - wall_origin_);
    constexpr usb::clock_t clocks_per_us = usb::clocks_per_second / 1'000'000;  // 24
    return sim_origin_ + static_cast<usb::clock_t>(elapsed.count()) * clocks_per_us / 1000;
}

double Pacer::lead_ms() const
{
    const double sim = static_cast<double>(host_.now());
    return (sim - static_cast<double>(wall_target())) / static_cast<double>(usb::clocks_per_ms);
}

int Pacer::advance()
{
    if (fast_) {
        host_.wait_clocks(slice);
        return 0;
    }
    // The board runs in steps of at least a millisecond, so that following
    // the clock does not turn into a busy loop of tiny steps.
    const usb::clock_t target = wall_target();
    const usb::clock_t now = host_.now();
    if (target >= now + usb::clocks_per_ms) {
        host_.wait_clocks(std::min(target - now, slice));
        return host_.now() + usb::clocks_per_ms <= wall_target() ? 0 : 1;
    }
    // Less than a millisecond behind, or ahead: wait until the clock is a
    // millisecond past the board (at most a while, so that the caller's own
    // checks still run).
    const usb::clock_t lead = now + usb::clocks_per_ms - target;
    return static_cast<int>(std::clamp<usb::clock_t>(lead / usb::clocks_per_ms + 1, 1, 50));
}

void Pacer::catch_up()
{
    if (fast_)
        return;
    const usb::clock_t target = wall_target();
    if (host_.now() < target)
        host_.wait_clocks(target - host_.now());
}

}  // namespace vboard::serve
