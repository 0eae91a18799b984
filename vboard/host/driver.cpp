// The EZ-USB general-purpose driver's control codes on the host model.
#include "host/driver.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace vboard::host {

namespace {

uint16_t le16(std::span<const uint8_t> b, size_t at) {
    return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}

uint32_t le32(std::span<const uint8_t> b, size_t at) {
    return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 |
           uint32_t{b[at + 3]} << 24;
}

std::string hex32(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

}  // namespace

Driver::Driver(Host& host, int device_number) : host_(host), device_number_(device_number) {}

std::optional<Driver::Handle> Driver::open(int device_number) {
    std::optional<Handle> handle;
    if (device_number != device_number_) {
        error_ = "no device " + std::to_string(device_number);
    } else if (!host_.enumerated()) {
        error_ = "device " + std::to_string(device_number) + " is not on the bus";
    } else {
        handle = next_handle_++;
        handles_[*handle] = host_.device_id();
    }
    if (observer_) {
        DriverCall call;
        call.kind = DriverCall::Kind::open;
        call.handle = handle.value_or(0);
        call.device = device_number;
        call.ok = handle.has_value();
        call.error = &error_;
        call.started = call.finished = host_.now();
        observer_->call(call);
    }
    return handle;
}

void Driver::close(Handle handle) {
    const bool known = handles_.erase(handle) > 0;
    if (observer_) {
        DriverCall call;
        call.kind = DriverCall::Kind::close;
        call.handle = handle;
        call.ok = known;
        call.started = call.finished = host_.now();
        observer_->call(call);
    }
}

bool Driver::usable(Handle handle) const {
    const auto it = handles_.find(handle);
    return it != handles_.end() && host_.enumerated() && host_.device_id() == it->second;
}

std::pair<uint16_t, uint16_t> Driver::device_ids(Handle handle) const {
    if (!usable(handle)) return {0, 0};
    const DeviceDescriptor& d = host_.device()->device;
    return {d.vendor, d.product};
}

std::vector<EndpointDescriptor> Driver::pipes() const {
    const EnumeratedDevice* device = host_.device();
    if (!device) return {};
    const InterfaceDescriptor* interface = device->config.find_interface(0, 0);
    return interface ? interface->endpoints : std::vector<EndpointDescriptor>{};
}

bool Driver::fail(std::string why) {
    error_ = std::move(why);
    return false;
}

bool Driver::transfer_failed(const char* what, const TransferResult& result) {
    return fail(std::string(what) + ": " + status_name(result.status));
}

bool Driver::io_control(Handle handle, uint32_t code, std::span<const uint8_t> in,
                        std::span<uint8_t> out, uint32_t& returned) {
    returned = 0;
    const usb::clock_t started = host_.now();
    const bool ok = !handles_.contains(handle) ? fail("not an open handle")
                    : !usable(handle)          ? fail("the device has left the bus")
                                               : dispatch(code, in, out, returned);
    if (observer_) {
        DriverCall call;
        call.handle = handle;
        call.code = code;
        call.in = in;
        call.out = out;
        call.returned = returned;
        call.ok = ok;
        call.error = &error_;
        call.started = started;
        call.finished = host_.now();
        observer_->call(call);
    }
    return ok;
}

bool Driver::dispatch(uint32_t code, std::span<const uint8_t> in, std::span<uint8_t> out,
                      uint32_t& returned) {
    switch (code) {
    case ioctl::vendor_request: return vendor_request(in, out, returned);
    case ioctl::download: return download(in);
    case ioctl::reset_pipe: return reset_pipe(in);
    case ioctl::get_string: return get_string(in, out, returned);
    case ioctl::bulk_write: return bulk_write(in, out, returned);
    case ioctl::bulk_read: return bulk_read(in, out, returned);
    default: return fail("unknown control code " + hex32(code));
    }
}

// Record: request, alignment byte, value, index, length (16 bits each,
// little-endian), direction (0: to the device), one data byte. An OUT
// request of one byte sends the data byte; a longer one sends the bytes that
// follow the record in the input buffer. An IN request fills the output buffer.
bool Driver::vendor_request(std::span<const uint8_t> in, std::span<uint8_t> out,
                            uint32_t& returned) {
    if (in.size() < 10) return fail("vendor request record of " + std::to_string(in.size()) + " bytes");
    const bool to_host = in[8] != 0;
    SetupPacket setup{static_cast<uint8_t>(to_host ? 0xC0 : 0x40), in[0], le16(in, 2), le16(in, 4),
                      le16(in, 6)};
    if (to_host) {
        if (out.size() < setup.length) return fail("vendor request: output buffer too small");
        const TransferResult result = host_.control(setup);
        if (!result.ok()) return transfer_failed("vendor request", result);
        std::copy(result.data.begin(), result.data.end(), out.begin());
        returned = static_cast<uint32_t>(result.data.size());
        return true;
    }
    std::span<const uint8_t> data;
    if (setup.length == 1)
        data = in.subspan(9, 1);
    else if (setup.length > 1) {
        if (in.size() < 10u + setup.length) return fail("vendor request: data missing after the record");
        data = in.subspan(10, setup.length);
    }
    const TransferResult result = host_.control(setup, data);
    return result.ok() || transfer_failed("vendor request", result);
}

bool Driver::download(std::span<const uint8_t> image) {
    if (image.size() > 0x10000) return fail("image larger than 64 KiB");
    for (size_t at = 0; at < image.size(); at += download_chunk) {
        const size_t n = std::min(download_chunk, image.size() - at);
        const SetupPacket setup{0x40, loader_request, static_cast<uint16_t>(at), 0,
                                static_cast<uint16_t>(n)};
        const TransferResult result = host_.control(setup, image.subspan(at, n));
        if (!result.ok()) return transfer_failed("download", result);
    }
    return true;
}

std::optional<EndpointDescriptor> Driver::pipe(std::span<const uint8_t> in) {
    if (in.size() < 4) {
        fail("pipe number of " + std::to_string(in.size()) + " bytes");
        return std::nullopt;
    }
    const uint32_t number = le32(in, 0);
    const std::vector<EndpointDescriptor> all = pipes();
    if (number >= all.size()) {
        fail("no pipe " + std::to_string(number) + " (the device has " + std::to_string(all.size()) + ")");
        return std::nullopt;
    }
    return all[number];
}

bool Driver::reset_pipe(std::span<const uint8_t> in) {
    const auto p = pipe(in);
    if (!p) return false;
    const TransferResult result = host_.clear_halt(p->address);
    return result.ok() || transfer_failed("reset pipe", result);
}

// Record: descriptor index, alignment byte, language id (16 bits).
bool Driver::get_string(std::span<const uint8_t> in, std::span<uint8_t> out, uint32_t& returned) {
    if (in.size() < 4) return fail("string request record of " + std::to_string(in.size()) + " bytes");
    const size_t length = std::min(out.size(), string_reply_max);
    if (length == 0) return fail("string request without a reply buffer");
    const TransferResult result = host_.control(get_descriptor_request(
        descriptor_type::string, in[0], le16(in, 2), static_cast<uint16_t>(length)));
    if (!result.ok()) return transfer_failed("string request", result);
    std::copy(result.data.begin(), result.data.end(), out.begin());
    returned = static_cast<uint32_t>(result.data.size());
    return true;
}

bool Driver::bulk_write(std::span<const uint8_t> in, std::span<const uint8_t> data,
                        uint32_t& returned) {
    const auto p = pipe(in);
    if (!p) return false;
    if (p->is_in()) return fail("bulk write on an IN pipe");
    TransferResult result;
    if (p->type() == EndpointType::bulk)
        result = host_.bulk_out(p->address, data);
    else if (p->type() == EndpointType::interrupt)
        result = host_.interrupt_out(p->address, data, p->interval);
    else
        return fail("bulk write on a pipe that is neither bulk nor interrupt");
    returned = static_cast<uint32_t>(result.sent);
    return result.ok() || transfer_failed("bulk write", result);
}

bool Driver::bulk_read(std::span<const uint8_t> in, std::span<uint8_t> space, uint32_t& returned) {
    const auto p = pipe(in);
    if (!p) return false;
    if (!p->is_in()) return fail("bulk read on an OUT pipe");
    TransferResult result;
    if (p->type() == EndpointType::bulk)
        result = host_.bulk_in(p->address, space.size());
    else if (p->type() == EndpointType::interrupt)
        result = host_.interrupt_in(p->address, space.size(), p->interval);
    else
        return fail("bulk read on a pipe that is neither bulk nor interrupt");
    // What arrived is handed over even when the transfer then failed.
    std::copy(result.data.begin(), result.data.end(), space.begin());
    returned = static_cast<uint32_t>(result.data.size());
    return result.ok() || transfer_failed("bulk read", result);
}

}  // namespace vboard::host
