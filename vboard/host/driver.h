// The EZ-USB general-purpose driver, as the host link relies on it, on top
// of the host model.
//
// One device number per board (0 by default). The device can be opened from
// the end of its enumeration until it leaves the bus; a handle belongs to
// that one appearance, so once the board has left (and perhaps come back as
// a new device) every call on the old handle fails. Pipe n is the n-th
// endpoint descriptor of interface 0 (alternate setting 0) in the
// configuration the host read at enumeration.
//
// Every call runs the simulated bus until it is done or has failed.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "host/host.h"

namespace vboard::host {

// The driver's control codes and what they carry.
namespace ioctl {
inline constexpr uint32_t vendor_request = 0x00222014;  // in: vendor request record, 10 bytes
inline constexpr uint32_t download = 0x0022201C;        // in: the image, written from 0x0000
inline constexpr uint32_t reset_pipe = 0x00222035;      // in: pipe number, 32 bits
inline constexpr uint32_t get_string = 0x00222044;      // in: string request, 4 bytes; out: reply
inline constexpr uint32_t bulk_read = 0x0022204E;       // in: pipe number; out: space to fill
inline constexpr uint32_t bulk_write = 0x00222051;      // in: pipe number; out: the data to send
}  // namespace ioctl

class Driver {
public:
    using Handle = uint64_t;

    // The firmware download is cut into loader writes of this many bytes.
    static constexpr size_t download_chunk = 1024;
    // The longest string reply the driver asks for.
    static constexpr size_t string_reply_max = 130;
    // The controller's built-in RAM loader request.
    static constexpr uint8_t loader_request = 0xA0;

    explicit Driver(Host& host, int device_number = 0);

    int device_number() const { return device_number_; }

    // A handle on the present device, or nothing when the number is not this
    // board's or no device is enumerated now.
    std::optional<Handle> open(int device_number);
    // Forgets the handle; later calls on it fail.
    void close(Handle handle);
    // Open, and the device it was opened on is still present.
    bool usable(Handle handle) const;
    size_t open_handles() const { return handles_.size(); }
    // The vendor and product IDs of the device a usable handle was opened
    // on; 0, 0 otherwise.
    std::pair<uint16_t, uint16_t> device_ids(Handle handle) const;

    // One control call. `in` is the input buffer; `out` the output buffer
    // (the bulk write's data travels in it). `returned` gets the count of
    // bytes the call reports. True is the Windows BOOL's nonzero: success.
    bool io_control(Handle handle, uint32_t code, std::span<const uint8_t> in,
                    std::span<uint8_t> out, uint32_t& returned);

    // Told of every open, close and control call once it has returned; null: none.
    void set_observer(DriverObserver* observer) { observer_ = observer; }

    // The pipes of the present device (empty when none is enumerated).
    std::vector<EndpointDescriptor> pipes() const;
    // One line: why the last failed call failed.
    const std::string& last_error() const { return error_; }

private:
    bool dispatch(uint32_t code, std::span<const uint8_t> in, std::span<uint8_t> out, uint32_t& returned);
    bool fail(std::string why);
    bool transfer_failed(const char* what, const TransferResult& result);
    std::optional<EndpointDescriptor> pipe(std::span<const uint8_t> in);
    bool vendor_request(std::span<const uint8_t> in, std::span<uint8_t> out, uint32_t& returned);
    bool download(std::span<const uint8_t> image);
    bool reset_pipe(std::span<const uint8_t> in);
    bool get_string(std::span<const uint8_t> in, std::span<uint8_t> out, uint32_t& returned);
    bool bulk_write(std::span<const uint8_t> in, std::span<const uint8_t> data, uint32_t& returned);
    bool bulk_read(std::span<const uint8_t> in, std::span<uint8_t> space, uint32_t& returned);

    Host& host_;
    int device_number_;
    std::map<Handle, uint64_t> handles_;  // handle -> the device id it was opened on
    Handle next_handle_ = 1;
    std::string error_;
    DriverObserver* observer_ = nullptr;
};

}  // namespace vboard::host
