// The board behind the Windows-call stand-in (systems other than Windows).
//
// CreateFileA parses "\\.\ezusb-N" and asks the installed backend to open
// device N; the stand-in then hands out an opaque HANDLE of its own and maps
// it to the backend's connection. DeviceIoControl and CloseHandle reach the
// backend only for handles it handed out and that are still open; Sleep always
// reaches the backend.
//
// One backend is installed at a time. Until another is installed, the default
// backend answers (winapi/default_backend.h): a running virtual board, else a
// real board through libusb, else nothing plugged in.
// The stand-in serves one calling thread at a time.
#pragma once

#include "winapi/boards.h"
#include "winapi/winapi.h"

#include <cstdint>
#include <optional>
#include <vector>

#ifdef _WIN32
#error "winapi/backend.h is for the stand-in; Windows has the real driver"
#endif

namespace winapi {

// What CreateFileA was asked for, with the device number parsed from the path.
struct OpenRequest {
    int device;          // N of "\\.\ezusb-N", 0 to INT_MAX
    const char* path;    // the whole path, as given
    DWORD access;        // dwDesiredAccess
    DWORD share_mode;    // dwShareMode
    DWORD disposition;   // dwCreationDisposition
    DWORD flags;         // dwFlagsAndAttributes
};

// The backend's own name for one open connection to a board.
using Connection = std::uint64_t;

class Backend {
public:
    virtual ~Backend() = default;

    // A new connection to the device, or nothing when no board answers for it.
    virtual std::optional<Connection> open(const OpenRequest& request) = 0;

    // One synchronous control call on an open connection. `in` holds
    // `in_length` bytes (may be null when 0); `out` is the caller's output
    // buffer of `out_length` bytes (may be null when 0; bulk writes pass their
    // data here). `*returned` is 0 on entry; the backend sets the byte count it
    // reports. Returns the driver's result as Windows would (0 is failure).
    virtual BOOL io_control(Connection connection, DWORD code, const void* in, DWORD in_length,
                            void* out, DWORD out_length, DWORD* returned) = 0;

    // Ends a connection; it is not used again.
    virtual void close(Connection connection) = 0;

    virtual void sleep(DWORD milliseconds) = 0;

    // The boards this backend reaches now, by ascending device number
    // (winapi/boards.h says what an entry holds). Listing downloads nothing,
    // sends nothing to a board's endpoints and leaves nothing open; it is
    // what list_boards() returns while the backend is installed. A backend
    // that cannot tell lists none.
    virtual std::vector<BoardEntry> list() { return {}; }
};

// Installs `backend` (null: the no-board backend) and returns the one it
// replaces (never null). The backend must outlive its installation. Handles
// handed out before are forgotten: calls on them fail, and their connections
// are not closed on the backend that is replaced.
Backend* install_backend(Backend* backend);

// The backend in force until another is installed: nothing plugged in.
Backend& no_board_backend();

// Installs a backend for the life of the scope, then puts the previous back.
class ScopedBackend {
public:
    explicit ScopedBackend(Backend& backend) : previous_(install_backend(&backend)) {}
    ~ScopedBackend() { install_backend(previous_); }
    ScopedBackend(const ScopedBackend&) = delete;
    ScopedBackend& operator=(const ScopedBackend&) = delete;

private:
    Backend* previous_;
};

}  // namespace winapi
