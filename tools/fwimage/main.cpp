// fwimage: Intel HEX from the firmware linker -> raw image + C++ array.
//
//   fwimage IHX BIN CPP HEADER NAME [SIZE [FILL]]
//
// Fails (status 1, one line on stderr, with the operating system's reason
// where it has one) when the HEX cannot be read, is empty or malformed, a
// byte lies outside the image, two pieces overlap or an output cannot be
// written; status 2 for a usage error: a SIZE of 0 or over 65536, a FILL
// over 0xFF, a HEADER or NAME that would not compile.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include <sys/stat.h>

#include "image.h"
#include "ihex.h"

namespace {

constexpr const char* usage = "usage: fwimage IHX BIN CPP HEADER NAME [SIZE [FILL]]\n";

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string read_file(const char* path) {
    struct stat st {};
    if (::stat(path, &st) != 0) throw std::runtime_error(std::string("cannot read: ") + std::strerror(errno));
    if (S_ISDIR(st.st_mode)) throw std::runtime_error("is a directory, not Intel HEX");
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error(std::string("cannot read: ") + std::strerror(errno));
    std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) throw std::runtime_error(std::string("cannot read: ") + std::strerror(errno));
    if (text.empty()) throw std::runtime_error("empty file: no Intel HEX records");
    return text;
}

void write_file(const char* path, const void* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (out) out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (out) out.close();
    if (!out) throw std::runtime_error(std::string(path) + ": cannot write: " + std::strerror(errno));
}

unsigned long number(const char* what, const char* text, unsigned long min, unsigned long max) {
    char* end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(text, &end, 0);
    if (end == text || *end != '\0' || errno != 0 || text[0] == '-' || v < min || v > max)
        throw UsageError(std::string(what) + " '" + text + "' is not a number from " + std::to_string(min) +
                         " to " + std::to_string(max));
    return v;
}

// The array's name goes into C++ source: an identifier.
void check_name(const char* name) {
    bool ok = (name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z') || name[0] == '_';
    for (const char* p = name; ok && *p; ++p)
        ok = (*p >= 'A' && *p <= 'Z') || (*p >= 'a' && *p <= 'z') || (*p >= '0' && *p <= '9') || *p == '_';
    if (!ok) throw UsageError(std::string("NAME '") + name + "' is not a C++ identifier");
}

// The header goes into #include "HEADER".
void check_header(const char* header) {
    bool ok = header[0] != '\0';
    for (const char* p = header; ok && *p; ++p)
        ok = static_cast<unsigned char>(*p) >= 0x20 && *p != '"' && *p != '\\' && *p != 0x7F;
    if (!ok) throw UsageError(std::string("HEADER '") + header + "' cannot be written in an #include line");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 6 || argc > 8) {
        std::fputs(usage, stderr);
        return 2;
    }
    uint32_t size = 4096;
    uint8_t fill = 0xAA;
    try {
        if (argc > 6) size = static_cast<uint32_t>(number("SIZE", argv[6], 1, 0x10000));
        if (argc > 7) fill = static_cast<uint8_t>(number("FILL", argv[7], 0, 0xFF));
        check_header(argv[4]);
        check_name(argv[5]);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "fwimage: %s\n%s", e.what(), usage);
        return 2;
    }
    std::vector<uint8_t> image;
    try {
        image = fwimage::build_image(fwimage::parse_ihex(read_file(argv[1])), size, fill);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "fwimage: %s: %s\n", argv[1], e.what());
        return 1;
    }
    try {
        write_file(argv[2], image.data(), image.size());
        const std::string cpp = fwimage::to_cpp_array(image, argv[4], argv[5]);
        write_file(argv[3], cpp.data(), cpp.size());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "fwimage: %s\n", e.what());
        return 1;
    }
    return 0;
}
