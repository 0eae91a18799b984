// Transfers: submission, the schedule of a frame's slots, and the
// transactions of control, bulk and interrupt transfers.
#include <algorithm>
#include <optional>

#include "host/host.h"
#include "host/transfer.h"

namespace vboard::host {

using usb::DataPid;
using usb::Handshake;

namespace {

// Consecutive transactions without an answer that fail a transfer.
constexpr unsigned max_errors = 3;

DataPid flip(DataPid pid) { return pid == DataPid::data0 ? DataPid::data1 : DataPid::data0; }

}  // namespace

Host::~Host() = default;

// ---- submission ----------------------------------------------------------

TransferId Host::submit(std::unique_ptr<Transfer> transfer) {
    Transfer& t = *transfer;
    t.id = next_id_++;
    t.result.submitted = now_;
    t.shown_address = t.internal ? t.address : address_;
    active_.push_back(std::move(transfer));
    if (transfer_observer_) report(t, false);
    if (!t.internal && port_ != PortState::configured)
        finish(t, Status::no_device);
    else if (t.early != Status::ok)
        finish(t, t.early);
    else if (t.type != TransferType::control && halted_.contains(t.endpoint))
        finish(t, Status::stall);
    else if (t.type != TransferType::control && t.is_in && t.length == 0)
        finish(t, Status::ok);
    const TransferId id = t.id;
    sweep();
    return id;
}

TransferId Host::submit_control(const SetupPacket& setup, std::span<const uint8_t> data,
                                uint32_t timeout_ms) {
    auto t = std::make_unique<Transfer>();
    t->type = TransferType::control;
    t->setup = setup;
    t->is_in = setup.device_to_host();
    t->stage = Transfer::Stage::setup;
    if (t->is_in)
        t->length = setup.length;
    else if (data.size() != setup.length)
        t->early = Status::invalid;
    else
        t->out.assign(data.begin(), data.end());
    t->deadline = now_ + ms_to_clocks(timeout_ms ? timeout_ms : profile_.control_timeout_ms);
    return submit(std::move(t));
}

TransferId Host::submit_internal(const SetupPacket& setup, uint8_t address) {
    auto t = std::make_unique<Transfer>();
    t->type = TransferType::control;
    t->internal = true;
    t->address = address;
    t->setup = setup;
    t->is_in = setup.device_to_host();
    t->length = t->is_in ? setup.length : 0;
    t->stage = Transfer::Stage::setup;
    t->deadline = now_ + ms_to_clocks(profile_.control_timeout_ms);
    return submit(std::move(t));
}

TransferId Host::submit_in(TransferType type, uint8_t endpoint, size_t length, uint8_t interval,
                           uint32_t timeout_ms) {
    auto t = std::make_unique<Transfer>();
    t->type = type;
    t->is_in = true;
    t->endpoint = endpoint;
    t->length = length;
    t->interval = std::max<uint8_t>(interval, 1);
    t->next_poll = frame_ + 1;
    t->deadline = now_ + ms_to_clocks(timeout_ms ? timeout_ms : profile_.transfer_timeout_ms);
    if (type == TransferType::control || (endpoint & 0x80) == 0 || (endpoint & 0x0F) == 0 ||
        (endpoint & 0x70) != 0)
        t->early = Status::invalid;
    return submit(std::move(t));
}

TransferId Host::submit_out(TransferType type, uint8_t endpoint, std::span<const uint8_t> data,
                            uint8_t interval, uint32_t timeout_ms) {
    auto t = std::make_unique<Transfer>();
    t->type = type;
    t->endpoint = endpoint;
    t->out.assign(data.begin(), data.end());
    t->interval = std::max<uint8_t>(interval, 1);
    t->next_poll = frame_ + 1;
    t->deadline = now_ + ms_to_clocks(timeout_ms ? timeout_ms : profile_.transfer_timeout_ms);
    if (type == TransferType::control || (endpoint & 0x80) != 0 || (endpoint & 0x0F) == 0 ||
        (endpoint & 0x70) != 0)
        t->early = Status::invalid;
    return submit(std::move(t));
}

bool Host::finished(TransferId id) const { return done_.contains(id); }

TransferResult Host::complete(TransferId id) {
    for (;;) {
        if (auto it = done_.find(id); it != done_.end()) {
            TransferResult result = std::move(it->second);
            done_.erase(it);
            return result;
        }
        const bool active = std::any_of(active_.begin(), active_.end(),
                                        [id](const auto& t) { return t->id == id && !t->internal; });
        if (!active) {
            TransferResult unknown;
            unknown.status = Status::invalid;
            unknown.submitted = unknown.finished = now_;
            return unknown;
        }
        // Ends: every transfer has a deadline, checked at each frame start.
        step();
    }
}

void Host::cancel(TransferId id) {
    for (auto& t : active_)
        if (t->id == id && !t->internal) finish(*t, Status::cancelled);
    sweep();
}

TransferResult Host::control(const SetupPacket& setup, std::span<const uint8_t> data) {
    return complete(submit_control(setup, data));
}

TransferResult Host::bulk_in(uint8_t endpoint, size_t length) {
    return complete(submit_in(TransferType::bulk, endpoint, length));
}

TransferResult Host::bulk_out(uint8_t endpoint, std::span<const uint8_t> data) {
    return complete(submit_out(TransferType::bulk, endpoint, data));
}

TransferResult Host::interrupt_in(uint8_t endpoint, size_t length, uint8_t interval) {
    return complete(submit_in(TransferType::interrupt, endpoint, length, interval));
}

TransferResult Host::interrupt_out(uint8_t endpoint, std::span<const uint8_t> data,
                                   uint8_t interval) {
    return complete(submit_out(TransferType::interrupt, endpoint, data, interval));
}

TransferResult Host::clear_halt(uint8_t endpoint) {
    TransferResult result = control(clear_endpoint_halt_request(endpoint));
    reset_endpoint(endpoint);
    return result;
}

DataPid Host::toggle(uint8_t endpoint) const {
    const auto it = toggles_.find(endpoint);
    return it == toggles_.end() ? DataPid::data0 : it->second;
}

bool Host::halted(uint8_t endpoint) const { return halted_.contains(endpoint); }

void Host::reset_endpoint(uint8_t endpoint) {
    toggles_.erase(endpoint);
    halted_.erase(endpoint);
}

void Host::reset_all_endpoints() {
    toggles_.clear();
    halted_.clear();
}

// ---- ending transfers -----------------------------------------------------

void Host::finish(Transfer& t, Status status) {
    if (t.done) return;
    t.done = true;
    t.result.status = status;
    t.result.finished = now_;
    if (transfer_observer_) report(t, true);
    if (status == Status::ok && t.type == TransferType::control) control_done(t.setup);
}

void Host::report(const Transfer& t, bool completion) const {
    TransferRecord r;
    r.id = t.id;
    r.type = t.type;
    r.endpoint = t.type == TransferType::control ? (t.is_in ? 0x80 : 0x00) : t.endpoint;
    r.address = t.shown_address;
    if (t.type == TransferType::control) r.setup = t.setup;
    r.interval = t.type == TransferType::interrupt ? t.interval : 0;
    r.time = now_;
    if (!completion) {
        r.length = t.is_in ? t.length : t.out.size();
        if (!t.is_in) r.data = t.out;
        transfer_observer_->submitted(r);
        return;
    }
    r.status = t.result.status;
    r.length = t.is_in ? t.result.data.size() : t.result.sent;
    if (t.is_in) r.data = t.result.data;
    transfer_observer_->completed(r);
}

// What the device's side keeps after a standard request, the host keeps too.
void Host::control_done(const SetupPacket& setup) {
    if (setup.request_type == 0x00 && setup.request == request::set_address) {
        address_ = setup.value & 0x7F;
    } else if ((setup.request_type == 0x00 && setup.request == request::set_configuration) ||
               (setup.request_type == 0x01 && setup.request == request::set_interface)) {
        reset_all_endpoints();
    } else if (setup.request_type == 0x02 && setup.request == request::clear_feature &&
               setup.value == feature_endpoint_halt) {
        reset_endpoint(setup.index & 0x8F);
    }
}

// Takes finished transfers off the schedule: the caller's results are kept
// until collected, enumeration's go to the enumeration (which may reset the
// port and so finish more).
void Host::sweep() {
    for (;;) {
        const auto it =
            std::find_if(active_.begin(), active_.end(), [](const auto& t) { return t->done; });
        if (it == active_.end()) return;
        std::unique_ptr<Transfer> t = std::move(*it);
        active_.erase(it);
        if (!t->internal) {
            done_[t->id] = std::move(t->result);
        } else if (t->id == enum_transfer_) {
            enum_transfer_ = 0;
            enumeration_done(t->result);
        }
    }
}

void Host::fail_all(Status status, bool internal_too) {
    for (auto& t : active_)
        if (internal_too || !t->internal) finish(*t, status);
}

void Host::check_deadlines() {
    for (auto& t : active_)
        if (now_ >= t->deadline || (t->stage_deadline && now_ > *t->stage_deadline))
            finish(*t, Status::timeout);
    sweep();
}

// ---- the schedule -----------------------------------------------------------

bool Host::ready(const Transfer& t) const {
    if (t.done) return false;
    return t.internal ? port_ == PortState::enumerating : port_ == PortState::configured;
}

// Interrupt endpoints due in this frame first, then control and bulk
// transfers in turn, one transaction each.
Host::Transfer* Host::pick(uint64_t frame) {
    for (auto& t : active_)
        if (t->type == TransferType::interrupt && ready(*t) && t->next_poll <= frame) return t.get();
    Transfer* first = nullptr;
    Transfer* next = nullptr;
    for (auto& t : active_) {
        if (t->type == TransferType::interrupt || !ready(*t)) continue;
        if (!first) first = t.get();
        if (t->id > last_served_) {
            next = t.get();
            break;
        }
    }
    Transfer* chosen = next ? next : first;
    if (chosen) last_served_ = chosen->id;
    return chosen;
}

bool Host::slot_transaction(uint64_t frame, usb::clock_t time) {
    if (!port_enabled() || bus_ != Bus::running || time < quiet_until_) return false;
    for (;;) {
        Transfer* t = pick(frame);
        if (!t) {
            sweep();
            return false;
        }
        run_to(time);
        if (time >= t->deadline || (t->stage_deadline && time > *t->stage_deadline)) {
            finish(*t, Status::timeout);
            continue;
        }
        if (t->type == TransferType::control)
            transact_control(*t);
        else if (t->is_in)
            transact_in(*t);
        else
            transact_out(*t);
        if (t->type == TransferType::interrupt) t->next_poll = frame + t->interval;
        sweep();
        return true;
    }
}

// ---- transactions -----------------------------------------------------------

// Handles every answer but ACK; true for ACK.
bool Host::answered(Transfer& t, Handshake handshake) {
    switch (handshake) {
    case Handshake::ack:
        t.errors = 0;
        return true;
    case Handshake::nak:
        t.errors = 0;
        ++t.result.naks;
        return false;
    case Handshake::stall:
        if (t.type != TransferType::control) halted_.insert(t.endpoint);
        finish(t, Status::stall);
        return false;
    case Handshake::none:
        if (!dev_.attached()) {
            notice_detach();
        } else if (++t.errors >= max_errors) {
            finish(t, Status::error);
        }
        return false;
    }
    return false;
}

void Host::transact_control(Transfer& t) {
    using Stage = Transfer::Stage;
    const uint8_t address = t.internal ? t.address : address_;
    const bool standard = t.setup.standard();
    auto deadline = [&](uint32_t ms) -> std::optional<usb::clock_t> {
        if (!standard) return std::nullopt;
        return now_ + ms_to_clocks(ms);
    };
    auto to_status = [&] {
        t.stage = Stage::status;
        t.pid = DataPid::data1;
        // After OUT data only the whole request's limit applies.
        t.stage_deadline = t.is_in ? deadline(profile_.status_stage_ms) : std::nullopt;
    };

    switch (t.stage) {
    case Stage::setup: {
        const Handshake h = dev_.setup(address, t.setup.bytes());
        if (h == Handshake::nak || h == Handshake::stall) {
            finish(t, Status::error);  // a SETUP is never refused
            return;
        }
        if (!answered(t, h)) return;
        t.pid = DataPid::data1;
        if (t.setup.length > 0) {
            t.stage = Stage::data;
            t.stage_deadline = t.is_in ? deadline(profile_.data_packet_ms) : std::nullopt;
        } else {
            t.stage = Stage::status;
            t.stage_deadline = deadline(profile_.no_data_request_ms);
        }
        return;
    }
    case Stage::data:
        if (t.is_in) {
            const usb::InPacket p = dev_.in(address, 0);
            if (!answered(t, p.handshake)) return;
            if (p.pid != t.pid) return;  // a repeat of the packet already taken
            const size_t room = t.length - t.result.data.size();
            if (p.length > room) {
                t.result.data.insert(t.result.data.end(), p.data.begin(), p.data.begin() + room);
                finish(t, Status::overrun);
                return;
            }
            t.result.data.insert(t.result.data.end(), p.data.begin(), p.data.begin() + p.length);
            t.pid = flip(t.pid);
            if (p.length < ep0_max_ || t.result.data.size() == t.length)
                to_status();
            else
                t.stage_deadline = deadline(profile_.data_packet_ms);
        } else {
            const size_t n = std::min<size_t>(ep0_max_, t.out.size() - t.result.sent);
            const Handshake h =
                dev_.out(address, 0, t.pid, std::span(t.out).subspan(t.result.sent, n));
            if (!answered(t, h)) return;
            t.result.sent += n;
            t.pid = flip(t.pid);
            if (t.result.sent == t.out.size()) to_status();
        }
        return;
    case Stage::status:
        // The status stage runs against the data: OUT after IN data, IN
        // otherwise, also for a device-to-host request with wLength 0.
        if (t.is_in && t.setup.length > 0) {
            if (answered(t, dev_.out(address, 0, DataPid::data1, {}))) finish(t, Status::ok);
        } else {
            const usb::InPacket p = dev_.in(address, 0);
            if (!answered(t, p.handshake)) return;
            if (p.length != 0)
                finish(t, Status::error);  // data where the status belongs
            else if (p.pid == DataPid::data1)
                finish(t, Status::ok);
        }
        return;
    case Stage::bulk:
        return;
    }
}

void Host::transact_in(Transfer& t) {
    const usb::InPacket p = dev_.in(address_, t.endpoint & 0x0F);
    if (!answered(t, p.handshake)) return;
    DataPid& pid = toggles_[t.endpoint];
    if (p.pid != pid) return;  // a repeat of the packet already taken
    pid = flip(pid);
    const size_t room = t.length - t.result.data.size();
    if (p.length > room) {
        t.result.data.insert(t.result.data.end(), p.data.begin(), p.data.begin() + room);
        finish(t, Status::overrun);
        return;
    }
    t.result.data.insert(t.result.data.end(), p.data.begin(), p.data.begin() + p.length);
    if (p.length < usb::max_packet || t.result.data.size() == t.length) finish(t, Status::ok);
}

void Host::transact_out(Transfer& t) {
    const size_t n = std::min<size_t>(usb::max_packet, t.out.size() - t.result.sent);
    DataPid& pid = toggles_[t.endpoint];
    const Handshake h =
        dev_.out(address_, t.endpoint & 0x0F, pid, std::span(t.out).subspan(t.result.sent, n));
    if (!answered(t, h)) return;
    pid = flip(pid);
    t.result.sent += n;
    if (t.result.sent == t.out.size()) finish(t, Status::ok);
}

}  // namespace vboard::host
