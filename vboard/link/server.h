// The board's side of the link: accepts connections on a listener and serves
// their requests through a Service, one whole request at a time.
//
// Single-threaded: the owner calls poll_once() in its loop, between running
// the board. A connection whose peer sends a malformed message, ends inside a
// message, or leaves a message unfinished for `stall_limit_ms` is ended with
// one line to the log; the others go on. Replies are written without
// blocking; a connection whose replies pile up unread is not read from until
// they drain.
//
// Connections that sit idle cannot lock a real client out: one that has not
// opened the device within `stall_limit_ms` of connecting is ended, and when
// `max_connections` are open a new connection takes the place of the one
// that has been quiet longest.
#pragma once

#include "link/frames.h"
#include "link/rendezvous.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vboard::link {

// What the connections reach.
class Service {
public:
    virtual ~Service() = default;
    // A connection asks for the device: its handle, or nothing when the
    // device is not present.
    virtual std::optional<uint64_t> open(uint32_t device) = 0;
    // The vendor and product IDs of the device behind an open handle.
    virtual std::pair<uint16_t, uint16_t> device_ids(uint64_t handle) = 0;
    virtual ControlReply control(uint64_t handle, const ControlRequest& request) = 0;
    // The connection that opened the handle has ended.
    virtual void close(uint64_t handle) = 0;
};

class Server {
public:
    using Log = std::function<void(const std::string& line)>;

    Server(Listener& listener, Service& service, Log log);
    ~Server();  // ends every connection
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Waits up to `timeout_ms` (0: not at all) for something to do, then
    // accepts new connections, serves every whole request that has arrived
    // and writes what it can of the replies. Returns the requests served.
    int poll_once(int timeout_ms);

    size_t connections() const { return connections_.size(); }

    static constexpr int max_connections = 32;
    int stall_limit_ms = 5000;

    // The clock that times unfinished messages (tests replace it).
    using Clock = std::chrono::steady_clock;
    std::function<Clock::time_point()> clock = [] { return Clock::now(); };

private:
    struct Connection;

    void accept_new();
    void read_from(Connection& c);
    int serve(Connection& c);
    void write_to(Connection& c);
    void end(Connection& c, const std::string& why);
    void queue(Connection& c, const std::vector<uint8_t>& frame);

    Listener& listener_;
    Service& service_;
    Log log_;
    std::vector<std::unique_ptr<Connection>> connections_;
    uint64_t next_number_ = 1;
};

}  // namespace vboard::link
