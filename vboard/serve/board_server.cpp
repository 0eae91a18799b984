// A served board: set-up and one step of its loop.

#include "serve/board_server.h"

#include <algorithm>

namespace vboard::serve {

std::unique_ptr<BoardServer> BoardServer::start(std::unique_ptr<Session> session, const std::string& directory,
                                                link::Server::Log log, std::string& error)
{
    std::unique_ptr<BoardServer> s(new BoardServer);
    s->session_ = std::move(session);
    const BoardOptions& options = s->session_->options();
    s->listener_ = link::Listener::open(directory, options.device, error);
    if (!s->listener_)
        return nullptr;
    s->settled_ = s->session_->settle(settle_limit_ms);
    s->pacer_ = std::make_unique<Pacer>(s->session_->host(), options.fast);
    s->service_ = std::make_unique<DriverService>(s->session_->driver(), *s->pacer_);
    s->server_ = std::make_unique<link::Server>(*s->listener_, *s->service_, std::move(log));
    return s;
}

void BoardServer::step(int max_wait_ms)
{
    const int wait = pacer_->advance();
    server_->poll_once(std::min(wait, max_wait_ms));
}

}  // namespace vboard::serve
