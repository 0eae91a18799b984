// The device-request model.
#include "request_model.h"

#include <algorithm>

namespace campaign {

using vboard::host::SetupPacket;
using Class = RequestVerdict::Class;


Bytes RequestModel::string_descriptor(uint8_t index) {
    auto unicode = [](const char* text) {
        Bytes d{0, 3};
        for (const char* c = text; *c; ++c) d.insert(d.end(), {static_cast<uint8_t>(*c), 0});
        d[0] = static_cast<uint8_t>(d.size());
        return d;
    };
    switch (index) {
    case 0: return {0x04, 0x03, 0x09, 0x04};
    case 1: return unicode("NEBU");
    case 2: return unicode("Z100");
    default: return {};
    }
}

namespace {

RequestVerdict exact(std::string result) { return {Class::exact, std::move(result)}; }
RequestVerdict stall() { return exact("stall"); }
RequestVerdict breaking() { return {Class::breaking, {}}; }

}  // namespace

// A request whose built-in handling sends `data` to the host. `fixed_size`:
// the answer is armed whole whatever wLength says (status, configuration,
// alternate setting); descriptors end at wLength.
RequestVerdict RequestModel::answer(const SetupPacket& s, const Bytes& data, bool fixed_size) {
    if (s.length == 0) return exact("ok");       // no data stage: nothing is sent
    if (!s.device_to_host()) return stall();     // the host offers data to a request that sends some
    if (fixed_size && s.length < data.size()) return breaking();
    return exact("ok " + hex(Bytes(data.begin(), data.begin() + std::min<size_t>(s.length, data.size()))));
}

// A request without a data stage of its own: with one it is a request
// error, stalled with nothing changed.
RequestVerdict RequestModel::no_data(const SetupPacket& s) {
    if (s.length != 0) return stall();
    const uint8_t low = static_cast<uint8_t>(s.value);
    switch (s.request) {
    case 9: state_.configuration = low; break;
    case 11: state_.alt_setting = low; break;
    default:
        if (s.request_type == 0x00) {
            state_.remote_wakeup = s.request == vboard::host::request::set_feature;
        } else if (s.request_type == 0x02) {
            const uint8_t e = static_cast<uint8_t>(s.index);
            if (s.request == vboard::host::request::set_feature)
                state_.halted.insert(endpoint(e));
            else
                state_.halted.erase(endpoint(e));
        }
        break;
    }
    return exact("ok");
}

RequestVerdict RequestModel::request(const SetupPacket& s) {
    const uint8_t rt = s.request_type;
    const uint8_t low = static_cast<uint8_t>(s.value), high = static_cast<uint8_t>(s.value >> 8);
    if ((rt & 0x60) == 0x40 && s.request == 0xA0) return breaking();  // the controller's loader
    if ((rt & 0x7F) == 0x00 && s.request == 5) return breaking();     // SET_ADDRESS, the controller's
    switch (s.request) {
    case 0: {  // GET_STATUS, recipient compared as a whole byte
        if (rt == 0x81) return answer(s, {0, 0}, true);
        if (rt == 0x82) {
            const uint8_t e = endpoint(static_cast<uint8_t>(s.index));
            if (e == 0x00) return breaking();  // the register below OUT1CS
            return answer(s, {static_cast<uint8_t>(state_.halted.count(e) ? 1 : 0), 0}, true);
        }
        if (rt != 0x80) return stall();
        return answer(s, {static_cast<uint8_t>(state_.remote_wakeup ? 2 : 0), 0}, true);  // not self-powered
    }
    case 1:    // CLEAR_FEATURE
    case 3: {  // SET_FEATURE
        if (s.length != 0) return stall();
        if (rt == 0x00) return low == 1 ? no_data(s) : stall();  // DEVICE_REMOTE_WAKEUP, low byte only
        if (rt != 0x02) return exact("ok");  // other recipients: nothing
        // ENDPOINT_HALT (all 16 bits) of an endpoint address (bits 6-3 clear).
        const uint8_t e = static_cast<uint8_t>(s.index);
        if (s.value != 0 || (e & 0x78) != 0) return stall();
        if ((e & 0x7F) == 0 || (e & 0x7F) == 3) return breaking();  // EP0; EP3, whose buffers serve EP2
        return no_data(s);
    }
    case 6:  // GET_DESCRIPTOR, whatever the type bits
        switch (high) {
        case 1: return answer(s, device_, false);
        case 2: return low == 0 ? answer(s, config_, false) : stall();
        case 3: return low < 3 ? answer(s, string_descriptor(low), false) : stall();
        default: return stall();
        }
    case 8:  // GET_CONFIGURATION
        return answer(s, {state_.configuration}, true);
    case 10:  // GET_INTERFACE
        return answer(s, {state_.alt_setting}, true);
    case 9:   // SET_CONFIGURATION
    case 11:  // SET_INTERFACE
        return no_data(s);
    default: return stall();
    }
}

}  // namespace campaign
