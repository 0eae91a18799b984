// The default device: while RENUM = 0 the controller answers the standard
// requests on endpoint 0 itself, with the descriptors of the bare chip.
#include <algorithm>

#include "controller/controller.h"

namespace vboard::controller {

namespace {

constexpr std::uint16_t default_vid = 0x0547;
constexpr std::uint16_t default_pid = 0x2131;

std::vector<std::uint8_t> device_descriptor() {
    return {0x12, 0x01, 0x00, 0x01,  // bLength, DEVICE, bcdUSB 1.00
            0xFF, 0xFF, 0xFF, 0x40,  // vendor-specific class, subclass, protocol; EP0 packets of 64
            default_vid & 0xFF, default_vid >> 8, default_pid & 0xFF, default_pid >> 8,
            0x01, 0x00,              // bcdDevice
            0x00, 0x00, 0x00,        // no manufacturer, product or serial string
            0x01};                   // one configuration
}

// The documented header (wTotalLength 0xDA = 218, one interface, bus
// powered, 100 mA) and interface 0 alternate setting 0 without endpoints;
// the two alternate settings with endpoints that fill the documented total
// are ours: EP1 IN interrupt, EP2-EP7 IN and OUT bulk, 64 bytes each.
std::vector<std::uint8_t> configuration_descriptor() {
    std::vector<std::uint8_t> d = {0x09, 0x02, 0xDA, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32,
                                   0x09, 0x04, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x00};
    for (std::uint8_t alt = 1; alt <= 2; ++alt) {
        d.insert(d.end(), {0x09, 0x04, 0x00, alt, 13, 0xFF, 0xFF, 0xFF, 0x00});
        d.insert(d.end(), {0x07, 0x05, 0x81, 0x03, 0x40, 0x00, 0x0A});
        for (std::uint8_t n = 2; n <= 7; ++n) d.insert(d.end(), {0x07, 0x05, std::uint8_t(0x80 | n), 0x02, 0x40, 0x00, 0x00});
        for (std::uint8_t n = 2; n <= 7; ++n) d.insert(d.end(), {0x07, 0x05, n, 0x02, 0x40, 0x00, 0x00});
    }
    return d;
}

enum : std::uint8_t {
    get_status = 0,
    clear_feature = 1,
    set_feature = 3,
    get_descriptor = 6,
    get_configuration = 8,
    set_configuration = 9,
    get_interface = 10,
    set_interface = 11,
};

}  // namespace

std::vector<std::uint8_t> Controller::bare_string(int index) const {
    if (index == 0) return {0x04, 0x03, 0x09, 0x04};  // language 0x0409
    const std::string& text = index == 1 ? settings_.bare_string1 : settings_.bare_string2;
    std::vector<std::uint8_t> d = {static_cast<std::uint8_t>(2 + 2 * text.size()), 0x03};
    for (char c : text) d.insert(d.end(), {static_cast<std::uint8_t>(c), 0x00});
    return d;
}

void Controller::bare_request(const std::array<std::uint8_t, 8>& r) {
    const std::uint8_t type = r[0];
    const std::uint8_t value_low = r[2];
    const std::uint8_t value_high = r[3];
    const std::uint8_t index_low = r[4];
    std::vector<std::uint8_t> reply;
    bool answered = false;

    if ((type & 0x60) == 0x00) {  // standard requests only
        switch (r[1]) {
        case get_status:
            if (type == 0x80 || type == 0x81) {
                reply = {0x00, 0x00};  // bus powered, no remote wake-up
                answered = true;
            } else if (type == 0x82) {
                const int n = index_low & 0x07;
                const bool in = (index_low & 0x80) != 0;
                reply = {static_cast<std::uint8_t>(endpoint(in, n).stall ? 1 : 0), 0x00};
                answered = true;
            }
            break;
        case clear_feature:
        case set_feature:
            answered = (type & 0x80) == 0;  // accepted, without effect
            break;
        case get_descriptor:
            switch (value_high) {
            case 1:
                reply = device_descriptor();
                answered = true;
                break;
            case 2:
                if (value_low == 0) {
                    reply = configuration_descriptor();
                    answered = true;
                }
                break;
            case 3:
                if (value_low == 0 || ((value_low == 1 || value_low == 2) && !settings_.bare_strings_stalled)) {
                    reply = bare_string(value_low);
                    answered = true;
                }
                break;
            default:
                break;
            }
            break;
        case get_configuration:
            reply = {bare_configuration_};
            answered = true;
            break;
        case set_configuration:
            if (value_low <= 1) {
                bare_configuration_ = value_low;
                answered = true;
            }
            break;
        case get_interface:
            if (index_low == 0) {
                reply = {bare_alt_setting_};
                answered = true;
            }
            break;
        case set_interface:
            if (index_low == 0 && value_low <= 2) {
                bare_alt_setting_ = value_low;
                answered = true;
            }
            break;
        default:
            break;
        }
    }

    if (!answered) {
        ctl_.handler = Ep0Handler::stalled;
        return;
    }
    ctl_.handler = Ep0Handler::controller;
    if (ctl_.data_in) {
        ctl_.auto_in = true;
        ctl_.reply = std::move(reply);
        ctl_.total = std::min<std::uint32_t>(static_cast<std::uint32_t>(ctl_.reply.size()), ctl_.length);
    }
}

}  // namespace vboard::controller
