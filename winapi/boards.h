// The boards a program can reach, for a listing (`card_tool --list`): the
// same on every platform, filled in by the platform's own file (boards.cpp:
// the stand-in's installed backend; boards_win32.cpp: the driver's device
// paths).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace winapi {

// One board, as found without talking to it.
struct BoardEntry {
    int device = 0;                            // N: "\\.\ezusb-N" opens this board
    std::string reached;                       // how, one line: "virtual board PATH",
                                               // "libusb bus B port P.Q", "driver \\.\ezusb-N"
    std::optional<std::uint16_t> vendor_id;    // from its device descriptor, when the
    std::optional<std::uint16_t> product_id;   // way it is reached tells them
};

// Every board reachable now, by ascending device number, each number once:
// the one CreateFileA("\\.\ezusb-N") would open. Finding them downloads
// nothing, sends no request to a board's endpoints and leaves no connection
// open.
std::vector<BoardEntry> list_boards();

}  // namespace winapi
