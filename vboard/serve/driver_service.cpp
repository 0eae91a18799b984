// The link's requests as driver calls.

#include "serve/driver_service.h"

#include <algorithm>
#include <climits>

namespace vboard::serve {

std::optional<uint64_t> DriverService::open(uint32_t device)
{
    if (device > static_cast<uint32_t>(INT_MAX))
        return std::nullopt;
    pacer_.catch_up();
    return driver_.open(static_cast<int>(device));
}

std::pair<uint16_t, uint16_t> DriverService::device_ids(uint64_t handle)
{
    return driver_.device_ids(handle);
}

link::ControlReply DriverService::control(uint64_t handle, const link::ControlRequest& request)
{
    pacer_.catch_up();
    // The caller's output buffer as it was sent (a bulk write's data), or
    // fresh space of its length.
    std::vector<uint8_t> out = request.out_sent ? request.out : std::vector<uint8_t>(request.out_length);
    uint32_t returned = 0;
    const bool ok = driver_.io_control(handle, request.code, request.in, out, returned);
    link::ControlReply reply;
    reply.result = ok ? 1 : 0;
    reply.returned = returned;
    out.resize(std::min<size_t>(returned, out.size()));
    reply.out = std::move(out);
    return reply;
}

void DriverService::close(uint64_t handle)
{
    driver_.close(handle);
}

}  // namespace vboard::serve
