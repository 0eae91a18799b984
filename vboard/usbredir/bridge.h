// One usb-redir connection: the board's USB port as the peer (QEMU's
// usb-redir device) sees it. The peer's packets become transfers of the host
// model on the virtual bus; their results, and the board coming onto and
// leaving the bus, become packets back. libusbredirparser does the wire
// format; this is only the mapping.
//
//   from_peer.cpp   what the peer asks: control, bulk and interrupt packets,
//                   configuration, alternate setting, reset, cancellation
//   to_peer.cpp     what the board says: connect and disconnect with the
//                   device's interfaces and endpoints, finished transfers
//
// The host model keeps the device enumerated and addressed, as an operating
// system does under a real usb-redir host; the peer's SET_ADDRESS is the
// peer's own business and never reaches the device.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <memory>
#include <string>
#include <vector>

#include "host/host.h"

struct usbredirparser;
struct usb_redir_control_packet_header;
struct usb_redir_bulk_packet_header;
struct usb_redir_interrupt_packet_header;
struct usb_redir_set_configuration_header;
struct usb_redir_set_alt_setting_header;
struct usb_redir_get_alt_setting_header;
struct usb_redir_start_interrupt_receiving_header;
struct usb_redir_stop_interrupt_receiving_header;
struct usb_redir_hello_header;

namespace vboard::usbredir {

using Log = std::function<void(const std::string&)>;

class Bridge {
public:
    // Limits on what one peer may have outstanding; past them a request is
    // answered with an I/O error at once.
    static constexpr size_t max_requests = 1024;
    static constexpr size_t max_request_bytes = 4u << 20;        // one transfer
    static constexpr size_t max_outstanding_bytes = 64u << 20;   // all of them
    static constexpr uint64_t max_output_bytes = 64u << 20;      // unsent to the peer
    // Work per step, so that a flood of requests cannot hold the board, the
    // signals or the next peer: read() takes at most read_budget bytes, and
    // nothing while more than pause_output_bytes wait to be sent (the peer
    // reads slower than it asks). A peer that leaves that much unread for
    // stall_limit_ms of simulated time, has not said hello that long after
    // connecting, or leaves a packet unfinished that long (while the board
    // would read it) is sent away.
    static constexpr size_t read_budget = 64u << 10;
    static constexpr uint64_t pause_output_bytes = 256u << 10;
    static constexpr uint32_t stall_limit_ms = 5000;
    // How long a request may wait for the device to come back from a reset.
    static constexpr uint32_t reset_wait_ms = 5000;

    // `fd`: the connected socket, non-blocking; the bridge does not close it.
    Bridge(host::Host& host, int fd, Log log);
    ~Bridge();
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    // Reads and handles what the peer has sent, up to read_budget bytes.
    // False when the connection is over; `why()` then says why in one line.
    bool read();
    // Whether read() would take anything now (see pause_output_bytes).
    bool wants_read() const;
    // Follows the board (on and off the bus) and the transfers under way;
    // queues the packets that result.
    void update();
    // Sends what is queued. False when the connection is over.
    bool write();
    bool wants_write() const;
    const std::string& why() const { return why_; }
    // Ends the connection at the next check, for the reason given.
    void refuse(const std::string& why);

    // Transfers of the host model started for the peer and not yet answered.
    size_t outstanding() const { return requests_.size(); }

private:
    // A request of the peer: started on the host model at once, or when the
    // device is back from a reset.
    struct Request {
        uint64_t peer_id = 0;
        std::function<host::TransferId()> start;
        std::function<void(const host::TransferResult&)> answer;
        host::TransferId transfer = 0;  // 0: not started yet
        usb::clock_t since = 0;
        size_t bytes = 0;
    };
    struct Receiver {  // interrupt IN endpoint the peer receives from
        uint8_t interval = 1;
        uint16_t max_packet = 0;
        host::TransferId transfer = 0;
    };

    // from_peer.cpp
    static void on_hello(void* priv, usb_redir_hello_header* hello);
    static void on_reset(void* priv);
    static void on_set_configuration(void* priv, uint64_t id, usb_redir_set_configuration_header* h);
    static void on_get_configuration(void* priv, uint64_t id);
    static void on_set_alt_setting(void* priv, uint64_t id, usb_redir_set_alt_setting_header* h);
    static void on_get_alt_setting(void* priv, uint64_t id, usb_redir_get_alt_setting_header* h);
    static void on_start_interrupt_receiving(void* priv, uint64_t id,
                                             usb_redir_start_interrupt_receiving_header* h);
    static void on_stop_interrupt_receiving(void* priv, uint64_t id,
                                            usb_redir_stop_interrupt_receiving_header* h);
    static void on_cancel(void* priv, uint64_t id);
    static void on_disconnect_ack(void* priv);
    static void on_control(void* priv, uint64_t id, usb_redir_control_packet_header* h, uint8_t* data,
                           int length);
    static void on_bulk(void* priv, uint64_t id, usb_redir_bulk_packet_header* h, uint8_t* data, int length);
    static void on_interrupt(void* priv, uint64_t id, usb_redir_interrupt_packet_header* h, uint8_t* data,
                             int length);
    static void on_log(void* priv, int level, const char* message);
    static int on_read(void* priv, uint8_t* data, int count);
    static int on_write(void* priv, uint8_t* data, int count);

    // Takes a request on, or refuses it (false: the caller answers with an
    // I/O error) when the device is gone or the peer is over its limits.
    bool accept(uint64_t peer_id, size_t bytes, std::function<host::TransferId()> start,
                std::function<void(const host::TransferResult&)> answer);
    // The endpoint's type in the current configuration, or nothing.
    std::optional<host::EndpointDescriptor> endpoint(uint8_t address) const;
    // The device the peer knows is enumerated now: transfers may start.
    bool device_ready() const;
    void stop_receiver(uint8_t address);

    // to_peer.cpp
    void follow_device();
    void connect();
    void disconnect();
    void send_interfaces_and_endpoints();
    void start_requests();
    void collect_requests();
    void poll_receivers();
    void fail_all(host::Status status);
    static uint8_t status_code(host::Status status);

    host::Host& host_;
    int fd_;
    Log log_;
    usbredirparser* parser_ = nullptr;
    std::string why_;
    bool peer_closed_ = false;
    size_t budget_left_ = 0;         // bytes read() may still take
    usb::clock_t connected_at_ = 0;
    usb::clock_t last_sent_at_ = 0;  // when a byte last went to the peer
    // Where the peer's packets end, followed byte by byte as they come in.
    void follow_packets(const uint8_t* data, size_t count);
    size_t header_bytes_ = 12;        // 16 once both sides use 64-bit ids
    uint8_t header_[16] = {};
    size_t header_have_ = 0;
    uint64_t payload_left_ = 0;
    bool in_hello_ = false;
    std::vector<uint8_t> hello_start_;  // version text and first capability word
    std::optional<usb::clock_t> unfinished_since_;

    bool hello_ = false;             // the peer's hello has come
    uint64_t announced_ = 0;         // the device the peer was told of; 0: none
    bool awaiting_ack_ = false;      // disconnect sent, its acknowledgement not yet in
    uint8_t configuration_ = 0;      // as the peer set it
    std::map<uint8_t, uint8_t> alternates_;  // interface -> alternate setting
    std::map<uint8_t, host::EndpointDescriptor> endpoints_;  // of the current selection

    std::vector<std::unique_ptr<Request>> requests_;  // in arrival order
    size_t outstanding_bytes_ = 0;
    std::map<uint8_t, Receiver> receivers_;
};

}  // namespace vboard::usbredir
