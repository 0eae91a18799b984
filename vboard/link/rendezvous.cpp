// The rendezvous directory, the client's blocking connection and the board's
// listening socket.

#include "link/rendezvous.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace vboard::link {

namespace {

std::string errno_text(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

// The socket address of `path`, or false when the path does not fit.
bool socket_address(const std::string& path, sockaddr_un& address)
{
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

bool send_all(int fd, const std::vector<uint8_t>& bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

std::string rendezvous_directory()
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/')
        return std::string(runtime) + "/nebu-vboard";
    return "/tmp/nebu-vboard-" + std::to_string(::getuid());
}

std::string socket_path(const std::string& directory, int device)
{
    return directory + "/ezusb-" + std::to_string(device);
}

bool directory_safe(const std::string& directory, std::string& error)
{
    struct stat st{};
    if (::lstat(directory.c_str(), &st) != 0) {
        error = errno_text(directory);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        error = directory + " is not a directory";
        return false;
    }
    if (st.st_uid != ::geteuid()) {
        error = directory + " belongs to user " + std::to_string(st.st_uid) + ", not to this user";
        return false;
    }
    if ((st.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        error = directory + " is open to other users (mode " + mode + ")";
        return false;
    }
    return true;
}

bool prepare_directory(const std::string& directory, std::string& error)
{
    if (::mkdir(directory.c_str(), 0700) == 0) {
        // The umask may have taken bits away; the directory is ours alone.
        if (::chmod(directory.c_str(), 0700) != 0) {
            error = errno_text(directory);
            return false;
        }
    } else if (errno != EEXIST) {
        error = errno_text("cannot create " + directory);
        return false;
    }
    return directory_safe(directory, error);
}

// ---- Client ---------------------------------------------------------------

std::unique_ptr<Client> Client::open(const std::string& directory, int device)
{
    std::string ignored;
    sockaddr_un address{};
    if (device < 0 || !directory_safe(directory, ignored) ||
        !socket_address(socket_path(directory, device), address))
        return nullptr;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return nullptr;
    int r;
    do
        r = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    while (r != 0 && errno == EINTR);
    if (r != 0) {
        ::close(fd);
        return nullptr;
    }
    std::unique_ptr<Client> client(new Client(fd));
    const std::optional<Reply> reply =
        client->exchange(encode(OpenRequest{static_cast<uint32_t>(device)}));
    const auto* opened = reply ? std::get_if<OpenReply>(&*reply) : nullptr;
    if (opened == nullptr || !opened->present)
        return nullptr;
    client->vendor_id_ = opened->vendor_id;
    client->product_id_ = opened->product_id;
    return client;
}

Client::~Client()
{
    disconnect();
}

void Client::disconnect()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

std::optional<ControlReply> Client::call(const ControlRequest& request)
{
    if (fd_ < 0)
        return std::nullopt;
    const std::optional<std::vector<uint8_t>> frame = encode(request);
    if (!frame)
        return std::nullopt;
    std::optional<Reply> reply = exchange(*frame);
    auto* answer = reply ? std::get_if<ControlReply>(&*reply) : nullptr;
    if (answer == nullptr || answer->out.size() > request.out_length) {
        disconnect();
        return std::nullopt;
    }
    return std::move(*answer);
}

std::optional<Reply> Client::exchange(const std::vector<uint8_t>& frame)
{
    if (fd_ < 0 || !send_all(fd_, frame)) {
        disconnect();
        return std::nullopt;
    }
    std::vector<uint8_t> body;
    std::string error;
    for (;;) {
        const FrameReader::Result got = reader_.next(body, error);
        if (got == FrameReader::Result::frame)
            break;
        if (got == FrameReader::Result::error) {
            disconnect();
            return std::nullopt;
        }
        uint8_t chunk[16 * 1024];
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            disconnect();
            return std::nullopt;
        }
        reader_.feed({chunk, static_cast<size_t>(n)});
    }
    std::optional<Reply> reply = decode_reply(body, error);
    if (!reply)
        disconnect();
    return reply;
}

// ---- Listener -------------------------------------------------------------

std::unique_ptr<Listener> Listener::open(const std::string& directory, int device,
                                         std::string& error)
{
    if (device < 0) {
        error = "device number " + std::to_string(device) + " is negative";
        return nullptr;
    }
    if (!prepare_directory(directory, error))
        return nullptr;
    const std::string path = socket_path(directory, device);
    sockaddr_un address{};
    if (!socket_address(path, address)) {
        error = path + " is too long for a socket address";
        return nullptr;
    }

    const std::string lock_path = path + ".lock";
    int lock_fd = -1;
    // A board that ends removes its lock file while it still holds the lock;
    // a lock taken on a file that is no longer at the path is taken again.
    for (int attempt = 0;; ++attempt) {
        lock_fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (lock_fd < 0) {
            error = errno_text(lock_path);
            return nullptr;
        }
        if (::flock(lock_fd, LOCK_EX | LOCK_NB) != 0) {
            error = errno == EWOULDBLOCK ? "board " + std::to_string(device) + " is already running (" +
                                               path + ")"
                                         : errno_text(lock_path);
            ::close(lock_fd);
            return nullptr;
        }
        struct stat held {}, named {};
        if (::fstat(lock_fd, &held) == 0 && ::lstat(lock_path.c_str(), &named) == 0 &&
            held.st_dev == named.st_dev && held.st_ino == named.st_ino)
            break;
        ::close(lock_fd);
        if (attempt == 100) {
            error = lock_path + " keeps being replaced";
            return nullptr;
        }
    }

    // Whatever is at the path was left by a board that is gone: the lock is ours.
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        error = errno_text("cannot remove " + path);
        ::close(lock_fd);
        return nullptr;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = errno_text("socket");
        ::close(lock_fd);
        return nullptr;
    }
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 16) != 0) {
        error = errno_text(path);
        ::close(fd);
        ::unlink(path.c_str());
        ::close(lock_fd);
        return nullptr;
    }
    return std::unique_ptr<Listener>(new Listener(fd, lock_fd, device, path));
}

Listener::~Listener()
{
    ::unlink(path_.c_str());
    ::close(fd_);
    // Removed while still held, so that the next board never locks a file
    // that is about to disappear (it checks what it locked).
    ::unlink((path_ + ".lock").c_str());
    ::close(lock_fd_);
}

}  // namespace vboard::link
