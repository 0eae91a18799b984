// The usb-redir server against a peer in QEMU's role, built on the same
// protocol library: what the peer sees of the board, and what a peer that
// misbehaves leaves behind. Simulated time runs freely (--fast).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <usbredirparser.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "serve/session.h"
#include "usbredir/server.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The guest's end of a usb-redir connection.
class Peer {
public:
    struct Reply {
        uint8_t status = 0xFF;
        Bytes data;
        size_t length = 0;
    };

    explicit Peer(uint16_t port) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        parser_ = usbredirparser_create();
        parser_->priv = this;
        parser_->log_func = [](void*, int, const char*) {};
        parser_->read_func = [](void* p, uint8_t* data, int count) -> int {
            const ssize_t n = recv(self(p).fd_, data, static_cast<size_t>(count), MSG_DONTWAIT);
            if (n == 0) self(p).closed_ = true;
            return n > 0 ? static_cast<int>(n) : (n == 0 ? -1 : 0);
        };
        parser_->write_func = [](void* p, uint8_t* data, int count) -> int {
            const ssize_t n = send(self(p).fd_, data, static_cast<size_t>(count), MSG_DONTWAIT | MSG_NOSIGNAL);
            return n >= 0 ? static_cast<int>(n) : (errno == EAGAIN ? 0 : -1);
        };
        parser_->hello_func = [](void* p, usb_redir_hello_header*) { self(p).hello_ = true; };
        parser_->device_connect_func = [](void* p, usb_redir_device_connect_header* h) { self(p).device_ = *h; };
        parser_->device_disconnect_func = [](void* p) { ++self(p).disconnects_; };  // the parser acknowledges
        parser_->interface_info_func = [](void*, usb_redir_interface_info_header*) {};
        parser_->ep_info_func = [](void* p, usb_redir_ep_info_header* h) { self(p).endpoints_ = *h; };
        parser_->control_packet_func = [](void* p, uint64_t id, usb_redir_control_packet_header* h, uint8_t* data,
                                          int length) {
            self(p).replies_[id] = {h->status, Bytes(data, data + length), h->length};
            usbredirparser_free_packet_data(self(p).parser_, data);
        };
        parser_->bulk_packet_func = [](void* p, uint64_t id, usb_redir_bulk_packet_header* h, uint8_t* data,
                                       int length) {
            self(p).replies_[id] = {h->status, Bytes(data, data + length),
                                    h->length | static_cast<size_t>(h->length_high) << 16};
            usbredirparser_free_packet_data(self(p).parser_, data);
        };
        parser_->configuration_status_func = [](void* p, uint64_t id, usb_redir_configuration_status_header* h) {
            self(p).replies_[id] = {h->status, {h->configuration}, 1};
        };
        parser_->alt_setting_status_func = [](void* p, uint64_t id, usb_redir_alt_setting_status_header* h) {
            self(p).replies_[id] = {h->status, {h->interface, h->alt}, 2};
        };
        parser_->interrupt_receiving_status_func = [](void* p, uint64_t id,
                                                      usb_redir_interrupt_receiving_status_header* h) {
            self(p).replies_[id] = {h->status, {h->endpoint}, 1};
        };
        uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
        for (int cap : {usb_redir_cap_connect_device_version, usb_redir_cap_device_disconnect_ack,
                        usb_redir_cap_ep_info_max_packet_size, usb_redir_cap_64bits_ids,
                        usb_redir_cap_32bits_bulk_length})
            usbredirparser_caps_set_cap(caps, cap);
        usbredirparser_init(parser_, "test peer", caps, USB_REDIR_CAPS_SIZE, 0);
    }
    ~Peer() {
        usbredirparser_destroy(parser_);
        if (fd_ >= 0) close(fd_);
    }

    void io() {
        if (fd_ < 0) return;
        if (usbredirparser_has_data_to_write(parser_)) usbredirparser_do_write(parser_);
        usbredirparser_do_read(parser_);
    }
    void hang_up() {
        close(fd_);
        fd_ = -1;
    }
    int fd() const { return fd_; }

    uint64_t control(uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint16_t length,
                     std::optional<uint8_t> endpoint = std::nullopt, Bytes out = {}) {
        usb_redir_control_packet_header h{endpoint.value_or(static_cast<uint8_t>(type & 0x80)), request, type, 0,
                                          value, index, length};
        usbredirparser_send_control_packet(parser_, ++id_, &h, out.empty() ? nullptr : out.data(),
                                           static_cast<int>(out.size()));
        return id_;
    }
    uint64_t bulk(uint8_t endpoint, Bytes out, size_t in_length = 0) {
        const size_t length = (endpoint & 0x80) ? in_length : out.size();
        usb_redir_bulk_packet_header h{endpoint, 0, static_cast<uint16_t>(length), 0,
                                       static_cast<uint16_t>(length >> 16)};
        usbredirparser_send_bulk_packet(parser_, ++id_, &h, out.empty() ? nullptr : out.data(),
                                        static_cast<int>(out.size()));
        return id_;
    }
    void cancel(uint64_t id) { usbredirparser_send_cancel_data_packet(parser_, id); }
    uint64_t set_configuration(uint8_t value) {
        usb_redir_set_configuration_header h{value};
        usbredirparser_send_set_configuration(parser_, ++id_, &h);
        return id_;
    }
    uint64_t get_configuration() {
        usbredirparser_send_get_configuration(parser_, ++id_);
        return id_;
    }
    uint64_t set_alt_setting(uint8_t interface, uint8_t alt) {
        usb_redir_set_alt_setting_header h{interface, alt};
        usbredirparser_send_set_alt_setting(parser_, ++id_, &h);
        return id_;
    }
    uint64_t get_alt_setting(uint8_t interface) {
        usb_redir_get_alt_setting_header h{interface};
        usbredirparser_send_get_alt_setting(parser_, ++id_, &h);
        return id_;
    }
    uint64_t interrupt_receiving(uint8_t endpoint, bool start) {
        if (start) {
            usb_redir_start_interrupt_receiving_header h{endpoint};
            usbredirparser_send_start_interrupt_receiving(parser_, ++id_, &h);
        } else {
            usb_redir_stop_interrupt_receiving_header h{endpoint};
            usbredirparser_send_stop_interrupt_receiving(parser_, ++id_, &h);
        }
        return id_;
    }

    bool connected_ = false;
    bool hello_ = false;
    bool closed_ = false;
    int disconnects_ = 0;
    std::optional<usb_redir_device_connect_header> device_;
    usb_redir_ep_info_header endpoints_{};
    std::map<uint64_t, Reply> replies_;

