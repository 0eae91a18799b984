// The host's side of endpoint 0 and bulk endpoints, played directly on a
// usb::Device for the controller and board tests: one control transfer
// stage by stage, with NAKs retried after letting the device run.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "usb/device.h"

namespace vboard::test {

inline std::array<std::uint8_t, 8> setup_packet(std::uint8_t type, std::uint8_t request, std::uint16_t value,
                                                std::uint16_t index, std::uint16_t length) {
    return {type,
            request,
            static_cast<std::uint8_t>(value),
            static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(index),
            static_cast<std::uint8_t>(index >> 8),
            static_cast<std::uint8_t>(length),
            static_cast<std::uint8_t>(length >> 8)};
}

struct Control {
    enum class Result { ok, stall, timeout, no_answer, protocol };
    Result result = Result::ok;
    std::vector<std::uint8_t> data;
    std::string detail;  // what went wrong, for failure messages
};

inline const char* result_name(Control::Result r) {
    switch (r) {
    case Control::Result::ok: return "ok";
    case Control::Result::stall: return "stall";
    case Control::Result::timeout: return "timeout";
    case Control::Result::no_answer: return "no answer";
    case Control::Result::protocol: return "protocol error";
    }
    return "?";
}

// Runs a whole control transfer: SETUP, the data stage (IN packets until a
// short one or wLength; or the OUT data in 64-byte packets), the status
// stage. A NAK lets the device run `nak_wait` clocks before the retry; more
// than `max_naks` in one stage is a timeout.
class ControlHost {
public:
    explicit ControlHost(usb::Device& device, usb::clock_t nak_wait = usb::clocks_per_ms / 10,
                         unsigned max_naks = 20000)
        : dev_(device), nak_wait_(nak_wait), max_naks_(max_naks) {}

    std::uint8_t address = 0;

    Control transfer(const std::array<std::uint8_t, 8>& setup, const std::vector<std::uint8_t>& out_data = {}) {
        Control c;
        const usb::Handshake h = dev_.setup(address, setup);
        if (h != usb::Handshake::ack) return fail(c, Control::Result::no_answer, "SETUP not acknowledged");
        const bool in = setup[0] & 0x80;
        const std::size_t length = setup[6] | (setup[7] << 8);
        bool toggle = true;
        if (in && length > 0) {
            for (;;) {
                usb::InPacket p;
                if (!wait_in(p, 0, c)) return c;
                if (p.handshake == usb::Handshake::stall) return fail(c, Control::Result::stall, "data stage stalled");
                if ((p.pid == usb::DataPid::data1) != toggle)
                    return fail(c, Control::Result::protocol, "data stage toggle out of step");
                toggle = !toggle;
                c.data.insert(c.data.end(), p.data.begin(), p.data.begin() + p.length);
                if (p.length < usb::max_packet || c.data.size() >= length) break;
            }
            if (c.data.size() > length) return fail(c, Control::Result::protocol, "more data than wLength");
            // Status: an empty OUT, DATA1.
            for (unsigned naks = 0;; ++naks) {
                const usb::Handshake s = dev_.out(address, 0, usb::DataPid::data1, {});
                if (s == usb::Handshake::ack) return c;
                if (s == usb::Handshake::stall) return fail(c, Control::Result::stall, "status stage stalled");
                if (s == usb::Handshake::none) return fail(c, Control::Result::no_answer, "status: no answer");
                if (naks >= max_naks_) return fail(c, Control::Result::timeout, "status stage NAKed too long");
                dev_.run_until(dev_.now() + nak_wait_);
            }
        }
        for (std::size_t at = 0; !in && at < length;) {
            const std::size_t n = std::min<std::size_t>(usb::max_packet, length - at);
            std::vector<std::uint8_t> chunk(out_data.begin() + static_cast<long>(std::min(at, out_data.size())),
                                            out_data.begin() + static_cast<long>(std::min(at + n, out_data.size())));
            for (unsigned naks = 0;; ++naks) {
                const usb::Handshake s =
                    dev_.out(address, 0, toggle ? usb::DataPid::data1 : usb::DataPid::data0, chunk);
                if (s == usb::Handshake::ack) break;
                if (s == usb::Handshake::stall) return fail(c, Control::Result::stall, "OUT data stalled");
                if (s == usb::Handshake::none) return fail(c, Control::Result::no_answer, "OUT data: no answer");
                if (naks >= max_naks_) return fail(c, Control::Result::timeout, "OUT data NAKed too long");
                dev_.run_until(dev_.now() + nak_wait_);
            }
            toggle = !toggle;
            at += n;
        }
        // Status: an empty IN, DATA1.
        usb::InPacket p;
        if (!wait_in(p, 0, c)) return c;
        if (p.handshake == usb::Handshake::stall) return fail(c, Control::Result::stall, "status stage stalled");
        if (p.length != 0 || p.pid != usb::DataPid::data1)
            return fail(c, Control::Result::protocol, "status stage not an empty DATA1 packet");
        return c;
    }

    // One IN transaction on `endpoint`, NAKs retried.
    bool wait_in(usb::InPacket& p, std::uint8_t endpoint, Control& c) {
        for (unsigned naks = 0;; ++naks) {
            p = dev_.in(address, endpoint);
            if (p.handshake == usb::Handshake::none) {
                fail(c, Control::Result::no_answer, "IN: no answer");
                return false;
            }
            if (p.handshake != usb::Handshake::nak) return true;
            if (naks >= max_naks_) {
                fail(c, Control::Result::timeout, "IN NAKed too long");
                return false;
            }
            dev_.run_until(dev_.now() + nak_wait_);
        }
    }

private:
    static Control fail(Control& c, Control::Result r, const std::string& why) {
        c.result = r;
        c.detail = why;
        return c;
    }

    usb::Device& dev_;
    usb::clock_t nak_wait_;
    unsigned max_naks_;
};

}  // namespace vboard::test
