// `vboard serve --usbredir PORT`: the board's USB port offered on
// 127.0.0.1:PORT to one usb-redir peer at a time (QEMU's usb-redir device on
// a socket chardev). The board runs on, paced to the wall clock, whether or
// not a peer is connected; a peer that goes away, or is sent away for
// breaking the protocol, leaves the board as it is and the port open for the
// next one.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "serve/pacer.h"
#include "serve/session.h"
#include "usbredir/bridge.h"

namespace vboard::usbredir {

class Server {
public:
    // Listens on 127.0.0.1:`port` (0: a free port, see port()) and lets the
    // board run (not paced) until it has enumerated. Null with one line in
    // `error` when the port cannot be taken.
    static std::unique_ptr<Server> start(std::unique_ptr<serve::Session> session, uint16_t port, Log log,
                                         std::string& error);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Runs the board up to the wall clock and serves the peer, waiting at
    // most `max_wait_ms` for it.
    void step(int max_wait_ms);

    uint16_t port() const { return port_; }
    bool connected() const { return bridge_ != nullptr; }
    bool settled() const { return settled_; }
    serve::Session& session() { return *session_; }

private:
    Server() = default;
    void accept_peer();
    void drop_peer(const std::string& why);

    std::unique_ptr<serve::Session> session_;
    std::unique_ptr<serve::Pacer> pacer_;
    Log log_;
    int listen_fd_ = -1;
    int peer_fd_ = -1;
    uint16_t port_ = 0;
    bool settled_ = false;
    std::unique_ptr<Bridge> bridge_;
};

}  // namespace vboard::usbredir
