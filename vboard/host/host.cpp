// The host's time, its port (attach, reset, suspend, resume, detach) and
// the enumeration an operating system runs on a new device.
#include "host/host.h"
#include "host/transfer.h"

#include <algorithm>
#include <string>

namespace vboard::host {

const char* status_name(Status status) {
    switch (status) {
    case Status::ok: return "ok";
    case Status::stall: return "stall";
    case Status::timeout: return "timeout";
    case Status::error: return "error";
    case Status::overrun: return "overrun";
    case Status::no_device: return "no device";
    case Status::cancelled: return "cancelled";
    case Status::invalid: return "invalid";
    }
    return "?";
}

const char* port_state_name(PortState state) {
    switch (state) {
    case PortState::disconnected: return "disconnected";
    case PortState::debouncing: return "debouncing";
    case PortState::resetting: return "resetting";
    case PortState::recovering: return "recovering";
    case PortState::enumerating: return "enumerating";
    case PortState::configured: return "configured";
    case PortState::failed: return "failed";
    }
    return "?";
}

const char* event_name(HostEvent::Kind kind) {
    using K = HostEvent::Kind;
    switch (kind) {
    case K::attached: return "attached";
    case K::detached: return "detached";
    case K::reset: return "reset";
    case K::enabled: return "enabled";
    case K::enumerated: return "enumerated";
    case K::enumeration_failed: return "enumeration-failed";
    case K::port_failed: return "port-failed";
    case K::suspended: return "suspended";
    case K::remote_wakeup: return "remote-wakeup";
    case K::resuming: return "resuming";
    case K::resumed: return "resumed";
    }
    return "?";
}

Host::Host(usb::Device& device, TimingProfile profile) : dev_(device) {
    set_profile(profile);
    origin_ = now_ = dev_.now();
}

void Host::set_profile(const TimingProfile& profile) {
    profile_ = profile;
    profile_.packets_per_frame = std::clamp<uint32_t>(profile.packets_per_frame, 1, 100);
    profile_.device_address = std::clamp<uint8_t>(profile.device_address, 1, 127);
    profile_.enumeration_attempts = std::max<uint32_t>(profile.enumeration_attempts, 1);
    profile_.control_timeout_ms = std::max<uint32_t>(profile.control_timeout_ms, 1);
    profile_.transfer_timeout_ms = std::max<uint32_t>(profile.transfer_timeout_ms, 1);
    instants_per_frame_ = profile_.packets_per_frame + 1;
    if (next_slot_ >= instants_per_frame_) {
        next_slot_ = 0;
        ++next_frame_;
    }
}

void Host::set_observer(std::function<void(const HostEvent&)> observer) {
    observer_ = std::move(observer);
}

void Host::emit(HostEvent::Kind kind, std::string detail) {
    if (observer_) observer_(HostEvent{now_, kind, std::move(detail)});
}

// ---- time ------------------------------------------------------------------

double Host::elapsed_ms() const {
    return static_cast<double>(now_ - origin_) / usb::clocks_per_ms;
}

usb::clock_t Host::instant_time(uint64_t frame, uint32_t slot) const {
    return origin_ + frame * usb::clocks_per_ms + slot * usb::clocks_per_ms / instants_per_frame_;
}

void Host::run_to(usb::clock_t clock) {
    if (clock <= now_) return;
    dev_.run_until(clock);
    now_ = clock;
}

void Host::step() {
    const uint64_t frame = next_frame_;
    const uint32_t slot = next_slot_;
    if (++next_slot_ >= instants_per_frame_) {
        next_slot_ = 0;
        ++next_frame_;
    }
    if (slot == 0) {
        run_to(instant_time(frame, 0));
        frame_start(frame);
    } else if (instant_time(frame, slot) < now_) {
        // Passed already (the slot count changed inside this frame).
    } else if (!slot_transaction(frame, instant_time(frame, slot))) {
        // Nothing becomes ready before the next frame starts.
        next_slot_ = 0;
        next_frame_ = frame + 1;
    }
}

void Host::wait(uint32_t ms) { wait_clocks(ms_to_clocks(ms)); }

void Host::wait_clocks(usb::clock_t clocks) {
    const usb::clock_t target = now_ + clocks;
    while (instant_time(next_frame_, next_slot_) <= target) step();
    run_to(target);
}

bool Host::wait_until(const std::function<bool()>& done, uint32_t timeout_ms) {
    const usb::clock_t target = now_ + ms_to_clocks(timeout_ms);
    if (done()) return true;
    while (instant_time(next_frame_, next_slot_) <= target) {
        step();
        if (done()) return true;
    }
    run_to(target);
    return done();
}

bool Host::wait_enumerated(uint32_t timeout_ms) {
    return wait_until([this] { return enumerated(); }, timeout_ms);
}

// ---- the port ----------------------------------------------------------------

const EnumeratedDevice* Host::device() const {
    return port_ == PortState::configured ? device_.get() : nullptr;
}

uint64_t Host::device_id() const {
    return port_ == PortState::configured && device_ ? device_->id : 0;
}

bool Host::port_enabled() const {
    return port_ == PortState::recovering || port_ == PortState::enumerating ||
           port_ == PortState::configured;
}

void Host::frame_start(uint64_t frame) {
    frame_ = frame;
    port_housekeeping();
    check_deadlines();
    if (port_enabled() && bus_ == Bus::running) {
        dev_.start_of_frame(static_cast<uint16_t>(frame & 0x7FF));
        ++sofs_;
    }
}

void Host::port_housekeeping() {
    const bool attached = dev_.attached();
    switch (port_) {
    case PortState::disconnected:
        if (attached) {
            port_ = PortState::debouncing;
            debounce_since_ = now_;
            emit(HostEvent::Kind::attached);
        }
        return;
    case PortState::debouncing:
        if (!attached) {
            port_ = PortState::disconnected;
            emit(HostEvent::Kind::detached, "during debounce");
        } else if (now_ - debounce_since_ >= ms_to_clocks(profile_.attach_debounce_ms)) {
            keep_identity_ = false;
            enum_attempt_ = 0;
            start_reset();
        }
        return;
    default:
        if (!attached) {
            notice_detach();
            return;
        }
        break;
    }

    if (port_ == PortState::resetting && now_ >= port_until_) {
        port_ = PortState::recovering;
        port_until_ = now_ + ms_to_clocks(profile_.reset_recovery_ms);
        bus_ = Bus::running;
        emit(HostEvent::Kind::enabled);
    } else if (port_ == PortState::recovering && now_ >= port_until_) {
        port_ = PortState::enumerating;
        enum_step_ = 0;
        enum_next_at_ = now_;
    }

    if (port_enabled()) {
        if (bus_ == Bus::suspended && dev_.signalling_resume()) {
            emit(HostEvent::Kind::remote_wakeup);
            start_resume();
        } else if (bus_ == Bus::resuming && now_ >= resume_end_) {
            dev_.resume();
            bus_ = Bus::running;
            quiet_until_ = now_ + ms_to_clocks(profile_.resume_recovery_ms);
            emit(HostEvent::Kind::resumed);
        }
    }

    if (port_ == PortState::enumerating && enum_transfer_ == 0 && bus_ == Bus::running &&
        now_ >= enum_next_at_ && now_ >= quiet_until_)
        enumeration_next();
}

void Host::notice_detach() {
    port_ = PortState::disconnected;
    bus_ = Bus::running;
    address_ = 0;
    enum_transfer_ = 0;  // its result is of no use now
    device_.reset();
    found_.reset();
    fail_all(Status::no_device, true);
    reset_all_endpoints();
    emit(HostEvent::Kind::detached);
}

void Host::start_reset() {
    enum_transfer_ = 0;
    fail_all(Status::cancelled, true);
    device_.reset();
    found_.reset();
    address_ = 0;
    ep0_max_ = usb::max_packet;
    reset_all_endpoints();
    bus_ = Bus::running;
    quiet_until_ = 0;
    dev_.bus_reset();
    port_ = PortState::resetting;
    port_until_ = now_ + ms_to_clocks(profile_.port_reset_ms);
    emit(HostEvent::Kind::reset, "attempt " + std::to_string(enum_attempt_ + 1));
}

void Host::reset_port() {
    if (port_ == PortState::disconnected || port_ == PortState::debouncing) return;
    if (!dev_.attached()) {
        notice_detach();
        return;
    }
    keep_identity_ = keep_identity_ || device_ != nullptr;
    enum_attempt_ = 0;
    start_reset();
}

void Host::suspend() {
    if (!port_enabled() || bus_ != Bus::running) return;
    bus_ = Bus::suspended;
    emit(HostEvent::Kind::suspended);
}

void Host::start_resume() {
    bus_ = Bus::resuming;
    resume_end_ = now_ + ms_to_clocks(profile_.resume_signal_ms);
    emit(HostEvent::Kind::resuming);
}

void Host::resume() {
    if (!port_enabled() || bus_ == Bus::running) return;
    if (bus_ == Bus::suspended) start_resume();
    // Ends: the signalling and the recovery are bounded, a detach disables the port.
    while (port_enabled() && (bus_ != Bus::running || now_ < quiet_until_)) step();
}

// ---- enumeration -------------------------------------------------------------

namespace {

const char* step_name(int step) {
    static const char* const names[] = {"device descriptor (64 bytes)", "SET_ADDRESS",
                                        "device descriptor", "configuration descriptor (9 bytes)",
                                        "configuration", "SET_CONFIGURATION"};
    return step >= 0 && step < 6 ? names[step] : "?";
}

}  // namespace

void Host::enumeration_next() {
    SetupPacket setup;
    uint8_t address = address_;
    switch (enum_step_) {
    case 0:
        found_ = std::make_unique<EnumeratedDevice>();
        setup = get_descriptor_request(descriptor_type::device, 0, 0, 64);
        address = 0;
        break;
    case 1:
        setup = set_address_request(profile_.device_address);
        address = 0;
        break;
    case 2:
        setup = get_descriptor_request(descriptor_type::device, 0, 0, found_->device_descriptor[0]);
        break;
    case 3:
        setup = get_descriptor_request(descriptor_type::configuration, 0, 0, 9);
        break;
    case 4:
        setup = get_descriptor_request(descriptor_type::configuration, 0, 0,
                                       found_->config.total_length);
        break;
    default:
        setup = set_configuration_request(found_->config.value);
        break;
    }
    enum_transfer_ = submit_internal(setup, address);
}

void Host::enumeration_done(const TransferResult& result) {
    if (!result.ok()) {
        enumeration_fail(std::string(step_name(enum_step_)) + ": " + status_name(result.status));
        return;
    }
    const std::vector<uint8_t>& data = result.data;
    std::string error;
    switch (enum_step_) {
    case 0: {
        if (data.size() < 8 || data[1] != descriptor_type::device)
            return enumeration_fail("device descriptor: " + std::to_string(data.size()) +
                                    " bytes, not a device descriptor");
        const uint8_t max0 = data[7];
        if (max0 != 8 && max0 != 16 && max0 != 32 && max0 != 64)
            return enumeration_fail("device descriptor: endpoint 0 packet size " +
                                    std::to_string(max0));
        if (data[0] < 18)
            return enumeration_fail("device descriptor: length " + std::to_string(data[0]));
        ep0_max_ = max0;
        found_->device_descriptor = data;
        break;
    }
    case 1:
        address_ = profile_.device_address;
        break;
    case 2: {
        const auto device = parse_device_descriptor(data, error);
        if (!device) return enumeration_fail("device descriptor: " + error);
        found_->device = *device;
        found_->device_descriptor.assign(data.begin(), data.begin() + 18);
        break;
    }
    case 3:
        if (data.size() < 9 || data[1] != descriptor_type::configuration)
            return enumeration_fail("configuration descriptor: " + std::to_string(data.size()) +
                                    " bytes, not a configuration descriptor");
        found_->config.total_length = static_cast<uint16_t>(data[2] | data[3] << 8);
        if (found_->config.total_length < 9)
            return enumeration_fail("configuration descriptor: total length " +
                                    std::to_string(found_->config.total_length));
        break;
    case 4: {
        if (data.size() < found_->config.total_length)
            return enumeration_fail("configuration: " + std::to_string(data.size()) + " of " +
                                    std::to_string(found_->config.total_length) + " bytes");
        const auto config = parse_configuration(data, error);
        if (!config) return enumeration_fail("configuration: " + error);
        found_->config = *config;
        found_->configuration = data;
        break;
    }
    default: {
        found_->id = keep_identity_ ? last_id_ : ++last_id_;
        found_->address = address_;
        keep_identity_ = false;
        enumeration_error_.clear();
        device_ = std::move(found_);
        port_ = PortState::configured;
        emit(HostEvent::Kind::enumerated, "device " + std::to_string(device_->id) + " at address " +
                                              std::to_string(device_->address));
        return;
    }
    }
    // The next request goes out in the next frame; after SET_ADDRESS the
    // device gets its recovery time first.
    enum_next_at_ = now_;
    if (enum_step_ == 1) enum_next_at_ += ms_to_clocks(profile_.set_address_recovery_ms);
    ++enum_step_;
}

void Host::enumeration_fail(const std::string& why) {
    enumeration_error_ = why;
    emit(HostEvent::Kind::enumeration_failed, why);
    if (++enum_attempt_ < profile_.enumeration_attempts) {
        start_reset();
        return;
    }
    found_.reset();
    port_ = PortState::failed;
    emit(HostEvent::Kind::port_failed, why);
}

}  // namespace vboard::host
