// A model of the firmware's answers to device requests, written from the
// request table (dispatch on bRequest alone, whole-byte recipients, the
// descriptor set) and the USB rules for data stages, independent of the
// firmware: for one SETUP record it says what `vboard script` prints and
// what the request changes.
//
// Two verdicts. `exact`: one result line. `breaking`: a request a
// rule-keeping host does not send (a data stage shorter than the fixed
// answer, SET_ADDRESS, the loader's request, halts of EP0 and of EP3,
// whose buffers serve EP2).
#pragma once

#include "serve/script.h"

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "host/standard.h"

namespace campaign {

using Bytes = std::vector<uint8_t>;

struct DeviceState {
    uint8_t configuration = 1;  // after enumeration
    uint8_t alt_setting = 0;
    bool remote_wakeup = true;
    std::set<uint8_t> halted;  // endpoint addresses (direction bit and number) whose stall bit is set
};

struct RequestVerdict {
    enum class Class : uint8_t { exact, breaking };
    Class cls = Class::exact;
    std::string result;  // exact: the result line
};

class RequestModel {
public:
    // The descriptors the controller sends from memory, as enumeration read them.
    RequestModel(Bytes device_descriptor, Bytes configuration)
        : device_(std::move(device_descriptor)), config_(std::move(configuration)) {}

    // The verdict for one request; for exact and loose ones the state is
    // updated as the firmware will have it once the request is over.
    RequestVerdict request(const vboard::host::SetupPacket& setup);

    // A bus reset: the host enumerates the board again (SET_CONFIGURATION 1).
    void reset_bus() { state_.configuration = 1; }

    DeviceState& state() { return state_; }
    const DeviceState& state() const { return state_; }
    // The endpoint address the firmware's stall register for `e` serves.
    static uint8_t endpoint(uint8_t e) { return static_cast<uint8_t>(e & 0x87); }
    // The string descriptors of the descriptor set.
    static Bytes string_descriptor(uint8_t index);

private:
    RequestVerdict answer(const vboard::host::SetupPacket& s, const Bytes& data, bool fixed_size);
    RequestVerdict no_data(const vboard::host::SetupPacket& s);

    Bytes device_, config_;
    DeviceState state_;
};

// Bytes as `vboard script` prints them.
using vboard::serve::hex;

}  // namespace campaign
