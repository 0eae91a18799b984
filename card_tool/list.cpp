// The board listing: what each reachable board is, without loading it.

#include "card_tool/card_bus.h"
#include "card_tool/card_tool.h"

#include "cmdline/cmdline.h"
#include "cusb/cusb.h"
#include "winapi/boards.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// One pin sample with the card deselected (CE# high, as every run of the
// tool leaves it): the reply's PC3 is the card-detect switch.
constexpr unsigned char pins_script[] = {0x24};

std::string ids(const winapi::BoardEntry& board)
{
    if (!board.vendor_id || !board.product_id)
        return "VID:PID unknown";
    char text[16];
    std::snprintf(text, sizeof text, "%04x:%04x", unsigned{*board.vendor_id}, unsigned{*board.product_id});
    return text;
}

// What the board runs and, when it is ours, whether a card is in the socket.
std::string state(int device)
{
    HANDLE handle = nullptr;
    if (usb_open(device, &handle) != 0)
        return "cannot be opened";
    std::string result;
    char id1[cusb::max_string_chars + 1] = {};
    char id2[cusb::max_string_chars + 1] = {};
    if (usb_get_string(&handle, 1, id1) != 0 || usb_get_string(&handle, 2, id2) != 0) {
        result = "strings 1 and 2 unreadable";
    } else if (std::strcmp(id1, "NEBU") != 0 || std::strcmp(id2, "Z100") != 0) {
        result = "not our firmware (strings 1 and 2: \"" + cmdline::escaped(id1) + "\", \"" +
                 cmdline::escaped(id2) + "\"), card not checked";
    } else {
        // The driver's bulk write passes its data in the output buffer, which
        // the call may write: the script goes from writable memory.
        unsigned char script[sizeof pins_script];
        std::memcpy(script, pins_script, sizeof script);
        unsigned char reply[64] = {};
        result = "our firmware, ";
        if (usb_bulk_write(&handle, command_pipe, script, sizeof script) != 0 ||
            usb_bulk_read(&handle, reply_pipe, reply, sizeof reply) != 1)
            result += "card not checked (no pin reply)";
        else
            result += reply[0] & card_present ? "card in the socket" : "no card";
    }
    usb_close(&handle);
    return result;
}

}  // namespace

int card_tool_list()
{
    const std::vector<winapi::BoardEntry> boards = winapi::list_boards();
    if (boards.empty())
        std::fputs("card_tool: no board found\n", stderr);
    for (const winapi::BoardEntry& board : boards)
        std::printf("board %d: %s, %s, %s\n", board.device, board.reached.c_str(), ids(board).c_str(),
                    state(board.device).c_str());
    return 0;
}
