// The EZ-USB driver's six control codes on WinUSB, for boards bound to WinUSB
// by our driver package (windows/nebu-board.inf) and found through its device
// interface. The calls themselves go through a narrow seam (winusb_calls.h),
// so this mapping is the same code on Windows and under the tests.
//
// Device N is the N-th present board in the order of its stable key (the
// location path: the chain of ports the board hangs on; digit runs compare
// as numbers, so port 2 comes before port 10). The first open of N in a
// process remembers the key it found; every later open of N looks for that
// key alone, so after a firmware download the board that comes back at the
// same port is opened again, never another board that moved up in the order
// while it was off the bus. The control codes become:
//
//   vendor request   a control transfer, bmRequestType 0x40 (or 0xC0 with
//                    direction 1), the record's request, value, index,
//                    length; an OUT of one byte sends the record's data
//                    byte, a longer one the bytes after the record
//   download         the loader's 0xA0 writes from address 0, 1,024 bytes
//                    each, stopping at the first that fails; at most 64 KiB
//   string           GET_DESCRIPTOR(string, index, language id) for the
//                    output buffer, at most 130 bytes; returned = bytes received
//   bulk write/read  one WinUsb_WritePipe / WinUsb_ReadPipe on the pipe's
//                    endpoint, pipe n being the n-th endpoint of interface 0
//                    (pipe 0 = 0x01, 1 = 0x02, 8 = 0x82 under our firmware);
//                    a read ends at a short packet or when the space is
//                    full; returned = bytes moved, also when the call fails
//   reset pipe       CLEAR_FEATURE(ENDPOINT_HALT) to the endpoint (the
//                    device's halt and toggle), then WinUsb_ResetPipe (the
//                    host's, and the device's where Windows sends the request
//                    itself); the reset's answer is the call's, so a WinUSB
//                    that refuses the request from a program still resets
//
// Every pipe gets the driver's 5-second transfer limit at the open (WinUSB's
// own default for bulk pipes is no limit; control transfers have 5 s); a
// board whose limit cannot be set is not opened, so no call waits for ever.
// A board that has left the bus fails every call until it is closed.
#pragma once

#include "winapi/winusb_calls.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace winapi::winusb {

// The order of stable keys: text compared character by character, digit
// runs by their value.
bool key_before(std::string_view a, std::string_view b);

// A present board as a listing shows it, without opening it.
struct Listed {
    std::string key;
    std::optional<std::uint16_t> vendor_id;   // from the interface path's "vid_XXXX&pid_XXXX",
    std::optional<std::uint16_t> product_id;  // when it has them
};

class Boards {
public:
    using Connection = std::uint64_t;

    static constexpr std::uint32_t transfer_timeout_ms = 5000;
    static constexpr std::uint32_t download_chunk = 1024;

    explicit Boards(Calls& calls) : calls_(calls) {}

    // A connection to board `device`, or nothing when no such board is
    // present or it cannot be opened (another program has it).
    std::optional<Connection> open(int device);
    // One driver control call, as DeviceIoControl would make it: `in` and
    // `out` as the driver takes them (the bulk write's data in `out`).
    bool io_control(Connection connection, std::uint32_t code, const void* in, std::uint32_t in_length,
                    void* out, std::uint32_t out_length, std::uint32_t& returned);
    void close(Connection connection);
    // The present boards in key order: entry N is the board a first open of
    // N would take. Opens nothing.
    std::vector<Listed> list();

private:
    struct Open {
        Device device;
        std::vector<std::uint8_t> endpoints;  // pipe n's endpoint address
    };

    std::vector<Interface> sorted_interfaces();
    std::optional<std::uint8_t> endpoint(const Open& board, const std::uint8_t* in, std::uint32_t in_length) const;
    bool vendor(const Open& board, const std::uint8_t* in, std::uint32_t in_length, std::uint8_t* out,
                std::uint32_t out_length, std::uint32_t& returned);
    bool download(const Open& board, const std::uint8_t* image, std::uint32_t length);

    Calls& calls_;
    std::map<int, std::string> keys_;  // device number -> the key its first open found
    std::map<Connection, Open> open_;
    Connection next_ = 1;
};

}  // namespace winapi::winusb
