// The link's frames: encoding, strict decoding, and cutting a stream into frames.

#include "link/frames.h"

#include <cstdio>

namespace vboard::link {

namespace {

class Writer {
public:
    void u8(uint8_t v) { body_.push_back(v); }
    void u16(uint16_t v)
    {
        body_.push_back(static_cast<uint8_t>(v));
        body_.push_back(static_cast<uint8_t>(v >> 8));
    }
    void u32(uint32_t v)
    {
        for (int shift = 0; shift < 32; shift += 8)
            body_.push_back(static_cast<uint8_t>(v >> shift));
    }
    void bytes(std::span<const uint8_t> b) { body_.insert(body_.end(), b.begin(), b.end()); }

    // The frame: length prefix, then the body.
    std::vector<uint8_t> frame() const
    {
        std::vector<uint8_t> out;
        out.reserve(4 + body_.size());
        const auto n = static_cast<uint32_t>(body_.size());
        for (int shift = 0; shift < 32; shift += 8)
            out.push_back(static_cast<uint8_t>(n >> shift));
        out.insert(out.end(), body_.begin(), body_.end());
        return out;
    }

private:
    std::vector<uint8_t> body_;
};

// Reads fields off a body; every read is bounds-checked.
class Reader {
public:
    explicit Reader(std::span<const uint8_t> body) : body_(body) {}

