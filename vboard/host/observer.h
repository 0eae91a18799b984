// What the host and its driver report to an observer (a trace): every
// transfer when it is submitted and when it ends, every driver call when it
// has returned. With no observer attached nothing is built or copied.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "host/standard.h"
#include "usb/device.h"

namespace vboard::host {

enum class Status : uint8_t;
enum class TransferType : uint8_t;

// One transfer as a trace sees it. At submission `data` is the OUT data
// (empty for IN); at completion the IN data received (empty for OUT).
struct TransferRecord {
    uint64_t id = 0;                   // the same at submission and completion
    TransferType type{};
    uint8_t endpoint = 0;              // with the direction bit; control: 0x80 when the data stage is IN
    uint8_t address = 0;               // the function address the transfer's tokens carry
    std::optional<SetupPacket> setup;  // control transfers
    size_t length = 0;                 // submission: bytes asked for or offered; completion: bytes moved
    std::span<const uint8_t> data;
    uint8_t interval = 0;              // interrupt transfers: frames between polls
    Status status{};                   // completion only
    usb::clock_t time = 0;
};

class TransferObserver {
public:
    virtual ~TransferObserver() = default;
    virtual void submitted(const TransferRecord& transfer) = 0;
    virtual void completed(const TransferRecord& transfer) = 0;
};

// One driver call after it has returned.
struct DriverCall {
    enum class Kind : uint8_t { open, close, control };
    Kind kind = Kind::control;
    uint64_t handle = 0;                // open: the new handle (0 when it failed)
    int device = 0;                     // open: the device number asked for
    uint32_t code = 0;                  // control: the control code
    std::span<const uint8_t> in;        // control: the input buffer
    std::span<const uint8_t> out;       // control: the output buffer as the call left it
    uint32_t returned = 0;              // control: the byte count the call reports
    bool ok = false;
    const std::string* error = nullptr; // why it failed
    usb::clock_t started = 0;
    usb::clock_t finished = 0;
};

class DriverObserver {
public:
    virtual ~DriverObserver() = default;
    virtual void call(const DriverCall& call) = 0;
};

}  // namespace vboard::host
