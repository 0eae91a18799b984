#include "ihex.h"


namespace fwimage {
namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

[[noreturn]] void fail(int line, const std::string& reason) {
    throw IhexError(line, reason);
}

}  // namespace

std::vector<Chunk> parse_ihex(std::string_view text, bool require_end) {
    std::vector<Chunk> chunks;
    uint32_t base = 0;
    bool ended = false;
    int line_no = 0;
    while (!text.empty()) {
        const auto eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text = eol == std::string_view::npos ? std::string_view{} : text.substr(eol + 1);
        ++line_no;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.remove_suffix(1);
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
        if (line.empty()) continue;
        if (ended) fail(line_no, "data after the end-of-file record");
        if (line.front() != ':') fail(line_no, "record does not start with ':'");
        line.remove_prefix(1);
        if (line.size() % 2 != 0 || line.size() < 10) fail(line_no, "record too short or odd length");

        std::vector<uint8_t> rec(line.size() / 2);
        for (size_t i = 0; i < rec.size(); ++i) {
            const int hi = hex_digit(line[2 * i]), lo = hex_digit(line[2 * i + 1]);
            if (hi < 0 || lo < 0) fail(line_no, "non-hex character");
            rec[i] = static_cast<uint8_t>(hi << 4 | lo);
        }
        const size_t count = rec[0];
        if (rec.size() != count + 5) fail(line_no, "record length does not match its byte count");
        uint8_t sum = 0;
        for (uint8_t b : rec) sum = static_cast<uint8_t>(sum + b);
        if (sum != 0) fail(line_no, "bad checksum");

        const uint32_t offset = static_cast<uint32_t>(rec[1] << 8 | rec[2]);
        const uint8_t type = rec[3];
        const uint8_t* data = rec.data() + 4;
        switch (type) {
        case 0x00:
            if (count > 0) chunks.push_back({base + offset, std::vector<uint8_t>(data, data + count), line_no});
            break;
        case 0x01:
            ended = true;
            break;
        case 0x02:  // extended segment address: base = value * 16
            if (count != 2) fail(line_no, "extended segment record needs 2 bytes");
            base = static_cast<uint32_t>(data[0] << 8 | data[1]) << 4;
            break;
        case 0x04:  // extended linear address: upper 16 bits
            if (count != 2) fail(line_no, "extended linear record needs 2 bytes");
            base = static_cast<uint32_t>(data[0] << 8 | data[1]) << 16;
            break;
        case 0x03:
        case 0x05:  // start address: no bearing on the image
            break;
        default:
            fail(line_no, "unknown record type " + std::to_string(type));
        }
    }
    if (require_end && !ended) fail(line_no, "missing end-of-file record");
    return chunks;
}

}  // namespace fwimage
