// Serves the link's requests through the driver model: each connection is
// one driver handle, each control call one driver call, run on the board's
// simulated time after bringing it up to the wall clock.
#pragma once

#include "host/driver.h"
#include "link/server.h"
#include "serve/pacer.h"

namespace vboard::serve {

class DriverService final : public link::Service {
public:
    DriverService(host::Driver& driver, Pacer& pacer) : driver_(driver), pacer_(pacer) {}

    std::optional<uint64_t> open(uint32_t device) override;
    std::pair<uint16_t, uint16_t> device_ids(uint64_t handle) override;
    link::ControlReply control(uint64_t handle, const link::ControlRequest& request) override;
    void close(uint64_t handle) override;

private:
    host::Driver& driver_;
    Pacer& pacer_;
};

}  // namespace vboard::serve