    bool u8(uint8_t& v)
    {
        if (left() < 1)
            return false;
        v = body_[pos_++];
        return true;
    }
    bool u16(uint16_t& v)
    {
        if (left() < 2)
            return false;
        v = static_cast<uint16_t>(body_[pos_] | body_[pos_ + 1] << 8);
        pos_ += 2;
        return true;
    }
    bool u32(uint32_t& v)
    {
        if (left() < 4)
            return false;
        v = 0;
        for (int k = 0; k < 4; ++k)
            v |= uint32_t{body_[pos_ + k]} << (8 * k);
        pos_ += 4;
        return true;
    }
    bool bytes(size_t n, std::vector<uint8_t>& out)
    {
        if (left() < n)
            return false;
        out.assign(body_.begin() + static_cast<std::ptrdiff_t>(pos_),
                   body_.begin() + static_cast<std::ptrdiff_t>(pos_ + n));
        pos_ += n;
        return true;
    }
    size_t left() const { return body_.size() - pos_; }

private:
    std::span<const uint8_t> body_;
    size_t pos_ = 0;
};

std::string hex_byte(uint8_t v)
{
    char text[8];
    std::snprintf(text, sizeof text, "%02x", v);
    return text;
}

bool fail(std::string& error, std::string what)
{
    error = std::move(what);
    return false;
}

std::nullopt_t bad(std::string& error, std::string what)
{
    error = std::move(what);
    return std::nullopt;
}

bool finished(const Reader& r, std::string& error, const char* what)
{
    if (r.left() != 0)
        return fail(error, std::to_string(r.left()) + " bytes after the end of the " + what);
    return true;
}

}  // namespace

std::vector<uint8_t> encode(const OpenRequest& request)
{
    Writer w;
    w.u8(kind::open);
    w.u8(protocol_version);
    w.u32(request.device);
    return w.frame();
}

std::optional<std::vector<uint8_t>> encode(const ControlRequest& request)
{
    if (request.in.size() > max_in_length || request.out_length > max_out_length)
        return std::nullopt;
    if (request.out_sent && request.out.size() != request.out_length)
        return std::nullopt;
    Writer w;
    w.u8(kind::control);
    w.u32(request.code);
    w.u32(static_cast<uint32_t>(request.in.size()));
    w.u32(request.out_length);
    w.u8(request.out_sent ? 1 : 0);
    w.bytes(request.in);
    if (request.out_sent)
        w.bytes(request.out);
    return w.frame();
}

std::vector<uint8_t> encode(const OpenReply& reply)
{
    Writer w;
    w.u8(kind::open_reply);
    w.u8(reply.present ? 1 : 0);
    w.u16(reply.vendor_id);
    w.u16(reply.product_id);
    return w.frame();
}

std::optional<std::vector<uint8_t>> encode(const ControlReply& reply)
{
    if (reply.out.size() > max_out_length)
        return std::nullopt;
    Writer w;
    w.u8(kind::control_reply);
    w.u32(reply.result);
    w.u32(reply.returned);
    w.u32(static_cast<uint32_t>(reply.out.size()));
    w.bytes(reply.out);
    return w.frame();
}

std::optional<Request> decode_request(std::span<const uint8_t> body, std::string& error)
{
    Reader r(body);
    uint8_t k = 0;
    if (!r.u8(k))
        return bad(error, "empty message");
    if (k == kind::open) {
        uint8_t version = 0;
        OpenRequest open;
        if (!r.u8(version) || !r.u32(open.device))
            return bad(error, "open request cut short");
        if (version != protocol_version)
            return bad(error, "open request of protocol version " + std::to_string(version) +
                                   ", expected " + std::to_string(protocol_version));
        if (!finished(r, error, "open request"))
            return std::nullopt;
        return open;
    }
    if (k == kind::control) {
        ControlRequest call;
        uint32_t in_length = 0;
        uint8_t out_sent = 0;
        if (!r.u32(call.code) || !r.u32(in_length) || !r.u32(call.out_length) || !r.u8(out_sent))
            return bad(error, "control call cut short");
        if (in_length > max_in_length)
            return bad(error, "control call input of " + std::to_string(in_length) +
                                   " bytes, more than " + std::to_string(max_in_length));
        if (call.out_length > max_out_length)
            return bad(error, "control call output of " + std::to_string(call.out_length) +
                                   " bytes, more than " + std::to_string(max_out_length));
        if (out_sent > 1)
            return bad(error, "control call output flag " + hex_byte(out_sent));
        call.out_sent = out_sent == 1;
        if (!r.bytes(in_length, call.in) || (call.out_sent && !r.bytes(call.out_length, call.out)))
            return bad(error, "control call buffers cut short");
        if (!finished(r, error, "control call"))
            return std::nullopt;
        return call;
    }
    return bad(error, "unknown request kind " + hex_byte(k));
}

std::optional<Reply> decode_reply(std::span<const uint8_t> body, std::string& error)
{
    Reader r(body);
    uint8_t k = 0;
    if (!r.u8(k))
        return bad(error, "empty message");
    if (k == kind::open_reply) {
        uint8_t present = 0;
        OpenReply opened;
        if (!r.u8(present) || !r.u16(opened.vendor_id) || !r.u16(opened.product_id))
            return bad(error, "open reply cut short");
        if (present > 1)
            return bad(error, "open reply flag " + hex_byte(present));
        if (!finished(r, error, "open reply"))
            return std::nullopt;
        opened.present = present == 1;
        return opened;
    }
    if (k == kind::control_reply) {
        ControlReply reply;
        uint32_t count = 0;
        if (!r.u32(reply.result) || !r.u32(reply.returned) || !r.u32(count))
            return bad(error, "control reply cut short");
        if (count > max_out_length)
            return bad(error, "control reply of " + std::to_string(count) + " bytes, more than " +
                                   std::to_string(max_out_length));
        if (!r.bytes(count, reply.out))
            return bad(error, "control reply data cut short");
        if (!finished(r, error, "control reply"))
            return std::nullopt;
        return reply;
    }
    return bad(error, "unknown reply kind " + hex_byte(k));
}

void FrameReader::feed(std::span<const uint8_t> bytes)
{
    if (failed_)
        return;
    // Drop what earlier frames used before growing the buffer.
    if (start_ > 0 && start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    } else if (start_ > 64 * 1024) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
    }
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

FrameReader::Result FrameReader::next(std::vector<uint8_t>& body, std::string& error)
{
    if (failed_) {
        error = error_;
        return Result::error;
    }
    const size_t have = buffer_.size() - start_;
    if (have < 4)
        return Result::need_more;
    uint32_t length = 0;
    for (int k = 0; k < 4; ++k)
        length |= uint32_t{buffer_[start_ + k]} << (8 * k);
    if (length > max_body_length) {
        failed_ = true;
        error_ = "message of " + std::to_string(length) + " bytes, more than " +
                 std::to_string(max_body_length);
        error = error_;
        return Result::error;
    }
    if (have - 4 < length)
        return Result::need_more;
    const auto first = buffer_.begin() + static_cast<std::ptrdiff_t>(start_ + 4);
    body.assign(first, first + length);
    start_ += 4 + length;
    return Result::frame;
}

}  // namespace vboard::link
