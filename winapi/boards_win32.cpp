// The boards on Windows: the driver's device paths that open.

#include "winapi/boards.h"
#include "winapi/winapi.h"

#include <cstdio>

namespace winapi {

namespace {

// The driver numbers boards from 0 as they arrive; a board unplugged leaves
// a gap, so the search runs past gaps up to this many numbers.
constexpr int device_numbers = 32;

}  // namespace

// The general-purpose driver's calls carry no device descriptor, so the IDs
// stay unknown here.
std::vector<BoardEntry> list_boards()
{
    std::vector<BoardEntry> boards;
    for (int n = 0; n < device_numbers; ++n) {
        char path[32];
        std::snprintf(path, sizeof path, "\\\\.\\ezusb-%d", n);
        const HANDLE handle =
            CreateFileA(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle == INVALID_HANDLE_VALUE)
            continue;
        CloseHandle(handle);
        BoardEntry board;
        board.device = n;
        board.reached = std::string("driver ") + path;
        boards.push_back(std::move(board));
    }
    return boards;
}

}  // namespace winapi