private:
    static Peer& self(void* p) { return *static_cast<Peer*>(p); }
    int fd_ = -1;
    usbredirparser* parser_ = nullptr;
    uint64_t id_ = 0;
};

class UsbRedir : public ::testing::Test {
protected:
    void SetUp() override {
        vboard::serve::BoardOptions options;
        options.firmware_loaded = true;
        options.fast = true;
        std::string error;
        auto session = vboard::serve::Session::create(options, error);
        ASSERT_TRUE(session) << error;
        server = vboard::usbredir::Server::start(std::move(session), 0, [this](const std::string& line) {
            log.push_back(line);
        }, error);
        ASSERT_TRUE(server) << error;
    }

    // Runs the board and the peers until `done` holds; false after a bound.
    bool pump(const std::function<bool()>& done, std::vector<Peer*> peers) {
        for (int i = 0; i < 20000; ++i) {
            if (done()) return true;
            server->step(0);
            for (Peer* p : peers) p->io();
        }
        return done();
    }
    // Lets 100 ms of simulated time pass.
    void run(std::vector<Peer*> peers) {
        for (int i = 0; i < 20; ++i) {
            server->step(0);
            for (Peer* p : peers) p->io();
        }
    }
    std::unique_ptr<Peer> connected_peer() {
        auto peer = std::make_unique<Peer>(server->port());
        EXPECT_TRUE(peer->connected_);
        EXPECT_TRUE(pump([&] { return peer->device_.has_value(); }, {peer.get()})) << "no device connect";
        return peer;
    }
    Peer::Reply reply(Peer& peer, uint64_t id) {
        EXPECT_TRUE(pump([&] { return peer.replies_.contains(id); }, {&peer})) << "no reply to " << id;
        return peer.replies_[id];
    }

