// Where a program finds a running virtual board, and the two ends of the
// connection to it.
//
// A board numbered N listens on the Unix-domain socket "ezusb-N" in the
// rendezvous directory, which both ends compute the same way, with no option
// or file:
//   $XDG_RUNTIME_DIR/nebu-vboard   when XDG_RUNTIME_DIR is an absolute path,
//   /tmp/nebu-vboard-<uid>         otherwise.
// Only this user may use the directory: the board creates it with mode 0700,
// and both ends refuse one that is a symbolic link, is owned by someone else
// or is open to group or others. The board also holds a lock on "ezusb-N.lock"
// there while it runs, so that a second board with the same number is refused
// and a socket left by a board that died is replaced.
#pragma once

#include "link/frames.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace vboard::link {

std::string rendezvous_directory();
std::string socket_path(const std::string& directory, int device);

// The directory exists and is safe to use (see above); else one line in `error`.
bool directory_safe(const std::string& directory, std::string& error);
// Creates the directory (mode 0700) when it does not exist, then checks it.
bool prepare_directory(const std::string& directory, std::string& error);

// The program's end of one connection: one blocking call at a time.
class Client {
public:
    // Connects to board `device` and opens it: null when no board listens
    // there, the directory is unsafe, or the board's device is not present.
    static std::unique_ptr<Client> open(const std::string& directory, int device);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // One control call. Nothing when the connection fails or the board's
    // reply is malformed; the connection is then broken and every later call
    // fails too. A request over the size limits fails without being sent and
    // leaves the connection as it was.
    std::optional<ControlReply> call(const ControlRequest& request);
    bool broken() const { return fd_ < 0; }
    // The IDs of the device opened, from its device descriptor.
    uint16_t vendor_id() const { return vendor_id_; }
    uint16_t product_id() const { return product_id_; }

private:
    explicit Client(int fd) : fd_(fd) {}
    std::optional<Reply> exchange(const std::vector<uint8_t>& frame);
    void disconnect();

    int fd_;
    FrameReader reader_;
    uint16_t vendor_id_ = 0;
    uint16_t product_id_ = 0;
};

// The board's end: the listening socket for board `device`.
class Listener {
public:
    // Prepares the directory, takes the lock, replaces a stale socket and
    // listens. Null with one line in `error` when any step fails (another
    // board with that number runs, the directory is unsafe, the path is too
    // long for a socket address).
    static std::unique_ptr<Listener> open(const std::string& directory, int device,
                                          std::string& error);
    // Removes the socket and the lock file, then releases the lock.
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    int fd() const { return fd_; }
    int device() const { return device_; }
    const std::string& path() const { return path_; }

private:
    Listener(int fd, int lock_fd, int device, std::string path)
        : fd_(fd), lock_fd_(lock_fd), device_(device), path_(std::move(path))
    {
    }

    int fd_;
    int lock_fd_;
    int device_;
    std::string path_;
};

}  // namespace vboard::link
