// The board's side of the mapping: the device coming onto and leaving the
// bus, its interfaces and endpoints, and finished transfers, as packets for
// the peer.

#include "usbredir/bridge.h"

#include <usbredirparser.h>

namespace vboard::usbredir {

namespace {

constexpr uint32_t interrupt_poll_timeout_ms = 60'000;

// One interface descriptor's class triple, read from the configuration block.
struct InterfaceClass {
    uint8_t number, alternate, cls, subclass, protocol;
};

std::vector<InterfaceClass> interface_classes(const std::vector<uint8_t>& block) {
    std::vector<InterfaceClass> found;
    for (size_t at = 0; at + 2 <= block.size();) {
        const uint8_t length = block[at];
        if (length < 2 || at + length > block.size()) break;
        if (block[at + 1] == host::descriptor_type::interface && length >= 9)
            found.push_back({block[at + 2], block[at + 3], block[at + 5], block[at + 6], block[at + 7]});
        at += length;
    }
    return found;
}

}  // namespace

uint8_t Bridge::status_code(host::Status status) {
    switch (status) {
    case host::Status::ok: return usb_redir_success;
    case host::Status::stall: return usb_redir_stall;
    case host::Status::timeout: return usb_redir_timeout;
    case host::Status::overrun: return usb_redir_babble;
    case host::Status::cancelled: return usb_redir_cancelled;
    case host::Status::invalid: return usb_redir_inval;
    case host::Status::error:
    case host::Status::no_device: break;
    }
    return usb_redir_ioerror;
}

void Bridge::update() {
    if (!parser_) return;
    follow_device();
    start_requests();
    collect_requests();
    poll_receivers();
}

bool Bridge::wants_write() const { return parser_ && usbredirparser_has_data_to_write(parser_) > 0; }

bool Bridge::wants_read() const {
    return parser_ && uint64_t(usbredirparser_get_bufferered_output_size(parser_)) <= pause_output_bytes;
}

bool Bridge::write() {
    if (!parser_) return false;
    if (uint64_t(usbredirparser_get_bufferered_output_size(parser_)) > max_output_bytes)
        refuse("the peer does not read what the board sends");
    else if (usbredirparser_has_data_to_write(parser_) > 0 && usbredirparser_do_write(parser_) < 0)
        refuse("cannot write to the peer");
    const usb::clock_t now = host_.now(), limit = usb::clock_t{stall_limit_ms} * usb::clocks_per_ms;
    if (!wants_read() && now - last_sent_at_ > limit)
        refuse("the peer has not read what the board sends for " + std::to_string(stall_limit_ms) + " ms");
    if (!hello_ && now - connected_at_ > limit)
        refuse("no hello from the peer within " + std::to_string(stall_limit_ms) + " ms");
    if (!wants_read() && unfinished_since_) unfinished_since_ = now;  // the board is not reading: not the peer's fault
    if (unfinished_since_ && now - *unfinished_since_ > limit)
        refuse("the peer left a packet unfinished for " + std::to_string(stall_limit_ms) + " ms");
    return why_.empty();
}

// ---- the device on the bus ----------------------------------------------------

void Bridge::follow_device() {
    const host::PortState port = host_.port_state();
    const bool gone = port == host::PortState::disconnected || port == host::PortState::debouncing ||
                      port == host::PortState::failed;
    const uint64_t present = host_.enumerated() ? host_.device_id() : 0;
    if (announced_ != 0 && (gone || (present != 0 && present != announced_))) disconnect();
    if (present != 0 && announced_ == 0 && hello_ && !awaiting_ack_) connect();
}

void Bridge::connect() {
    const host::EnumeratedDevice* device = host_.device();
    if (!device || device->device_descriptor.size() < 18) return;
    configuration_ = device->config.value;
    alternates_.clear();
    send_interfaces_and_endpoints();
    const std::vector<uint8_t>& d = device->device_descriptor;
    usb_redir_device_connect_header connect{};
    connect.speed = usb_redir_speed_full;
    connect.device_class = d[4];
    connect.device_subclass = d[5];
    connect.device_protocol = d[6];
    connect.vendor_id = device->device.vendor;
    connect.product_id = device->device.product;
    connect.device_version_bcd = device->device.release;
    usbredirparser_send_device_connect(parser_, &connect);
    announced_ = device->id;
    log_("device " + std::to_string(device->id) + " connected to the peer");
}

void Bridge::disconnect() {
    collect_requests();
    fail_all(host::Status::no_device);
    usbredirparser_send_device_disconnect(parser_);
    awaiting_ack_ = usbredirparser_peer_has_cap(parser_, usb_redir_cap_device_disconnect_ack) != 0;
    log_("device " + std::to_string(announced_) + " disconnected from the peer");
    announced_ = 0;
    endpoints_.clear();
}

// The interfaces of the current configuration in their current alternate
// settings, and their endpoints, as the peer's tables index them.
void Bridge::send_interfaces_and_endpoints() {
    const host::EnumeratedDevice* device = host_.device();
    usb_redir_interface_info_header interfaces{};
    usb_redir_ep_info_header eps{};
    for (uint8_t& type : eps.type) type = usb_redir_type_invalid;
    eps.type[0] = eps.type[16] = usb_redir_type_control;
    endpoints_.clear();
    if (device) {
        eps.max_packet_size[0] = eps.max_packet_size[16] = device->device.max_packet0;
        if (configuration_ != 0 && configuration_ == device->config.value) {
            const std::vector<InterfaceClass> classes = interface_classes(device->configuration);
            for (const host::InterfaceDescriptor& i : device->config.interfaces) {
                const auto chosen = alternates_.find(i.number);
                if (i.alternate != (chosen == alternates_.end() ? 0 : chosen->second)) continue;
                if (interfaces.interface_count >= 32) break;
                const uint32_t n = interfaces.interface_count++;
                interfaces.interface[n] = i.number;
                interfaces.interface_class[n] = i.interface_class;
                for (const InterfaceClass& c : classes)
                    if (c.number == i.number && c.alternate == i.alternate) {
                        interfaces.interface_subclass[n] = c.subclass;
                        interfaces.interface_protocol[n] = c.protocol;
                    }
                for (const host::EndpointDescriptor& e : i.endpoints) {
                    const int index = ((e.address & 0x80) >> 3) | (e.address & 0x0F);
                    if ((e.address & 0x0F) == 0) continue;
                    eps.type[index] = e.attributes & 3;
                    eps.interval[index] = e.interval;
                    eps.interface[index] = i.number;
                    eps.max_packet_size[index] = e.max_packet;
                    endpoints_[e.address] = e;
                }
            }
        }
    }
    usbredirparser_send_interface_info(parser_, &interfaces);
    usbredirparser_send_ep_info(parser_, &eps);
    // Receivers on endpoints that are gone stop.
    for (auto it = receivers_.begin(); it != receivers_.end();) {
        const uint8_t address = (it++)->first;
        if (!endpoints_.contains(address)) stop_receiver(address);
    }
}

std::optional<host::EndpointDescriptor> Bridge::endpoint(uint8_t address) const {
    const auto it = endpoints_.find(address);
    if (it == endpoints_.end()) return std::nullopt;
    return it->second;
}

// ---- transfers ------------------------------------------------------------------

void Bridge::start_requests() {
    const bool ready = device_ready();
    for (auto it = requests_.begin(); it != requests_.end();) {
        Request& r = **it;
        if (r.transfer == 0 && ready) r.transfer = r.start();
        if (r.transfer == 0 && host_.now() - r.since > usb::clocks_per_ms * reset_wait_ms) {
            std::unique_ptr<Request> late = std::move(*it);
            it = requests_.erase(it);
            outstanding_bytes_ -= late->bytes;
            host::TransferResult timeout;
            timeout.status = host::Status::timeout;
            late->answer(timeout);
            continue;
        }
        ++it;
    }
}

void Bridge::collect_requests() {
    for (auto it = requests_.begin(); it != requests_.end();) {
        Request& r = **it;
        if (r.transfer == 0 || !host_.finished(r.transfer)) {
            ++it;
            continue;
        }
        std::unique_ptr<Request> done = std::move(*it);
        it = requests_.erase(it);
        outstanding_bytes_ -= done->bytes;
        done->answer(host_.complete(done->transfer));
    }
}

void Bridge::fail_all(host::Status status) {
    std::vector<std::unique_ptr<Request>> all = std::move(requests_);
    requests_.clear();
    outstanding_bytes_ = 0;
    for (auto& r : all) {
        host::TransferResult result;
        if (r->transfer != 0) {
            host_.cancel(r->transfer);
            result = host_.complete(r->transfer);
        }
        result.status = status;
        r->answer(result);
    }
    while (!receivers_.empty()) stop_receiver(receivers_.begin()->first);
}

void Bridge::stop_receiver(uint8_t address) {
    const auto it = receivers_.find(address);
    if (it == receivers_.end()) return;
    if (it->second.transfer != 0) {
        host_.cancel(it->second.transfer);
        host_.complete(it->second.transfer);
    }
    receivers_.erase(it);
}

// Interrupt IN endpoints the peer receives from are polled all the time;
// every packet the device sends goes to the peer as it comes.
void Bridge::poll_receivers() {
    for (auto it = receivers_.begin(); it != receivers_.end();) {
        const uint8_t address = it->first;
        Receiver& rx = it->second;
        ++it;
        if (rx.transfer != 0 && host_.finished(rx.transfer)) {
            const host::TransferResult r = host_.complete(rx.transfer);
            rx.transfer = 0;
            if (r.ok() || r.status == host::Status::stall || r.status == host::Status::overrun) {
                usb_redir_interrupt_packet_header h{address, status_code(r.status),
                                                    static_cast<uint16_t>(r.data.size())};
                usbredirparser_send_interrupt_packet(parser_, 0, &h, const_cast<uint8_t*>(r.data.data()),
                                                     static_cast<int>(r.data.size()));
                if (!r.ok()) {  // halted: the peer starts again after clearing it
                    receivers_.erase(address);
                    continue;
                }
            }
        }
        if (rx.transfer == 0 && device_ready())
            rx.transfer = host_.submit_in(host::TransferType::interrupt, address, rx.max_packet, rx.interval,
                                          interrupt_poll_timeout_ms);
    }
}

}  // namespace vboard::usbredir
