// Intel HEX reader: the firmware build's and the virtual board's.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace fwimage {

// One data record's bytes at their absolute address.
struct Chunk {
    uint32_t address;
    std::vector<uint8_t> bytes;
    int line = 0;  // the record's line in the text
};

// A malformed record: what() is "line N: reason".
class IhexError : public std::runtime_error {
public:
    IhexError(int line, const std::string& reason)
        : std::runtime_error("line " + std::to_string(line) + ": " + reason), line_(line), reason_(reason) {}
    int line() const { return line_; }
    const std::string& reason() const { return reason_; }

private:
    int line_;
    std::string reason_;
};

// Parses Intel HEX text (data, end-of-file and extended-address records).
// Throws IhexError on a malformed record, a bad checksum, or (when
// `require_end`) a missing end-of-file record.
std::vector<Chunk> parse_ihex(std::string_view text, bool require_end = true);

}  // namespace fwimage
