// Image identity, coverage files, and the collections counts are handed to.
#include "coverage/coverage.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <unistd.h>

namespace vboard::coverage {

namespace {

constexpr const char* file_header = "nebu-coverage 1";

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

void add_count(Count& into, const Count& c) {
    into.executed = saturating_add(into.executed, c.executed);
    into.jumped = saturating_add(into.jumped, c.jumped);
}

// Parses all of `text` as a number in `base`; false when it is not one.
bool parse_number(const std::string& text, int base, std::uint64_t& value) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || std::isspace(static_cast<unsigned char>(text[0])))
        return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, base);
    if (errno != 0 || *end != '\0') return false;
    value = v;
    return true;
}

// Writes `text` to a new file made from `pattern` (mkstemp's XXXXXX at its
// end) and renames it to `path`, or to the pattern's name with `suffix`
// when `path` is empty. False with one line in `error`.
bool write_via_temporary(std::string pattern, const std::string& path, const std::string& suffix,
                         const std::string& text, std::string& error) {
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) {
        error = "cannot create " + pattern + ": " + std::strerror(errno);
        return false;
    }
    const std::string target = path.empty() ? pattern + suffix : path;
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = "cannot write " + target + ": " + std::strerror(errno);
            ::close(fd);
            ::unlink(pattern.c_str());
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        error = "cannot write " + target + ": " + std::strerror(errno);
        ::unlink(pattern.c_str());
        return false;
    }
    if (::rename(pattern.c_str(), target.c_str()) != 0) {
        error = "cannot write " + target + ": " + std::strerror(errno);
        ::unlink(pattern.c_str());
        return false;
    }
    return true;
}

}  // namespace

std::uint64_t image_id(std::span<const std::uint8_t> code) {
    std::uint64_t h = 0xcbf29ce484222325ull;
    for (std::size_t i = 0; i < std::min(code.size(), image_bytes); ++i) {
        h ^= code[i];
        h *= 0x100000001b3ull;
    }
    return h;
}

// ---- Profile ------------------------------------------------------------------------------

void Profile::add(std::uint64_t image, const CodeCounts& counts) {
    ImageCounts* into = nullptr;
    for (std::uint32_t a = 0; a < 0x10000; ++a) {
        if (counts.executed[a] == 0) continue;
        if (!into) into = &images_[image];
        add_count((*into)[static_cast<std::uint16_t>(a)], Count{counts.executed[a], counts.jumped[a]});
    }
}

void Profile::add(const Profile& other) {
    for (const auto& [image, counts] : other.images_) {
        ImageCounts& into = images_[image];
        for (const auto& [addr, c] : counts) add_count(into[addr], c);
    }
}

bool Profile::read(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        error = "cannot read " + path;
        return false;
    }
    return parse(text.str(), path, error);
}

// The format: a header line, then per image an `image ID` line (16 hex
// digits) followed by `ADDR EXECUTED JUMPED` lines (4 hex digits, two
// decimal counts, JUMPED at most EXECUTED). '#' starts a comment line.
bool Profile::parse(const std::string& text, const std::string& name, std::string& error) {
    Profile read;
    std::istringstream in(text);
    std::string line;
    int number = 0;
    ImageCounts* current = nullptr;
    const auto bad = [&](const std::string& why) {
        error = name + ":" + std::to_string(number) + ": " + why;
        return false;
    };
    while (std::getline(in, line)) {
        ++number;
        if (number == 1) {
            if (line != file_header) return bad("not a coverage file (the first line is not '" + std::string(file_header) + "')");
            continue;
        }
        if (line.empty() || line[0] == '#') continue;
        std::istringstream words(line);
        std::string w[4];
        int n = 0;
        while (n < 4 && words >> w[n]) ++n;
        if (n == 4) return bad("too many fields");
        std::uint64_t v[3] = {};
        if (w[0] == "image") {
            if (n != 2 || w[1].size() != 16 || !parse_number(w[1], 16, v[0])) return bad("needs 'image' and 16 hex digits");
            current = &read.images_[v[0]];
            continue;
        }
        if (n != 3 || w[0].size() != 4 || !parse_number(w[0], 16, v[0]) || !parse_number(w[1], 10, v[1]) ||
            !parse_number(w[2], 10, v[2]))
            return bad("needs ADDR (4 hex digits), EXECUTED and JUMPED (decimal counts)");
        if (!current) return bad("counts before the first 'image' line");
        if (v[2] > v[1]) return bad("JUMPED is larger than EXECUTED");
        add_count((*current)[static_cast<std::uint16_t>(v[0])], Count{v[1], v[2]});
    }
    if (number == 0) return bad("empty, not a coverage file");
    add(read);
    return true;
}

std::string Profile::text() const {
    std::string out = std::string(file_header) + "\n";
    char buf[64];
    for (const auto& [image, counts] : images_) {
        std::snprintf(buf, sizeof buf, "image %016" PRIx64 "\n", image);
        out += buf;
        for (const auto& [addr, c] : counts) {
            std::snprintf(buf, sizeof buf, "%04x %" PRIu64 " %" PRIu64 "\n", addr, c.executed, c.jumped);
            out += buf;
        }
    }
    return out;
}

bool Profile::write(const std::string& path, std::string& error) const {
    return write_via_temporary(path + ".XXXXXX", path, "", text(), error);
}

bool check_writable(const std::string& path, std::string& error) {
    std::string pattern = path + ".XXXXXX";
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) {
        error = "cannot write coverage to " + path + ": " + std::strerror(errno);
        return false;
    }
    ::close(fd);
    ::unlink(pattern.c_str());
    return true;
}

// ---- collections --------------------------------------------------------------------------

void Collection::add(std::uint64_t image, const CodeCounts& counts) {
    const std::lock_guard<std::mutex> lock(mutex_);
    profile_.add(image, counts);
}

Profile Collection::profile() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return profile_;
}

namespace {

// Never destroyed: boards that outlive the exit handler hand their counts
// to it harmlessly.
Collection* process_collection = nullptr;
std::string process_directory;

void write_process_collection() {
    const Profile profile = process_collection->profile();
    if (profile.empty()) return;
    std::string error;
    const std::string pattern = process_directory + "/" + std::to_string(::getpid()) + "-XXXXXX";
    if (!write_via_temporary(pattern, "", ".cov", profile.text(), error)) {
        std::fprintf(stderr, "coverage (NEBU_COVERAGE_DIR): %s\n", error.c_str());
        std::fflush(stderr);
        std::_Exit(70);
    }
}

}  // namespace

Collection* environment_collection() {
    static Collection* const collection = [] () -> Collection* {
        const char* dir = std::getenv("NEBU_COVERAGE_DIR");
        if (!dir || !*dir) return nullptr;
        process_directory = dir;
        process_collection = new Collection;
        std::atexit(write_process_collection);
        return process_collection;
    }();
    return collection;
}

}  // namespace vboard::coverage