    std::unique_ptr<vboard::usbredir::Server> server;
    std::vector<std::string> log;
};

TEST_F(UsbRedir, ThePeerSeesTheBoardAndMovesDataThroughTheHostModel) {
    auto peer = connected_peer();
    EXPECT_EQ(peer->device_->vendor_id, 0x0547);
    EXPECT_EQ(peer->device_->product_id, 0x2131);
    EXPECT_EQ(peer->device_->speed, usb_redir_speed_full);
    // ep_info indexes OUT endpoints 0-15, IN endpoints 16-31.
    EXPECT_EQ(peer->endpoints_.type[1], usb_redir_type_bulk);
    EXPECT_EQ(peer->endpoints_.type[16 + 1], usb_redir_type_interrupt);
    EXPECT_EQ(peer->endpoints_.type[16 + 2], usb_redir_type_bulk);
    EXPECT_EQ(peer->endpoints_.type[8], usb_redir_type_invalid);
    EXPECT_EQ(peer->endpoints_.max_packet_size[16 + 2], 64);

    const Peer::Reply text = reply(*peer, peer->control(0x80, 6, 0x0301, 0x0409, 255));
    EXPECT_EQ(text.status, usb_redir_success);
    EXPECT_EQ(text.data, (Bytes{10, 3, 'N', 0, 'E', 0, 'B', 0, 'U', 0}));
    // The card tool's bus set-up script, then its one-byte reply: card present.
    const Peer::Reply sent = reply(*peer, peer->bulk(0x01, {0x00, 0x14, 0x07, 0xF1, 0x12, 0x24}));
    EXPECT_EQ(sent.status, usb_redir_success);
    EXPECT_EQ(sent.length, 6u);
    const Peer::Reply levels = reply(*peer, peer->bulk(0x82, {}, 64));
    EXPECT_EQ(levels.status, usb_redir_success);
    ASSERT_EQ(levels.data.size(), 1u);
    EXPECT_TRUE(levels.data[0] & 0x08);
    // Refused before reaching the bus: an endpoint the board does not have,
    // and a transfer type the endpoint is not.
    EXPECT_EQ(reply(*peer, peer->bulk(0x88, {}, 64)).status, usb_redir_inval);
    EXPECT_EQ(reply(*peer, peer->bulk(0x81, {}, 64)).status, usb_redir_inval);
}

// The requests QEMU turns into packets of their own reach the firmware as
// the standard requests; what the firmware refuses comes back stalled.
TEST_F(UsbRedir, ConfigurationAlternateSettingInterruptReceivingAndStalls) {
    auto peer = connected_peer();
    struct Case {
        const char* what;
        std::function<uint64_t()> send;
        uint8_t status;
        Bytes data;
    };
    const Case cases[] = {
        {"SET_CONFIGURATION 1", [&] { return peer->set_configuration(1); }, usb_redir_success, {1}},
        {"GET_CONFIGURATION", [&] { return peer->get_configuration(); }, usb_redir_success, {1}},
        {"SET_INTERFACE 0, 0", [&] { return peer->set_alt_setting(0, 0); }, usb_redir_success, {0, 0}},
        {"GET_INTERFACE 0", [&] { return peer->get_alt_setting(0); }, usb_redir_success, {0, 0}},
        {"vendor request 0x55", [&] { return peer->control(0x40, 0x55, 0, 0, 0); }, usb_redir_stall, {}},
        {"GET_DESCRIPTOR string 3", [&] { return peer->control(0x80, 6, 0x0303, 0x0409, 255); }, usb_redir_stall,
         {}},
        {"receive EP1 IN", [&] { return peer->interrupt_receiving(0x81, true); }, usb_redir_success, {0x81}},
        {"receive EP2 IN (bulk)", [&] { return peer->interrupt_receiving(0x82, true); }, usb_redir_inval, {0x82}},
        {"stop EP1 IN", [&] { return peer->interrupt_receiving(0x81, false); }, usb_redir_success, {0x81}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Peer::Reply r = reply(*peer, c.send());
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.data, c.data);
    }
    // The board still answers after all of that.
    EXPECT_EQ(reply(*peer, peer->bulk(0x01, {0x00, 0x14, 0x07, 0xF1, 0x12, 0x24})).status, usb_redir_success);
    EXPECT_EQ(reply(*peer, peer->bulk(0x82, {}, 64)).data.size(), 1u);
}

