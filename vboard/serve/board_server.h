// A board served on its rendezvous socket: the session (board, host,
// driver), the pacer that keeps it in step with the wall clock, and the link
// server whose connections reach the driver.
#pragma once

#include "link/rendezvous.h"
#include "link/server.h"
#include "serve/driver_service.h"
#include "serve/pacer.h"
#include "serve/session.h"

#include <functional>
#include <memory>
#include <string>

namespace vboard::serve {

class BoardServer {
public:
    // Takes the board's place in `directory` and lets it run (not paced)
    // until it has enumerated, so that it is ready for programs when this
    // returns; from then on it is paced unless its options say --fast. Null
    // with one line in `error` when the socket cannot be taken. `log`
    // receives the server's one-line reports.
    static std::unique_ptr<BoardServer> start(std::unique_ptr<Session> session, const std::string& directory,
                                              link::Server::Log log, std::string& error);

    // Runs the board and serves what has arrived, waiting at most
    // `max_wait_ms` for requests.
    void step(int max_wait_ms);

    Session& session() { return *session_; }
    const std::string& socket_path() const { return listener_->path(); }
    bool settled() const { return settled_; }

    // How long the board may run before programs are served, in simulated ms.
    static constexpr uint32_t settle_limit_ms = 10'000;

private:
    BoardServer() = default;

    std::unique_ptr<Session> session_;
    std::unique_ptr<Pacer> pacer_;
    std::unique_ptr<DriverService> service_;
    std::unique_ptr<link::Listener> listener_;
    std::unique_ptr<link::Server> server_;
    bool settled_ = false;
};

}  // namespace vboard::serve
