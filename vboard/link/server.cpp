// The board's side of the link: connections, their frames, their replies.

#include "link/server.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <tuple>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vboard::link {

namespace {

// Replies waiting to be written beyond this stop the reading of requests.
constexpr size_t backlog_limit = 64 * 1024;

}  // namespace

struct Server::Connection {
    int fd = -1;
    uint64_t number = 0;
    FrameReader reader;
    std::vector<uint8_t> out;
    size_t out_pos = 0;
    bool asked_open = false;
    std::optional<uint64_t> handle;
    bool peer_closed = false;
    bool ended = false;
    Clock::time_point partial_since{};
    Clock::time_point last_heard{};  // connected, or the last bytes received

    size_t backlog() const { return out.size() - out_pos; }
};

Server::Server(Listener& listener, Service& service, Log log)
    : listener_(listener), service_(service), log_(std::move(log))
{
}

Server::~Server()
{
    for (auto& c : connections_)
        end(*c, "");
}

int Server::poll_once(int timeout_ms)
{
    // A message left unfinished must not wait past its limit.
    const Clock::time_point now = clock();
    for (const auto& c : connections_) {
        if (c->reader.partial() == 0 && c->asked_open)
            continue;
        const Clock::time_point since = c->reader.partial() > 0 ? c->partial_since : c->last_heard;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              since + std::chrono::milliseconds(stall_limit_ms) - now)
                              .count();
        timeout_ms = static_cast<int>(std::clamp<long long>(left + 1, 0, timeout_ms));
    }

    std::vector<pollfd> fds;
    fds.push_back({listener_.fd(), POLLIN, 0});
    for (const auto& c : connections_) {
        short events = 0;
        if (!c->peer_closed && c->backlog() < backlog_limit)
            events |= POLLIN;
        if (c->backlog() > 0)
            events |= POLLOUT;
        fds.push_back({c->fd, events, 0});
    }
    const int ready = ::poll(fds.data(), fds.size(), timeout_ms);
    if (ready < 0)
        return 0;  // interrupted: the owner looks at its signals

    int served = 0;
    const size_t existing = connections_.size();
    for (size_t k = 0; k < existing; ++k) {
        Connection& c = *connections_[k];
        const short got = fds[k + 1].revents;
        if (got & (POLLIN | POLLHUP | POLLERR))
            read_from(c);
        if (!c.ended)
            served += serve(c);
        if (!c.ended && c.backlog() > 0)
            write_to(c);
        if (!c.ended && c.peer_closed) {
            if (c.reader.partial() > 0)
                end(c, "connection closed inside a message (" + std::to_string(c.reader.partial()) +
                           " bytes of it)");
            else
                end(c, "");
        }
        if (!c.ended && c.reader.partial() > 0 &&
            clock() - c.partial_since >= std::chrono::milliseconds(stall_limit_ms))
            end(c, "message left unfinished for " + std::to_string(stall_limit_ms) + " ms");
        if (!c.ended && !c.asked_open && clock() - c.last_heard >= std::chrono::milliseconds(stall_limit_ms))
            end(c, "no open request within " + std::to_string(stall_limit_ms) + " ms");
    }
    if (fds[0].revents & POLLIN)
        accept_new();

    std::erase_if(connections_, [](const auto& c) { return c->ended; });
    return served;
}

void Server::accept_new()
{
    for (;;) {
        const int fd = ::accept4(listener_.fd(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR)
                continue;
            return;  // nothing more waiting (or a transient failure: the next poll retries)
        }
        const uint64_t number = next_number_++;
        std::erase_if(connections_, [](const auto& c) { return c->ended; });
        if (connections_.size() >= static_cast<size_t>(max_connections)) {
            // The newcomer may be the client everyone waits for; the peer
            // that has been quiet longest gives way.
            auto quiet = std::min_element(connections_.begin(), connections_.end(), [](const auto& a, const auto& b) {
                return a->last_heard < b->last_heard;
            });
            end(**quiet, "ended to make room: " + std::to_string(max_connections) +
                             " connections were open and this one was the quietest");
            connections_.erase(quiet);
        }
        auto c = std::make_unique<Connection>();
        c->fd = fd;
        c->number = number;
        c->last_heard = clock();
        connections_.push_back(std::move(c));
    }
}

void Server::read_from(Connection& c)
{
    const size_t before = c.reader.partial();
    uint8_t chunk[16 * 1024];
    for (;;) {
        const ssize_t n = ::recv(c.fd, chunk, sizeof chunk, 0);
        if (n > 0) {
            c.last_heard = clock();
            c.reader.feed({chunk, static_cast<size_t>(n)});
            if (c.reader.partial() > max_body_length + 4 + sizeof chunk)
                break;  // enough to find the next frame; the rest waits in the socket
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            c.peer_closed = true;
        break;
    }
    if (before == 0 && c.reader.partial() > 0)
        c.partial_since = clock();
}

int Server::serve(Connection& c)
{
    int served = 0;
    std::vector<uint8_t> body;
    std::string error;
    while (!c.ended && c.backlog() < backlog_limit) {
        const FrameReader::Result got = c.reader.next(body, error);
        if (got == FrameReader::Result::need_more)
            break;
        if (got == FrameReader::Result::error) {
            end(c, error);
            break;
        }
        if (c.reader.partial() > 0)
            c.partial_since = clock();  // the next message has begun
        std::optional<Request> request = decode_request(body, error);
        if (!request) {
            end(c, error);
            break;
        }
        if (const auto* open = std::get_if<OpenRequest>(&*request)) {
            if (c.asked_open) {
                end(c, "second open request on one connection");
                break;
            }
            c.asked_open = true;
            if (open->device == static_cast<uint32_t>(listener_.device()))
                c.handle = service_.open(open->device);
            OpenReply opened;
            if (c.handle) {
                opened.present = true;
                std::tie(opened.vendor_id, opened.product_id) = service_.device_ids(*c.handle);
            }
            queue(c, encode(opened));
        } else {
            const auto& call = std::get<ControlRequest>(*request);
            if (!c.handle) {
                end(c, "control call on a connection without an open device");
                break;
            }
            ControlReply reply = service_.control(*c.handle, call);
            if (reply.out.size() > call.out_length)
                reply.out.resize(call.out_length);
            queue(c, *encode(reply));
        }
        ++served;
    }
    return served;
}

void Server::queue(Connection& c, const std::vector<uint8_t>& frame)
{
    if (c.out_pos == c.out.size()) {
        c.out.clear();
        c.out_pos = 0;
    }
    c.out.insert(c.out.end(), frame.begin(), frame.end());
}

void Server::write_to(Connection& c)
{
    while (c.backlog() > 0) {
        const ssize_t n = ::send(c.fd, c.out.data() + c.out_pos, c.backlog(), MSG_NOSIGNAL);
        if (n > 0) {
            c.out_pos += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        end(c, "");  // the peer went away; its replies have no reader
        return;
    }
    c.out.clear();
    c.out_pos = 0;
}

void Server::end(Connection& c, const std::string& why)
{
    if (c.ended)
        return;
    c.ended = true;
    if (!why.empty())
        log_("connection " + std::to_string(c.number) + ": " + why);
    ::close(c.fd);
    if (c.handle)
        service_.close(*c.handle);
}

}  // namespace vboard::link