TEST_F(UsbRedir, GarbageAndASecondPeerLeaveTheBoardServing) {
    auto first = connected_peer();
    Peer second(server->port());  // one at a time: refused
    EXPECT_TRUE(pump([&] { second.io(); return second.closed_; }, {first.get()}));

    const Bytes garbage(200, 0xA5);
    ASSERT_EQ(send(first->fd(), garbage.data(), garbage.size(), MSG_NOSIGNAL), 200);
    EXPECT_TRUE(pump([&] { return !server->connected(); }, {}));

    auto next = connected_peer();
    EXPECT_EQ(reply(*next, next->control(0x80, 6, 0x0100, 0, 18)).data.size(), 18u);
}

TEST_F(UsbRedir, CancelledAndAbandonedTransfersLeaveNothingBehind) {
    auto peer = connected_peer();
    // Reads with nothing to read: the board NAKs them until cancelled.
    std::vector<uint64_t> reads;
    for (int i = 0; i < 5; ++i) reads.push_back(peer->bulk(0x82, {}, 64));
    run({peer.get()});
    EXPECT_EQ(peer->replies_.size(), 0u);
    for (uint64_t id : reads) peer->cancel(id);
    for (uint64_t id : reads) EXPECT_EQ(reply(*peer, id).status, usb_redir_cancelled);

    // One more read, and the peer goes away before it is answered.
    peer->bulk(0x82, {}, 64);
    run({peer.get()});
    peer->hang_up();
    EXPECT_TRUE(pump([&] { return !server->connected(); }, {}));

    // Had any of those reads stayed on the bus, it would take this reply.
    auto next = connected_peer();
    EXPECT_EQ(reply(*next, next->bulk(0x01, {0x00, 0x14, 0x07, 0xF1, 0x12, 0x24})).status, usb_redir_success);
    const Peer::Reply levels = reply(*next, next->bulk(0x82, {}, 64));
    EXPECT_EQ(levels.status, usb_redir_success);
    EXPECT_EQ(levels.data.size(), 1u);
}

}  // namespace

// Control packets for another endpoint or with the endpoint byte against the
// request type are answered, not run; a flood is answered in full; a half-sent
// header is not waited for forever.
TEST_F(UsbRedir, CrossedControlPacketsAFloodAndAHalfSentHeader) {
    auto flooder = connected_peer();
    EXPECT_EQ(reply(*flooder, flooder->control(0x80, 6, 0x0100, 0, 18, 0x00, Bytes(18))).status, usb_redir_inval);
    EXPECT_EQ(reply(*flooder, flooder->control(0x80, 6, 0x0100, 0, 18, 0x81)).status, usb_redir_inval);
    const size_t before = flooder->replies_.size(), flood = 5000;
    for (size_t i = 0; i < flood; ++i) flooder->control(0x80, 6, 0x0100, 0, 18);
    EXPECT_TRUE(pump([&] { return flooder->replies_.size() == before + flood; }, {flooder.get()}));
    // Half a header, then nothing: sent away after 5 s (1,000 steps of 5 ms).
    ASSERT_EQ(send(flooder->fd(), "\x64\0\0\0\x0a", 5, MSG_NOSIGNAL), 5);
    int steps = 0;
    EXPECT_TRUE(pump([&] { return ++steps, !server->connected(); }, {})) << steps;
    EXPECT_GT(steps, 900);
}
