#include "fake_device.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace fake {

using vboard::host::SetupPacket;
using vboard::usb::InPacket;
namespace request = vboard::host::request;

namespace {

DataPid flip(DataPid pid) { return pid == DataPid::data0 ? DataPid::data1 : DataPid::data0; }

InPacket packet(Handshake handshake, DataPid pid = DataPid::data0, std::span<const uint8_t> data = {}) {
    InPacket p;
    p.handshake = handshake;
    p.pid = pid;
    p.length = static_cast<uint8_t>(data.size());
    std::copy(data.begin(), data.end(), p.data.begin());
    return p;
}

Event event(Event::Kind kind, clock_t time, uint8_t address = 0, uint8_t endpoint = 0) {
    Event e;
    e.kind = kind;
    e.time = time;
    e.address = address;
    e.endpoint = endpoint;
    return e;
}

}  // namespace

Bytes firmware_device_descriptor() {
    return {0x12, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x40, 0x47,
            0x05, 0x31, 0x21, 0x01, 0x00, 0x01, 0x02, 0x00, 0x01};
}

Bytes firmware_configuration() {
    Bytes b = {0x09, 0x02, 0x74, 0x00, 0x01, 0x01, 0x00, 0xA0, 0xFA,
               0x09, 0x04, 0x00, 0x00, 0x0E, 0xFF, 0x00, 0x00, 0x00};
    for (uint8_t n = 1; n <= 7; ++n) b.insert(b.end(), {0x07, 0x05, n, 0x02, 0x40, 0x00, 0x00});
    b.insert(b.end(), {0x07, 0x05, 0x81, 0x03, 0x40, 0x00, 0x01});
    for (uint8_t n = 2; n <= 7; ++n)
        b.insert(b.end(), {0x07, 0x05, static_cast<uint8_t>(0x80 | n), 0x02, 0x40, 0x00, 0x00});
    return b;
}

Bytes string_descriptor(std::u16string_view text) {
    Bytes b = {static_cast<uint8_t>(2 + 2 * text.size()), 0x03};
    for (char16_t c : text) {
        b.push_back(static_cast<uint8_t>(c));
        b.push_back(static_cast<uint8_t>(c >> 8));
    }
    return b;
}

FakeDevice::FakeDevice()
    : device_descriptor(firmware_device_descriptor()), configuration(firmware_configuration()) {
    strings[0][0xFFFF] = {0x04, 0x03, 0x09, 0x04};
    for (uint8_t n = 1; n <= 7; ++n) {
        endpoints[n];
        endpoints[static_cast<uint8_t>(0x80 | n)];
    }
}

std::vector<SetupPacket> FakeDevice::setups() const {
    std::vector<SetupPacket> out;
    for (const Event& e : log)
        if (e.kind == Event::Kind::setup && e.answer == Handshake::ack) {
            std::array<uint8_t, 8> b{};
            std::copy(e.data.begin(), e.data.end(), b.begin());
            out.push_back(vboard::host::parse_setup(b));
        }
    return out;
}

std::vector<clock_t> FakeDevice::setup_times() const {
    std::vector<clock_t> out;
    for (const Event& e : log)
        if (e.kind == Event::Kind::setup && e.answer == Handshake::ack) out.push_back(e.time);
    return out;
}

std::vector<const Event*> FakeDevice::events(Event::Kind kind) const {
    std::vector<const Event*> out;
    for (const Event& e : log)
        if (e.kind == kind) out.push_back(&e);
    return out;
}

void FakeDevice::run_until(clock_t clock) {
    EXPECT_GE(clock, now_) << "the host ran the device backwards";
    for (auto& [time, attached] : schedule_)
        if (time <= clock && time != ~clock_t{0}) {
            attached_ = attached;
            if (!attached) address_ = 0;
            time = ~clock_t{0};
        }
    now_ = std::max(now_, clock);
    ++run_calls;
    if (on_run) on_run(*this);
}

void FakeDevice::bus_reset() {
    log.push_back(event(Event::Kind::reset, now_));
    address_ = 0;
    configuration_value_ = 0;
    control_.reset();
    for (auto& [address, ep] : endpoints) ep.toggle = DataPid::data0;
}

void FakeDevice::start_of_frame(uint16_t frame) {
    Event e = event(Event::Kind::sof, now_);
    e.frame = frame;
    log.push_back(e);
}

void FakeDevice::resume() { log.push_back(event(Event::Kind::resume, now_)); }

Handshake FakeDevice::log_answer(Event event, Handshake answer) {
    event.answer = answer;
    log.push_back(std::move(event));
    return answer;
}

Handshake FakeDevice::setup(uint8_t address, const std::array<uint8_t, 8>& request) {
    Event e = event(Event::Kind::setup, now_, address);
    e.data.assign(request.begin(), request.end());
    if (!for_me(address)) return log_answer(e, Handshake::none);
    begin(vboard::host::parse_setup(request));
    return log_answer(e, Handshake::ack);
}

