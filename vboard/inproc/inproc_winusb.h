// Virtual boards behind the WinUSB seam (winapi/winusb_calls.h), in this
// process and on simulated time: what the Windows tool's WinUSB mapping meets
// in the tests. Each board is a whole session (board, USB host) at a location
// path of its own; the calls are answered by its host model, and every call
// is recorded as one line.
//
// What it plays of WinUSB: only enumerated boards are listed, in the order
// added; a device opened on a board that has since left the bus (re-
// enumerated, or unplugged here) fails every call; a read or write on a pipe
// without a transfer timeout fails (WinUSB's default would wait for ever);
// WinUsb_ResetPipe is the host's clear-halt (it also sends the standard
// request, as the most it may do).
//
// backend() is the stand-in's backend that runs the WinUSB mapping
// (winapi/winusb_boards.h) over these boards: the host link's calls reach the
// boards through the same code as on Windows; Sleep lets every board's clock
// run; its listing is the mapping's, in key order.
#pragma once

#include "serve/session.h"
#include "winapi/backend.h"
#include "winapi/winusb_boards.h"
#include "winapi/winusb_calls.h"

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace vboard::inproc {

class InProcessWinusb final : public winapi::winusb::Calls {
public:
    InProcessWinusb();
    ~InProcessWinusb() override;

    // A board at location path `key`, run until it has enumerated.
    serve::Session& add(const serve::BoardOptions& options, std::string key,
                        const host::TimingProfile& profile = {});
    // The board leaves for good: no longer listed, its devices fail.
    void unplug(std::size_t board) { boards_.at(board).unplugged = true; }
    // Called before every transfer (control, read, write, reset) with the
    // number of transfers before it.
    std::function<void(std::size_t count)> before_transfer;

    // One line per call: "open KEY", "close", "control 40 a0 7f92 0000 1",
    // "read 82 64: 1", "write 01 6", "reset 82"; a failed one ends in " -> fail".
    const std::vector<std::string>& calls() const { return calls_; }
    winapi::Backend& backend();

    // winapi::winusb::Calls
    std::vector<winapi::winusb::Interface> interfaces() override;
    std::optional<winapi::winusb::Device> open(const std::string& path) override;
    void close(winapi::winusb::Device device) override;
    std::optional<std::uint8_t> pipe(winapi::winusb::Device device, std::uint8_t index) override;
    bool set_timeout(winapi::winusb::Device device, std::uint8_t endpoint, std::uint32_t milliseconds) override;
    bool control(winapi::winusb::Device device, const winapi::winusb::Setup& setup, std::uint8_t* data,
                 std::uint32_t& transferred) override;
    bool read(winapi::winusb::Device device, std::uint8_t endpoint, std::uint8_t* data, std::uint32_t length,
              std::uint32_t& transferred) override;
    bool write(winapi::winusb::Device device, std::uint8_t endpoint, const std::uint8_t* data,
               std::uint32_t length, std::uint32_t& transferred) override;
    bool reset_pipe(winapi::winusb::Device device, std::uint8_t endpoint) override;

private:
    struct Board {
        std::unique_ptr<serve::Session> session;
        std::string key;
        bool unplugged = false;
    };
    struct Open {
        std::size_t board;
        std::uint64_t appearance;          // the host's id of the device it was opened on
        std::set<std::uint8_t> timed;      // endpoints with a transfer timeout
    };
    class Adapter;

    // The open device's host while its board is still the one it was opened on.
    host::Host* present(winapi::winusb::Device device);
    const host::EndpointDescriptor* endpoint(winapi::winusb::Device device, std::uint8_t address);
    bool record(std::string line, bool ok);

    std::vector<Board> boards_;
    std::map<winapi::winusb::Device, Open> open_;
    winapi::winusb::Device next_ = 1;
    std::size_t transfers_ = 0;
    std::vector<std::string> calls_;
    std::unique_ptr<Adapter> adapter_;
};

}  // namespace vboard::inproc
