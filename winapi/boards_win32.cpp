// The boards on Windows: the driver's device paths that open, and for the
// numbers where none opens, the boards bound to WinUSB in key order, as the
// router's CreateFileA would take them.

#include "winapi/boards.h"
#include "winapi/route.h"  // the real kernel32 calls: a listing must not reach WinUSB through them

#include <algorithm>
#include <cstdio>

namespace winapi {

namespace {

// The driver numbers boards from 0 as they arrive; a board unplugged leaves
// a gap, so the search runs past gaps up to this many numbers.
constexpr int device_numbers = 32;

}  // namespace

// The general-purpose driver's calls carry no device descriptor, so the IDs
// stay unknown there; a WinUSB board's come from its interface path.
std::vector<BoardEntry> list_boards()
{
    const std::vector<winusb::Listed> winusb = route::winusb_boards();
    const int numbers = std::max(device_numbers, static_cast<int>(winusb.size()));
    std::vector<BoardEntry> boards;
    for (int n = 0; n < numbers; ++n) {
        char path[32];
        std::snprintf(path, sizeof path, "\\\\.\\ezusb-%d", n);
        const HANDLE handle =
            ::CreateFileA(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        BoardEntry board;
        board.device = n;
        if (handle != INVALID_HANDLE_VALUE) {
            ::CloseHandle(handle);
            board.reached = std::string("driver ") + path;
        } else if (static_cast<std::size_t>(n) < winusb.size()) {
            const winusb::Listed& found = winusb[static_cast<std::size_t>(n)];
            board.reached = "WinUSB " + found.key;
            board.vendor_id = found.vendor_id;
            board.product_id = found.product_id;
        } else {
            continue;
        }
        boards.push_back(std::move(board));
    }
    return boards;
}

}  // namespace winapi
