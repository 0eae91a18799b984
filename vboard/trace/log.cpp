// The readable log: driver calls, the host's port and bus events and the
// board's own (attach, the loader's hold and release), one line each.
#include <cerrno>
#include <cinttypes>

#include "host/driver.h"
#include "trace/trace.h"

namespace vboard::trace {

namespace {

uint16_t le16(std::span<const uint8_t> b, size_t at) {
    return b.size() >= at + 2 ? static_cast<uint16_t>(b[at] | b[at + 1] << 8) : 0;
}

uint32_t le32(std::span<const uint8_t> b, size_t at) {
    return b.size() >= at + 4 ? uint32_t{le16(b, at)} | uint32_t{le16(b, at + 2)} << 16 : 0;
}

// Up to 16 bytes in hex, "..." after them when there are more.
std::string hex(std::span<const uint8_t> bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < bytes.size() && i < 16; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    if (bytes.size() > 16) text += "...";
    return text;
}

std::string format(const char* pattern, auto... values) {
    char text[160];
    std::snprintf(text, sizeof text, pattern, values...);
    return text;
}

}  // namespace

std::string describe(const host::DriverCall& call) {
    using Kind = host::DriverCall::Kind;
    const std::string why = call.error && !call.error->empty() ? *call.error : "failed";
    if (call.kind == Kind::open)
        return call.ok ? format("open device %d: handle %" PRIu64, call.device, call.handle)
                       : format("open device %d: failed (%s)", call.device, why.c_str());
    if (call.kind == Kind::close)
        return format("close handle %" PRIu64 "%s", call.handle, call.ok ? "" : ": not open");

    std::string text;
    std::string reply;  // what came back, for calls that read
    const std::span<const uint8_t> in = call.in;
    switch (call.code) {
    case host::ioctl::vendor_request: {
        const bool to_host = in.size() > 8 && in[8] != 0;
        text = format("vendor_request %02x value %04x index %04x length %u %s", in.empty() ? 0 : in[0],
                      le16(in, 2), le16(in, 4), le16(in, 6), to_host ? "in" : "out");
        if (to_host) reply = hex(call.out.first(std::min<size_t>(call.returned, call.out.size())));
        break;
    }
    case host::ioctl::download:
        text = format("download length %zu", in.size());
        break;
    case host::ioctl::reset_pipe:
        text = format("reset_pipe pipe %u", le32(in, 0));
        break;
    case host::ioctl::get_string:
        text = format("get_string index %u language %04x length %zu", in.empty() ? 0 : in[0], le16(in, 2),
                      call.out.size());
        reply = hex(call.out.first(std::min<size_t>(call.returned, call.out.size())));
        break;
    case host::ioctl::bulk_read:
        text = format("bulk_read pipe %u length %zu", le32(in, 0), call.out.size());
        reply = hex(call.out.first(std::min<size_t>(call.returned, call.out.size())));
        break;
    case host::ioctl::bulk_write:
        text = format("bulk_write pipe %u length %zu ", le32(in, 0), call.out.size()) + hex(call.out);
        break;
    default:
        text = format("control code 0x%08X", call.code);
        break;
    }
    text += format(" (handle %" PRIu64 ", took %.3f ms)", call.handle,
                   static_cast<double>(call.finished - call.started) / usb::clocks_per_ms);
    if (!call.ok) return text + ": failed (" + why + ")" + (call.returned ? format(", %u bytes", call.returned) : "");
    text += format(call.returned == 1 ? ": ok, %u byte" : ": ok, %u bytes", call.returned);
    if (!reply.empty()) text += " " + reply;
    return text;
}

void TextLog::line(usb::clock_t when, const std::string& text) {
    const uint64_t micros = when / (usb::clocks_per_second / 1'000'000);
    for (std::FILE*& f : files_) {
        if (!f) continue;
        const bool written =
            std::fprintf(f, "%4" PRIu64 ".%06" PRIu64 " %s\n", micros / 1'000'000, micros % 1'000'000, text.c_str()) >= 0;
        if ((!written || std::fflush(f) != 0) && f != stderr) {
            if (error_ == 0) error_ = errno != 0 ? errno : EIO;
            f = nullptr;
        }
    }
}

// Stamped when the call returned, after the events it caused.
void TextLog::driver_call(const host::DriverCall& call) { line(call.finished, "driver " + describe(call)); }

void TextLog::host_event(const host::HostEvent& event) {
    std::string text = std::string("bus ") + host::event_name(event.kind);
    if (!event.detail.empty()) text += ": " + event.detail;
    line(event.time, text);
}

void TextLog::attach(usb::clock_t when, bool attached) {
    line(when, attached ? "board joins the bus (pull-up on)" : "board leaves the bus (pull-up off)");
}

void TextLog::cpu_hold(usb::clock_t when, bool held) {
    line(when, held ? "board loader holds the 8051 (firmware load)" : "board loader releases the 8051: it starts at 0x0000");
}

}  // namespace vboard::trace
