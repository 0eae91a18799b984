#include "cpu/image.h"

#include "ihex.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <sys/stat.h>

namespace vboard {

namespace {

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
    std::vector<fwimage::Chunk> chunks;
    try {
        chunks = fwimage::parse_ihex(data, /*require_end=*/false);
    } catch (const fwimage::IhexError& e) {
        *error = name + ":" + std::to_string(e.line()) + ": " + e.reason();
        return false;
    }
    std::vector<ImageRange> loaded;
    for (const fwimage::Chunk& c : chunks) {
        const std::uint64_t end = std::uint64_t{c.address} + c.bytes.size();
        if (end > 0x10000) {
            *error = name + ":" + std::to_string(c.line) + ": data beyond 0xFFFF";
            return false;
        }
        std::copy(c.bytes.begin(), c.bytes.end(), code + c.address);
        loaded.push_back(ImageRange{c.address, static_cast<std::uint32_t>(end)});
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
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        *error = path + ": cannot open: " + std::strerror(errno);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        *error = path + ": is a directory, not an image";
        return false;
    }
    // 64 KiB as Intel HEX of one byte a record is under 1 MiB; a larger
    // file (or a device without an end, such as /dev/zero) is no image, and
    // is not read any further.
    constexpr std::size_t most = std::size_t{4} << 20;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        *error = path + ": cannot open: " + std::strerror(errno);
        return false;
    }
    std::string data;
    char chunk[65536];
    std::size_t got = 0;
    while (data.size() <= most && (got = std::fread(chunk, 1, sizeof chunk, f)) > 0) data.append(chunk, got);
    const bool failed = std::ferror(f) != 0;
    const int code_of_error = errno;
    std::fclose(f);
    if (failed) {
        *error = path + ": read error: " + std::strerror(code_of_error);
        return false;
    }
    if (data.size() > most) {
        *error = path + ": larger than 4 MiB, not an image of at most 64 KiB";
        return false;
    }
    return load_image_bytes(data, path, code, ranges, error);
}

}  // namespace vboard
