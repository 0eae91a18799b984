// The messages between a program that uses the board (through the
// Windows-call stand-in) and a running virtual board: one connection per open
// device handle, requests from the program, one reply to each.
//
// Every message is a frame: a 32-bit little-endian length, then that many
// bytes of body. The body's first byte says what it is; every number in it
// is little-endian.
//
//   open request   01 | version u8 | device u32
//   open reply     81 | present u8 (1: the device answers, 0: it does not)
//                     | idVendor u16 | idProduct u16 (the device's, 0 when not present)
//   control call   02 | code u32 | in_length u32 | out_length u32 | out_sent u8
//                     | in_length bytes | out_length bytes when out_sent is 1
//   control reply  82 | result u32 | returned u32 | out_count u32 | out_count bytes
//
// A control call carries the caller's output buffer when it has one, because
// bulk writes pass their data there; the reply carries the first out_count
// bytes of that buffer after the call (out_count <= out_length), which the
// caller's buffer receives, and nothing beyond them is touched. Closing the
// connection closes the handle.
//
// Anything else is malformed: an unknown kind, another version, a body whose
// size disagrees with its fields, lengths over the limits below, a frame
// longer than the largest body. The side that receives it ends the
// connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace vboard::link {

inline constexpr uint8_t protocol_version = 1;

// The largest buffers one control call may carry: a bulk chunk (32 KiB) out,
// and in, twice the controller's 8 KiB of program memory (a firmware image).
inline constexpr uint32_t max_in_length = 16 * 1024;
inline constexpr uint32_t max_out_length = 32 * 1024;
inline constexpr uint32_t max_body_length = 1 + 4 + 4 + 4 + 1 + max_in_length + max_out_length;

namespace kind {
inline constexpr uint8_t open = 0x01;
inline constexpr uint8_t control = 0x02;
inline constexpr uint8_t open_reply = 0x81;
inline constexpr uint8_t control_reply = 0x82;
}  // namespace kind

struct OpenRequest {
    uint32_t device = 0;
    bool operator==(const OpenRequest&) const = default;
};

struct ControlRequest {
    uint32_t code = 0;
    std::vector<uint8_t> in;
    uint32_t out_length = 0;
    bool out_sent = false;          // `out` holds the caller's buffer (out_length bytes)
    std::vector<uint8_t> out;
    bool operator==(const ControlRequest&) const = default;
};

struct OpenReply {
    bool present = false;
    uint16_t vendor_id = 0;   // the present device's descriptor says
    uint16_t product_id = 0;
    bool operator==(const OpenReply&) const = default;
};

struct ControlReply {
    uint32_t result = 0;            // the driver's BOOL: 0 is failure
    uint32_t returned = 0;          // the bytes-returned count it reports
    std::vector<uint8_t> out;       // the first bytes of the output buffer after the call
    bool operator==(const ControlReply&) const = default;
};

using Request = std::variant<OpenRequest, ControlRequest>;
using Reply = std::variant<OpenReply, ControlReply>;

// Whole frames, length prefix included. A control request or reply whose
// buffers are over the limits cannot be encoded: nothing is returned.
std::vector<uint8_t> encode(const OpenRequest& request);
std::optional<std::vector<uint8_t>> encode(const ControlRequest& request);
std::vector<uint8_t> encode(const OpenReply& reply);
std::optional<std::vector<uint8_t>> encode(const ControlReply& reply);

// Bodies (without the length prefix). On malformed input they return nothing
// and set `error` to one line naming the fault.
std::optional<Request> decode_request(std::span<const uint8_t> body, std::string& error);
std::optional<Reply> decode_reply(std::span<const uint8_t> body, std::string& error);

// Cuts a byte stream into frame bodies as bytes arrive.
class FrameReader {
public:
    enum class Result : uint8_t { frame, need_more, error };

    // Takes received bytes.
    void feed(std::span<const uint8_t> bytes);
    // The next whole frame's body, if one is buffered. A length prefix over
    // max_body_length is an error at once, before its body arrives; after an
    // error the reader stays in error.
    Result next(std::vector<uint8_t>& body, std::string& error);
    // Bytes of a frame begun and not complete (0 between frames).
    size_t partial() const { return buffer_.size() - start_; }

private:
    std::vector<uint8_t> buffer_;
    size_t start_ = 0;
    bool failed_ = false;
    std::string error_;
};

}  // namespace vboard::link
