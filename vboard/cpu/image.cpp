#include "cpu/image.h"

#include <algorithm>
#include <fstream>
#include <sstream>

namespace vboard {

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Merges touching or overlapping ranges, in address order.
std::vector<ImageRange> merge(std::vector<ImageRange> r) {
    std::sort(r.begin(), r.end(), [](const ImageRange& a, const ImageRange& b) { return a.begin < b.begin; });
    std::vector<ImageRange> out;
    for (const ImageRange& x : r) {
        if (!out.empty() && x.begin <= out.back().end)
            out.back().end = std::max(out.back().end, x.end);
        else
            out.push_back(x);
    }
    return out;
}

bool load_hex(const std::string& data, const std::string& name, std::uint8_t* code, std::vector<ImageRange>* ranges,
              std::string* error) {
    std::istringstream in(data);
    std::string line;
    int lineno = 0;
    std::uint32_t base = 0;
    std::vector<ImageRange> loaded;
    bool ended = false;
    auto fail = [&](const std::string& why) {
        *error = name + ":" + std::to_string(lineno) + ": " + why;
        return false;
    };
    while (std::getline(in, line)) {
        ++lineno;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
        std::size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos) continue;
        if (ended) return fail("data after the end-of-file record");
        if (line[start] != ':') return fail("record does not start with ':'");
        const std::string rec = line.substr(start + 1);
        if (rec.size() < 10 || rec.size() % 2 != 0) return fail("malformed record");
        std::vector<std::uint8_t> b;
        for (std::size_t i = 0; i < rec.size(); i += 2) {
            const int hi = hex_digit(rec[i]);
            const int lo = hex_digit(rec[i + 1]);
            if (hi < 0 || lo < 0) return fail("bad hex digit");
            b.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
        }
        const std::size_t count = b[0];
        if (b.size() != count + 5) return fail("record length does not match its byte count");
        std::uint8_t sum = 0;
        for (std::uint8_t v : b) sum = static_cast<std::uint8_t>(sum + v);
        if (sum != 0) return fail("bad checksum");
        const std::uint32_t offset = static_cast<std::uint32_t>(b[1] << 8 | b[2]);
        switch (b[3]) {
        case 0x00: {
            const std::uint32_t addr = base + offset;
            if (addr + count > 0x10000) return fail("data beyond 0xFFFF");
            std::copy(b.begin() + 4, b.begin() + 4 + static_cast<std::ptrdiff_t>(count), code + addr);
            if (count) loaded.push_back(ImageRange{addr, static_cast<std::uint32_t>(addr + count)});
            break;
        }
        case 0x01: ended = true; break;
        case 0x02:
            if (count != 2) return fail("malformed segment record");
            base = static_cast<std::uint32_t>((b[4] << 8 | b[5]) << 4);
            break;
        case 0x04:
            if (count != 2) return fail("malformed address record");
            base = static_cast<std::uint32_t>((b[4] << 8 | b[5]) << 16);
            break;
        case 0x03: case 0x05: break;  // start address: not used
        default: return fail("unknown record type");
        }
    }
    if (ranges) *ranges = merge(std::move(loaded));
    return true;
}

}  // namespace

bool load_image_bytes(const std::string& data, const std::string& name, std::uint8_t* code,
                      std::vector<ImageRange>* ranges, std::string* error) {
    const std::size_t first = data.find_first_not_of(" \t\r\n");
    if (first != std::string::npos && data[first] == ':') return load_hex(data, name, code, ranges, error);
    if (data.size() > 0x10000) {
        *error = name + ": raw image larger than 64 KiB";
        return false;
    }
    std::copy(data.begin(), data.end(), code);
    if (ranges) {
        ranges->clear();
        if (!data.empty()) ranges->push_back(ImageRange{0, static_cast<std::uint32_t>(data.size())});
    }
    return true;
}

bool load_image(const std::string& path, std::uint8_t* code, std::vector<ImageRange>* ranges, std::string* error) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        *error = path + ": cannot open";
        return false;
    }
    std::ostringstream ss;
    ss << f.rdbuf();
    if (f.bad()) {
        *error = path + ": read error";
        return false;
    }
    return load_image_bytes(ss.str(), path, code, ranges, error);
}

}  // namespace vboard
