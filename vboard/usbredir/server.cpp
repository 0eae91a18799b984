// The listening socket, the one peer and the loop that runs the board.

#include "usbredir/server.h"

#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "serve/board_server.h"

namespace vboard::usbredir {

std::unique_ptr<Server> Server::start(std::unique_ptr<serve::Session> session, uint16_t port, Log log,
                                      std::string& error) {
    std::unique_ptr<Server> s(new Server);
    s->session_ = std::move(session);
    s->log_ = std::move(log);
    s->listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s->listen_fd_ < 0) {
        error = std::string("cannot make a socket: ") + std::strerror(errno);
        return nullptr;
    }
    const int one = 1;
    setsockopt(s->listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s->listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(s->listen_fd_, 1) != 0) {
        error = "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno);
        return nullptr;
    }
    socklen_t length = sizeof address;
    getsockname(s->listen_fd_, reinterpret_cast<sockaddr*>(&address), &length);
    s->port_ = ntohs(address.sin_port);
    s->settled_ = s->session_->settle(serve::BoardServer::settle_limit_ms);
    s->pacer_ = std::make_unique<serve::Pacer>(s->session_->host(), s->session_->options().fast);
    return s;
}

Server::~Server() {
    bridge_.reset();
    if (peer_fd_ >= 0) close(peer_fd_);
    if (listen_fd_ >= 0) close(listen_fd_);
}

void Server::accept_peer() {
    const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    if (bridge_) {
        log_("refused a second peer: one connection at a time");
        close(fd);
        return;
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    peer_fd_ = fd;
    bridge_ = std::make_unique<Bridge>(session_->host(), fd, log_);
    log_("peer connected");
}

void Server::drop_peer(const std::string& why) {
    log_("peer gone: " + why);
    bridge_.reset();  // cancels what the peer had under way on the board
    close(peer_fd_);
    peer_fd_ = -1;
}

void Server::step(int max_wait_ms) {
    const int wait = pacer_->advance();
    if (bridge_) {
        bridge_->update();
        if (!bridge_->write()) return drop_peer(bridge_->why());
    }
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {peer_fd_, 0, 0}};
    nfds_t count = 1;
    if (bridge_) {
        fds[1].events = static_cast<short>((bridge_->wants_read() ? POLLIN : 0) | (bridge_->wants_write() ? POLLOUT : 0));
        count = 2;
    }
    // Transfers under way finish as simulated time runs: come back soon.
    const int timeout = std::min(wait, bridge_ && bridge_->outstanding() > 0 ? 1 : max_wait_ms);
    if (poll(fds, count, std::max(timeout, 0)) <= 0) return;
    if (fds[0].revents & POLLIN) accept_peer();
    if (count == 2 && bridge_ && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
        if (!bridge_->read()) return drop_peer(bridge_->why());
        bridge_->update();
        if (!bridge_->write()) return drop_peer(bridge_->why());
    }
}

}  // namespace vboard::usbredir
