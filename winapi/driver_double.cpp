#include "winapi/driver_double.h"

#include "cusb/cusb.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace winapi {

Bytes string_descriptor(std::u16string_view text)
{
    Bytes d{static_cast<unsigned char>(2 + 2 * text.size()), 3};
    for (char16_t unit : text) {
        d.push_back(static_cast<unsigned char>(unit & 0xFF));
        d.push_back(static_cast<unsigned char>(unit >> 8));
    }
    return d;
}

long Call::pipe() const
{
    if (kind != CallKind::io_control || input.size() != 4)
        return -1;
    return static_cast<long>(input[0] | input[1] << 8 | input[2] << 16 |
                             static_cast<std::uint32_t>(input[3]) << 24);
}

DriverDouble& DriverDouble::open_results(std::vector<bool> results, bool then)
{
    open_results_.assign(results.begin(), results.end());
    open_then_ = then;
    return *this;
}

DriverDouble& DriverDouble::reply(DWORD code, Reply r)
{
    queued_[code].push_back(std::move(r));
    return *this;
}

DriverDouble& DriverDouble::fallback(DWORD code, Reply r)
{
    fallback_[code] = std::move(r);
    return *this;
}

DriverDouble& DriverDouble::serve_string(int index, std::u16string_view text)
{
    strings_[index] = string_descriptor(text);
    return *this;
}

std::vector<Call> DriverDouble::calls_of(DWORD code) const
{
    std::vector<Call> found;
    for (const Call& c : calls_)
        if (c.kind == CallKind::io_control && c.code == code)
            found.push_back(c);
    return found;
}

std::vector<DWORD> DriverDouble::sleeps() const
{
    std::vector<DWORD> found;
    for (const Call& c : calls_)
        if (c.kind == CallKind::sleep)
            found.push_back(c.milliseconds);
    return found;
}

int DriverDouble::count(CallKind kind) const
{
    return static_cast<int>(
        std::count_if(calls_.begin(), calls_.end(), [kind](const Call& c) { return c.kind == kind; }));
}

std::vector<std::string> DriverDouble::trace() const
{
    std::vector<std::string> lines;
    for (const Call& c : calls_) {
        std::string line;
        switch (c.kind) {
        case CallKind::open:
            line = "open " + c.path;
            break;
        case CallKind::close:
            line = "close";
            break;
        case CallKind::sleep:
            line = "sleep " + std::to_string(c.milliseconds);
            break;
        case CallKind::io_control:
            switch (c.code) {
            case cusb::ioctl_vendor_request:
                line = "vendor_request";
                if (c.input.size() == 10 && (c.input[2] | c.input[3] << 8) == cusb::CPUCS)
                    line += " CPUCS=" + std::to_string(c.input[9]);
                else if (c.input.size() == 10 && c.input[0] == cusb::engine_reset_request)
                    line += " engine_reset";
                break;
            case cusb::ioctl_download:
                line = "download " + std::to_string(c.input.size());
                break;
            case cusb::ioctl_get_string:
                line = "get_string " + std::to_string(c.input.empty() ? -1 : c.input[0]);
                break;
            case cusb::ioctl_reset_pipe:
                line = "reset_pipe " + std::to_string(c.pipe());
                break;
            case cusb::ioctl_bulk_write:
                line = "bulk_write pipe " + std::to_string(c.pipe()) + ": " +
                       std::to_string(c.out_length);
                break;
            case cusb::ioctl_bulk_read:
                line = "bulk_read pipe " + std::to_string(c.pipe()) + ": " +
                       std::to_string(c.out_length);
                break;
            default: {
                char text[32];
                std::snprintf(text, sizeof text, "ioctl 0x%08X", static_cast<unsigned>(c.code));
                line = text;
            }
            }
            break;
        }
        if (!c.succeeded)
            line += " -> fail";
        lines.push_back(std::move(line));
    }
    return lines;
}

std::optional<Connection> DriverDouble::open(const OpenRequest& request)
{
    Call call;
    call.kind = CallKind::open;
    call.path = request.path;
    call.device = request.device;
    call.access = request.access;
    call.share_mode = request.share_mode;
    call.disposition = request.disposition;
    call.flags = request.flags;
    bool opens = open_then_;
    if (!open_results_.empty()) {
        opens = open_results_.front();
        open_results_.pop_front();
    }
    call.succeeded = opens;
    if (opens) {
        call.connection = next_connection_++;
        live_.push_back(call.connection);
    }
    calls_.push_back(std::move(call));
    if (!opens)
        return std::nullopt;
    return calls_.back().connection;
}

Reply DriverDouble::answer(DWORD code, const Bytes& input)
{
    auto queue = queued_.find(code);
    if (queue != queued_.end() && !queue->second.empty()) {
        Reply r = std::move(queue->second.front());
        queue->second.pop_front();
        return r;
    }
    if (code == cusb::ioctl_get_string && !input.empty()) {
        auto s = strings_.find(input[0]);
        if (s != strings_.end())
            return Reply::ok(s->second);
    }
    auto f = fallback_.find(code);
    if (f != fallback_.end())
        return f->second;
    return Reply::ok();
}

BOOL DriverDouble::io_control(Connection connection, DWORD code, const void* in, DWORD in_length,
                              void* out, DWORD out_length, DWORD* returned)
{
    Call call;
    call.kind = CallKind::io_control;
    call.connection = connection;
    call.code = code;
    if (in != nullptr && in_length > 0) {
        const auto* bytes = static_cast<const unsigned char*>(in);
        call.input.assign(bytes, bytes + in_length);
    }
    call.out_length = out_length;
    if (code == cusb::ioctl_bulk_write && out != nullptr && out_length > 0) {
        const auto* bytes = static_cast<const unsigned char*>(out);
        call.sent.assign(bytes, bytes + out_length);
    }

    const Reply r = answer(code, call.input);
    DWORD copied = 0;
    if (out != nullptr && code != cusb::ioctl_bulk_write) {
        copied = static_cast<DWORD>(std::min<std::size_t>(r.data.size(), out_length));
        if (copied > 0)
            std::memcpy(out, r.data.data(), copied);
    }
    *returned = r.returned.value_or(copied);
    call.succeeded = (r.result & 0xFF) != 0;
    calls_.push_back(std::move(call));
    return r.result;
}

void DriverDouble::close(Connection connection)
{
    Call call;
    call.kind = CallKind::close;
    call.connection = connection;
    live_.erase(std::remove(live_.begin(), live_.end(), connection), live_.end());
    calls_.push_back(std::move(call));
}

void DriverDouble::sleep(DWORD milliseconds)
{
    Call call;
    call.kind = CallKind::sleep;
    call.milliseconds = milliseconds;
    calls_.push_back(std::move(call));
}

}  // namespace winapi
