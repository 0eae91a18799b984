// The peer's side of the mapping: its packets, as libusbredirparser hands
// them over, become transfers of the host model.

#include "usbredir/bridge.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <sys/socket.h>
#include <usbredirfilter.h>
#include <usbredirparser.h>

namespace vboard::usbredir {

namespace {

Bridge& self(void* priv) { return *static_cast<Bridge*>(priv); }

// Peer transfers wait as long as the peer lets them: it cancels what it no
// longer wants, as a kernel does when its own timeout strikes.
constexpr uint32_t peer_transfer_timeout_ms = 24 * 3600 * 1000;

host::SetupPacket setup_of(const usb_redir_control_packet_header& h) {
    host::SetupPacket setup;
    setup.request_type = h.requesttype;
    setup.request = h.request;
    setup.value = h.value;
    setup.index = h.index;
    setup.length = h.length;
    return setup;
}

// Packets only a usb-redir host sends: the parser refuses them from a peer
// in our role; should one get through, it ends the connection.
template <typename... Args>
void wrong_direction(void* priv, Args...) {
    self(priv).refuse("the peer sent a packet of the device's side");
}

}  // namespace

Bridge::Bridge(host::Host& host, int fd, Log log)
    : host_(host), fd_(fd), log_(std::move(log)), connected_at_(host.now()), last_sent_at_(host.now()) {
    parser_ = usbredirparser_create();
    if (!parser_) return;
    usbredirparser& p = *parser_;
    p.priv = this;
    p.log_func = on_log;
    p.read_func = on_read;
    p.write_func = on_write;
    p.hello_func = on_hello;
    p.reset_func = on_reset;
    p.set_configuration_func = on_set_configuration;
    p.get_configuration_func = on_get_configuration;
    p.set_alt_setting_func = on_set_alt_setting;
    p.get_alt_setting_func = on_get_alt_setting;
    p.start_interrupt_receiving_func = on_start_interrupt_receiving;
    p.stop_interrupt_receiving_func = on_stop_interrupt_receiving;
    p.cancel_data_packet_func = on_cancel;
    p.device_disconnect_ack_func = on_disconnect_ack;
    p.control_packet_func = on_control;
    p.bulk_packet_func = on_bulk;
    p.interrupt_packet_func = on_interrupt;

    // Isochronous transfers, bulk streams and buffered bulk receiving: the
    // board has none of them, and we do not offer them.
    p.start_iso_stream_func = [](void* priv, uint64_t id, usb_redir_start_iso_stream_header* h) {
        usb_redir_iso_stream_status_header status{usb_redir_inval, h->endpoint};
        usbredirparser_send_iso_stream_status(self(priv).parser_, id, &status);
    };
    p.stop_iso_stream_func = [](void* priv, uint64_t id, usb_redir_stop_iso_stream_header* h) {
        usb_redir_iso_stream_status_header status{usb_redir_inval, h->endpoint};
        usbredirparser_send_iso_stream_status(self(priv).parser_, id, &status);
    };
    p.iso_packet_func = [](void* priv, uint64_t, usb_redir_iso_packet_header*, uint8_t* data, int) {
        usbredirparser_free_packet_data(self(priv).parser_, data);
    };
    p.alloc_bulk_streams_func = [](void* priv, uint64_t id, usb_redir_alloc_bulk_streams_header* h) {
        usb_redir_bulk_streams_status_header status{h->endpoints, 0, usb_redir_inval};
        usbredirparser_send_bulk_streams_status(self(priv).parser_, id, &status);
    };
    p.free_bulk_streams_func = [](void* priv, uint64_t id, usb_redir_free_bulk_streams_header* h) {
        usb_redir_bulk_streams_status_header status{h->endpoints, 0, usb_redir_inval};
        usbredirparser_send_bulk_streams_status(self(priv).parser_, id, &status);
    };
    p.start_bulk_receiving_func = [](void* priv, uint64_t id, usb_redir_start_bulk_receiving_header* h) {
        usb_redir_bulk_receiving_status_header status{h->stream_id, h->endpoint, usb_redir_inval};
        usbredirparser_send_bulk_receiving_status(self(priv).parser_, id, &status);
    };
    p.stop_bulk_receiving_func = [](void* priv, uint64_t id, usb_redir_stop_bulk_receiving_header* h) {
        usb_redir_bulk_receiving_status_header status{h->stream_id, h->endpoint, usb_redir_inval};
        usbredirparser_send_bulk_receiving_status(self(priv).parser_, id, &status);
    };
    p.buffered_bulk_packet_func = [](void* priv, uint64_t, usb_redir_buffered_bulk_packet_header*,
                                     uint8_t* data, int) {
        usbredirparser_free_packet_data(self(priv).parser_, data);
    };
    p.filter_filter_func = [](void*, usbredirfilter_rule* rules, int) { usbredirfilter_free(rules); };
    p.filter_reject_func = [](void*) {};

    p.device_connect_func = wrong_direction<usb_redir_device_connect_header*>;
    p.device_disconnect_func = wrong_direction<>;
    p.interface_info_func = wrong_direction<usb_redir_interface_info_header*>;
    p.ep_info_func = wrong_direction<usb_redir_ep_info_header*>;
    p.configuration_status_func = wrong_direction<uint64_t, usb_redir_configuration_status_header*>;
    p.alt_setting_status_func = wrong_direction<uint64_t, usb_redir_alt_setting_status_header*>;
    p.iso_stream_status_func = wrong_direction<uint64_t, usb_redir_iso_stream_status_header*>;
    p.interrupt_receiving_status_func =
        wrong_direction<uint64_t, usb_redir_interrupt_receiving_status_header*>;
    p.bulk_streams_status_func = wrong_direction<uint64_t, usb_redir_bulk_streams_status_header*>;
    p.bulk_receiving_status_func = wrong_direction<uint64_t, usb_redir_bulk_receiving_status_header*>;

    uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
    usbredirparser_caps_set_cap(caps, usb_redir_cap_connect_device_version);
    usbredirparser_caps_set_cap(caps, usb_redir_cap_device_disconnect_ack);
    usbredirparser_caps_set_cap(caps, usb_redir_cap_ep_info_max_packet_size);
    usbredirparser_caps_set_cap(caps, usb_redir_cap_64bits_ids);
    usbredirparser_caps_set_cap(caps, usb_redir_cap_32bits_bulk_length);
    usbredirparser_init(parser_, "nebu vboard", caps, USB_REDIR_CAPS_SIZE, usbredirparser_fl_usb_host);
}

Bridge::~Bridge() {
    if (!parser_) return;
    fail_all(host::Status::cancelled);
    usbredirparser_destroy(parser_);
}

void Bridge::refuse(const std::string& why) {
    if (why_.empty()) why_ = why;
}

bool Bridge::read() {
    if (!parser_) {
        refuse("out of memory for the protocol parser");
        return false;
    }
    if (!wants_read()) return why_.empty();
    budget_left_ = read_budget;
    const int result = usbredirparser_do_read(parser_);
    if (result == usbredirparser_read_parse_error)
        refuse("the peer sent something that is not usb-redir");
    else if (result < 0)
        refuse(peer_closed_ ? "the peer closed the connection"
                            : std::string("cannot read from the peer: ") + std::strerror(errno));
    return why_.empty();
}

// ---- the parser's I/O and log -----------------------------------------------

int Bridge::on_read(void* priv, uint8_t* data, int count) {
    Bridge& b = self(priv);
    if (!b.why_.empty()) return -1;
    if (b.budget_left_ == 0) return 0;  // the rest at the next step
    const size_t want = std::min(static_cast<size_t>(count), b.budget_left_);
    const ssize_t n = recv(b.fd_, data, want, MSG_DONTWAIT);
    if (n > 0) {
        b.budget_left_ -= static_cast<size_t>(n);
        b.follow_packets(data, static_cast<size_t>(n));
        return static_cast<int>(n);
    }
    if (n == 0) {
        b.peer_closed_ = true;
        return -1;
    }
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
}

void Bridge::follow_packets(const uint8_t* data, size_t count) {
    auto u32 = [](const uint8_t* p) {
        return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    };
    while (count > 0) {
        if (header_have_ < header_bytes_) {
            header_[header_have_++] = *data++;
            --count;
            if (header_have_ < header_bytes_) continue;
            payload_left_ = u32(header_ + 4);
            in_hello_ = u32(header_) == usb_redir_hello;
        } else {
            const size_t take = static_cast<size_t>(std::min<uint64_t>(payload_left_, count));
            if (in_hello_)  // the version text (64 bytes) and the first capability word
                hello_start_.insert(hello_start_.end(), data, data + std::min(take, 68 - std::min<size_t>(68, hello_start_.size())));
            payload_left_ -= take;
            data += take;
            count -= take;
        }
        if (payload_left_ > 0) continue;
        // A whole packet. After the hello, headers carry 64-bit ids when
        // both sides can (this side always can).
        if (in_hello_ && hello_start_.size() == 68 && ((u32(hello_start_.data() + 64) >> usb_redir_cap_64bits_ids) & 1))
            header_bytes_ = 16;
        in_hello_ = false;
        header_have_ = 0;
    }
    // Mid-packet: the time the peer last sent a byte of it.
    if (header_have_ == 0)
        unfinished_since_.reset();
    else
        unfinished_since_ = host_.now();
}

int Bridge::on_write(void* priv, uint8_t* data, int count) {
    Bridge& b = self(priv);
    const ssize_t n = send(b.fd_, data, static_cast<size_t>(count), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) b.last_sent_at_ = b.host_.now();
    if (n >= 0) return static_cast<int>(n);
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
}

void Bridge::on_log(void* priv, int level, const char* message) {
    if (level <= usbredirparser_error) self(priv).log_(std::string("usb-redir: ") + message);
}

// ---- control packets ----------------------------------------------------------

void Bridge::on_hello(void* priv, usb_redir_hello_header*) { self(priv).hello_ = true; }

void Bridge::on_reset(void* priv) {
    Bridge& b = self(priv);
    if (b.announced_ != 0 && !b.awaiting_ack_) b.host_.reset_port();
}

void Bridge::on_disconnect_ack(void* priv) { self(priv).awaiting_ack_ = false; }

void Bridge::on_set_configuration(void* priv, uint64_t id, usb_redir_set_configuration_header* h) {
    Bridge& b = self(priv);
    const uint8_t value = h->configuration;
    const bool taken = b.accept(
        id, 0, [&b, value] { return b.host_.submit_control(host::set_configuration_request(value)); },
        [&b, id, value](const host::TransferResult& r) {
            if (r.ok()) {
                b.configuration_ = value;
                b.alternates_.clear();
                b.send_interfaces_and_endpoints();
            }
            usb_redir_configuration_status_header status{status_code(r.status), b.configuration_};
            usbredirparser_send_configuration_status(b.parser_, id, &status);
        });
    if (!taken) {
        usb_redir_configuration_status_header status{usb_redir_ioerror, b.configuration_};
        usbredirparser_send_configuration_status(b.parser_, id, &status);
    }
}

void Bridge::on_get_configuration(void* priv, uint64_t id) {
    Bridge& b = self(priv);
    const host::SetupPacket setup{0x80, 8, 0, 0, 1};  // GET_CONFIGURATION
    const bool taken = b.accept(
        id, 0, [&b, setup] { return b.host_.submit_control(setup); },
        [&b, id](const host::TransferResult& r) {
            const bool ok = r.ok() && r.data.size() == 1;
            usb_redir_configuration_status_header status{
                ok ? uint8_t{usb_redir_success} : (r.ok() ? uint8_t{usb_redir_ioerror} : status_code(r.status)),
                ok ? r.data[0] : b.configuration_};
            usbredirparser_send_configuration_status(b.parser_, id, &status);
        });
    if (!taken) {
        usb_redir_configuration_status_header status{usb_redir_ioerror, b.configuration_};
        usbredirparser_send_configuration_status(b.parser_, id, &status);
    }
}

void Bridge::on_set_alt_setting(void* priv, uint64_t id, usb_redir_set_alt_setting_header* h) {
    Bridge& b = self(priv);
    const uint8_t interface = h->interface;
    const uint8_t alt = h->alt;
    const host::SetupPacket setup{0x01, 11, alt, interface, 0};  // SET_INTERFACE
    const bool taken = b.accept(
        id, 0, [&b, setup] { return b.host_.submit_control(setup); },
        [&b, id, interface, alt](const host::TransferResult& r) {
            if (r.ok()) {
                b.alternates_[interface] = alt;
                b.send_interfaces_and_endpoints();
            }
            usb_redir_alt_setting_status_header status{status_code(r.status), interface,
                                                       r.ok() ? alt : b.alternates_[interface]};
            usbredirparser_send_alt_setting_status(b.parser_, id, &status);
        });
    if (!taken) {
        usb_redir_alt_setting_status_header status{usb_redir_ioerror, interface, 0};
        usbredirparser_send_alt_setting_status(b.parser_, id, &status);
    }
}

void Bridge::on_get_alt_setting(void* priv, uint64_t id, usb_redir_get_alt_setting_header* h) {
    Bridge& b = self(priv);
    const uint8_t interface = h->interface;
    const host::SetupPacket setup{0x81, 10, 0, interface, 1};  // GET_INTERFACE
    const bool taken = b.accept(
        id, 0, [&b, setup] { return b.host_.submit_control(setup); },
        [&b, id, interface](const host::TransferResult& r) {
            const bool ok = r.ok() && r.data.size() == 1;
            usb_redir_alt_setting_status_header status{
                ok ? uint8_t{usb_redir_success} : (r.ok() ? uint8_t{usb_redir_ioerror} : status_code(r.status)),
                interface, ok ? r.data[0] : uint8_t{0xFF}};
            usbredirparser_send_alt_setting_status(b.parser_, id, &status);
        });
    if (!taken) {
        usb_redir_alt_setting_status_header status{usb_redir_ioerror, interface, 0xFF};
        usbredirparser_send_alt_setting_status(b.parser_, id, &status);
    }
}

void Bridge::on_start_interrupt_receiving(void* priv, uint64_t id,
                                          usb_redir_start_interrupt_receiving_header* h) {
    Bridge& b = self(priv);
    const auto ep = b.endpoint(h->endpoint);
    const bool ok = b.announced_ != 0 && ep && ep->is_in() && ep->type() == host::EndpointType::interrupt;
    if (ok && !b.receivers_.contains(h->endpoint))
        b.receivers_[h->endpoint] = Receiver{std::max<uint8_t>(ep->interval, 1), ep->max_packet, 0};
    usb_redir_interrupt_receiving_status_header status{ok ? uint8_t{usb_redir_success} : uint8_t{usb_redir_inval},
                                                       h->endpoint};
    usbredirparser_send_interrupt_receiving_status(b.parser_, id, &status);
}

void Bridge::on_stop_interrupt_receiving(void* priv, uint64_t id,
                                         usb_redir_stop_interrupt_receiving_header* h) {
    Bridge& b = self(priv);
    b.stop_receiver(h->endpoint);
    usb_redir_interrupt_receiving_status_header status{usb_redir_success, h->endpoint};
    usbredirparser_send_interrupt_receiving_status(b.parser_, id, &status);
}

void Bridge::on_cancel(void* priv, uint64_t id) {
    Bridge& b = self(priv);
    for (auto it = b.requests_.begin(); it != b.requests_.end(); ++it) {
        Request& r = **it;
        if (r.peer_id != id) continue;
        if (r.transfer != 0) {
            b.host_.cancel(r.transfer);  // answered with the others when collected
        } else {
            host::TransferResult cancelled;
            cancelled.status = host::Status::cancelled;
            std::unique_ptr<Request> request = std::move(*it);
            b.requests_.erase(it);
            b.outstanding_bytes_ -= request->bytes;
            request->answer(cancelled);
        }
        return;
    }
}

// ---- data packets -----------------------------------------------------------

void Bridge::on_control(void* priv, uint64_t id, usb_redir_control_packet_header* h, uint8_t* data,
                        int length) {
    Bridge& b = self(priv);
    const usb_redir_control_packet_header header = *h;
    const host::SetupPacket setup = setup_of(header);
    std::vector<uint8_t> out;
    if (!setup.device_to_host() && data) out.assign(data, data + length);
    usbredirparser_free_packet_data(b.parser_, data);

    auto reply = [&b, id, header](uint8_t status, std::span<const uint8_t> in, uint16_t count) {
        usb_redir_control_packet_header h = header;
        h.status = status;
        h.length = count;
        usbredirparser_send_control_packet(b.parser_, id, &h, const_cast<uint8_t*>(in.data()),
                                           static_cast<int>(in.size()));
    };
    // Control transfers go to endpoint 0, its direction the request type's:
    // any other endpoint byte is the peer's mistake, answered as such (and
    // a reply in the other direction the library would refuse to send).
    if ((header.endpoint & 0x7F) != 0 || (header.endpoint & 0x80) != (header.requesttype & 0x80)) {
        reply(usb_redir_inval, {}, 0);
        return;
    }
    // The function address belongs to the host model, which keeps the device
    // addressed; the peer's own address is its business.
    if (setup.request_type == 0x00 && setup.request == host::request::set_address) {
        reply(b.announced_ ? uint8_t{usb_redir_success} : uint8_t{usb_redir_ioerror}, {}, 0);
        return;
    }
    if (!setup.device_to_host() && out.size() != setup.length) {
        reply(usb_redir_inval, {}, 0);
        return;
    }
    const bool taken = b.accept(
        id, out.size() + (setup.device_to_host() ? setup.length : 0),
        [&b, setup, out] { return b.host_.submit_control(setup, out); },
        [&b, setup, reply](const host::TransferResult& r) {
            if (r.ok() && setup.standard() &&
                ((setup.request_type == 0x00 && setup.request == host::request::set_configuration) ||
                 (setup.request_type == 0x01 && setup.request == host::request::set_interface))) {
                if (setup.request == host::request::set_configuration) {
                    b.configuration_ = static_cast<uint8_t>(setup.value);
                    b.alternates_.clear();
                } else {
                    b.alternates_[static_cast<uint8_t>(setup.index)] = static_cast<uint8_t>(setup.value);
                }
                b.send_interfaces_and_endpoints();
            }
            if (setup.device_to_host())
                reply(status_code(r.status), r.data, static_cast<uint16_t>(r.data.size()));
            else
                reply(status_code(r.status), {}, r.ok() ? setup.length : static_cast<uint16_t>(r.sent));
        });
    if (!taken) reply(usb_redir_ioerror, {}, 0);
}

void Bridge::on_bulk(void* priv, uint64_t id, usb_redir_bulk_packet_header* h, uint8_t* data, int length) {
    Bridge& b = self(priv);
    const usb_redir_bulk_packet_header header = *h;
    const uint8_t address = header.endpoint;
    const size_t wanted = header.length | (static_cast<size_t>(header.length_high) << 16);
    std::vector<uint8_t> out;
    if (!(address & 0x80) && data) out.assign(data, data + length);
    usbredirparser_free_packet_data(b.parser_, data);

    auto reply = [&b, id, header](uint8_t status, std::span<const uint8_t> in, size_t count) {
        usb_redir_bulk_packet_header h = header;
        h.status = status;
        h.length = static_cast<uint16_t>(count & 0xFFFF);
        h.length_high = static_cast<uint16_t>(count >> 16);
        usbredirparser_send_bulk_packet(b.parser_, id, &h, const_cast<uint8_t*>(in.data()),
                                        static_cast<int>(in.size()));
    };
    const auto ep = b.endpoint(address);
    if (!ep || ep->type() != host::EndpointType::bulk || header.stream_id != 0 || wanted > max_request_bytes ||
        (!(address & 0x80) && out.size() != wanted)) {
        reply(usb_redir_inval, {}, 0);
        return;
    }
    const bool taken =
        (address & 0x80)
            ? b.accept(
                  id, wanted,
                  [&b, address, wanted] {
                      return b.host_.submit_in(host::TransferType::bulk, address, wanted, 1,
                                               peer_transfer_timeout_ms);
                  },
                  [reply](const host::TransferResult& r) { reply(status_code(r.status), r.data, r.data.size()); })
            : b.accept(
                  id, wanted,
                  [&b, address, out] {
                      return b.host_.submit_out(host::TransferType::bulk, address, out, 1,
                                                peer_transfer_timeout_ms);
                  },
                  [reply](const host::TransferResult& r) { reply(status_code(r.status), {}, r.sent); });
    if (!taken) reply(usb_redir_ioerror, {}, 0);
}

void Bridge::on_interrupt(void* priv, uint64_t id, usb_redir_interrupt_packet_header* h, uint8_t* data,
                          int length) {
    Bridge& b = self(priv);
    const usb_redir_interrupt_packet_header header = *h;
    const uint8_t address = header.endpoint;
    std::vector<uint8_t> out;
    if (data) out.assign(data, data + length);
    usbredirparser_free_packet_data(b.parser_, data);

    auto reply = [&b, id, header](uint8_t status, size_t count) {
        usb_redir_interrupt_packet_header h = header;
        h.status = status;
        h.length = static_cast<uint16_t>(count);
        usbredirparser_send_interrupt_packet(b.parser_, id, &h, nullptr, 0);
    };
    // IN endpoints are read through interrupt receiving, never packet by packet.
    const auto ep = b.endpoint(address);
    if (!ep || ep->is_in() || ep->type() != host::EndpointType::interrupt || out.size() != header.length) {
        reply(usb_redir_inval, 0);
        return;
    }
    const uint8_t interval = std::max<uint8_t>(ep->interval, 1);
    const bool taken = b.accept(
        id, out.size(),
        [&b, address, out, interval] {
            return b.host_.submit_out(host::TransferType::interrupt, address, out, interval,
                                      peer_transfer_timeout_ms);
        },
        [reply](const host::TransferResult& r) { reply(status_code(r.status), r.sent); });
    if (!taken) reply(usb_redir_ioerror, 0);
}

// ---- taking requests on -----------------------------------------------------

bool Bridge::accept(uint64_t peer_id, size_t bytes, std::function<host::TransferId()> start,
                    std::function<void(const host::TransferResult&)> answer) {
    if (announced_ == 0 || awaiting_ack_) return false;
    if (requests_.size() >= max_requests || outstanding_bytes_ + bytes > max_outstanding_bytes) return false;
    auto request = std::make_unique<Request>();
    request->peer_id = peer_id;
    request->start = std::move(start);
    request->answer = std::move(answer);
    request->since = host_.now();
    request->bytes = bytes;
    if (device_ready()) request->transfer = request->start();
    outstanding_bytes_ += bytes;
    requests_.push_back(std::move(request));
    return true;
}

bool Bridge::device_ready() const {
    return announced_ != 0 && !awaiting_ack_ && host_.enumerated() && host_.device_id() == announced_;
}

}  // namespace vboard::usbredir