void FakeDevice::begin(const SetupPacket& setup) {
    Control c;
    c.setup = setup;
    c.setup_time = now_;
    c.data_end = now_;
    c.in_status = setup.length == 0;
    if (stall_request && stall_request(setup)) c.stall = true;
    if (setup.request_type == 0x80 && setup.request == request::get_descriptor) {
        const uint8_t type = setup.value >> 8, index = setup.value & 0xFF;
        const Bytes* d = nullptr;
        if (type == 1 && index == 0) d = &device_descriptor;
        if (type == 2 && index == 0) d = &configuration;
        if (type == 3) {
            if (auto s = strings.find(index); s != strings.end()) {
                auto l = s->second.find(setup.index);
                if (l == s->second.end()) l = s->second.find(0xFFFF);
                if (l != s->second.end()) d = &l->second;
            }
        }
        if (!d) c.stall = true;
        else c.reply.assign(d->begin(), d->begin() + std::min<size_t>(d->size(), setup.length));
        c.zlp = c.reply.size() < setup.length && c.reply.size() % 64 == 0;
    } else if (setup.request_type == 0x00 &&
               (setup.request == request::set_address || setup.request == request::set_configuration)) {
    } else if (setup.request_type == 0x02 && setup.request == request::clear_feature) {
    } else if ((setup.request_type & 0x7F) == 0x40 && setup.request == 0xA0) {
        if (setup.request_type == 0xC0) c.reply.assign(setup.length, 0x5A);
    } else {
        c.stall = true;
    }
    control_ = c;
}

void FakeDevice::complete_request() {
    const SetupPacket s = control_->setup;
    if (s.request_type == 0x00 && s.request == request::set_address) address_ = s.value & 0x7F;
    if (s.request_type == 0x00 && s.request == request::set_configuration) {
        configuration_value_ = static_cast<uint8_t>(s.value);
        for (auto& [address, ep] : endpoints) ep.toggle = DataPid::data0;
    }
    if (s.request_type == 0x02 && s.request == request::clear_feature && s.value == 0) {
        Endpoint& ep = endpoints[static_cast<uint8_t>(s.index)];
        ep.stalled = false;
        ep.toggle = DataPid::data0;
    }
    if (s.request_type == 0x40 && s.request == 0xA0) loader_writes.push_back({s.value, control_->received});
    control_.reset();
}

InPacket FakeDevice::in(uint8_t address, uint8_t endpoint) {
    Event e = event(Event::Kind::in, now_, address, endpoint);
    auto answer = [&](InPacket p) {
        e.answer = p.handshake;
        e.pid = p.pid;
        e.data.assign(p.data.begin(), p.data.begin() + p.length);
        log.push_back(e);
        return p;
    };
    if (!for_me(address)) return answer(packet(Handshake::none));
    if (endpoint == 0) {
        if (!control_ || control_->stall) return answer(packet(Handshake::stall));
        Control& c = *control_;
        const bool to_host = c.setup.device_to_host();
        if (to_host && !c.in_status) {
            if (now_ < c.setup_time + data_delay) return answer(packet(Handshake::nak));
            const size_t n = std::min<size_t>(64, c.reply.size() - c.sent);
            const InPacket p =
                packet(Handshake::ack, c.pid, std::span(c.reply).subspan(c.sent, n));
            c.sent += n;
            c.pid = flip(c.pid);
            if (c.sent == c.reply.size() && (n < 64 || !c.zlp)) {
                c.in_status = true;
                c.data_end = now_;
            }
            return answer(p);
        }
        if (to_host && c.setup.length > 0) return answer(packet(Handshake::stall));
        if (!c.in_status) return answer(packet(Handshake::stall));
        if (now_ < c.data_end + status_delay) return answer(packet(Handshake::nak));
        complete_request();
        return answer(packet(Handshake::ack, DataPid::data1));
    }
    auto it = endpoints.find(static_cast<uint8_t>(0x80 | endpoint));
    if (it == endpoints.end()) return answer(packet(Handshake::none));
    Endpoint& ep = it->second;
    if (ep.stalled) return answer(packet(Handshake::stall));
    if (ep.nak || now_ < ep.nak_until || ep.to_send.empty()) return answer(packet(Handshake::nak));
    const InPacket p = packet(Handshake::ack, ep.toggle, ep.to_send.front());
    if (ep.repeat_next) {
        ep.repeat_next = false;  // the ACK is lost: the same packet goes again
    } else {
        ep.to_send.pop_front();
        ep.toggle = flip(ep.toggle);
    }
    return answer(p);
}

Handshake FakeDevice::out(uint8_t address, uint8_t endpoint, DataPid pid, std::span<const uint8_t> data) {
    Event e = event(Event::Kind::out, now_, address, endpoint);
    e.pid = pid;
    e.data.assign(data.begin(), data.end());
    if (!for_me(address)) return log_answer(e, Handshake::none);
    if (endpoint == 0) {
        if (!control_ || control_->stall) return log_answer(e, Handshake::stall);
        Control& c = *control_;
        if (c.setup.device_to_host() && c.setup.length > 0) {  // status stage
            if (!c.in_status) c.data_end = now_;
            if (now_ < c.data_end + status_delay) return log_answer(e, Handshake::nak);
            complete_request();
            return log_answer(e, Handshake::ack);
        }
        if (c.in_status) return log_answer(e, Handshake::stall);
        if (now_ < c.setup_time + data_delay) return log_answer(e, Handshake::nak);
        if (pid == c.pid) {
            c.received.insert(c.received.end(), data.begin(), data.end());
            c.pid = flip(c.pid);
        }
        if (c.received.size() >= c.setup.length) {
            c.in_status = true;
            c.data_end = now_;
        }
        return log_answer(e, Handshake::ack);
    }
    auto it = endpoints.find(endpoint);
    if (it == endpoints.end()) return log_answer(e, Handshake::none);
    Endpoint& ep = it->second;
    if (ep.stalled) return log_answer(e, Handshake::stall);
    if (ep.nak || now_ < ep.nak_until) return log_answer(e, Handshake::nak);
    if (pid == ep.toggle) {
        ep.received.emplace_back(data.begin(), data.end());
        ep.toggle = flip(ep.toggle);
    }
    return log_answer(e, Handshake::ack);
}

}  // namespace fake
