// The host's record of one transfer in flight (private to the host model).
#pragma once

#include <optional>
#include <vector>

#include "host/host.h"

namespace vboard::host {

struct Host::Transfer {
    enum class Stage : uint8_t { setup, data, status, bulk };

    TransferId id = 0;
    TransferType type = TransferType::bulk;
    bool internal = false;       // enumeration's own request
    bool is_in = false;
    uint8_t endpoint = 0;        // with its direction bit; 0 for control
    uint8_t address = 0;         // internal requests: the function address to use
    uint8_t shown_address = 0;   // the address at submission, for observers
    SetupPacket setup;
    std::vector<uint8_t> out;    // OUT data
    size_t length = 0;           // IN: bytes wanted
    uint8_t interval = 1;
    uint64_t next_poll = 0;      // interrupt: the first frame it may be polled in
    Stage stage = Stage::bulk;
    usb::DataPid pid = usb::DataPid::data0;      // control: the PID of the current stage
    usb::clock_t deadline = 0;                   // the whole transfer
    std::optional<usb::clock_t> stage_deadline;  // control: the current stage (standard requests)
    unsigned errors = 0;
    bool done = false;
    Status early = Status::ok;   // a failure known at submission
    TransferResult result;
};

}  // namespace vboard::host
