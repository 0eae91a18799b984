// fwimage: Intel HEX from the firmware linker -> raw image + C++ array.
//
//   fwimage IHX BIN CPP HEADER NAME [SIZE [FILL]]
//
// Fails (status 1, one line on stderr) when the HEX is malformed, a byte lies
// outside the image or two pieces overlap.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "image.h"
#include "ihex.h"

namespace {

std::string read_file(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error(std::string("cannot read ") + path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const char* path, const void* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) throw std::runtime_error(std::string("cannot write ") + path);
}

unsigned long number(const char* text, unsigned long max) {
    char* end = nullptr;
    const unsigned long v = std::strtoul(text, &end, 0);
    if (end == text || *end != '\0' || v > max)
        throw std::runtime_error(std::string("bad number: ") + text);
    return v;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 6 || argc > 8) {
        std::fprintf(stderr, "usage: fwimage IHX BIN CPP HEADER NAME [SIZE [FILL]]\n");
        return 2;
    }
    try {
        const auto size = static_cast<uint32_t>(argc > 6 ? number(argv[6], 0x10000) : 4096);
        const auto fill = static_cast<uint8_t>(argc > 7 ? number(argv[7], 0xFF) : 0xAA);
        const auto chunks = fwimage::parse_ihex(read_file(argv[1]));
        const auto image = fwimage::build_image(chunks, size, fill);
        write_file(argv[2], image.data(), image.size());
        const std::string cpp = fwimage::to_cpp_array(image, argv[4], argv[5]);
        write_file(argv[3], cpp.data(), cpp.size());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "fwimage: %s: %s\n", argv[1], e.what());
        return 1;
    }
    return 0;
}
