// vboard make-card-image: a card image in SmartMedia's physical format,
// holding a disk image as the card's logical disk.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cardimage/card_image.h"
#include "commands.h"

namespace vboard::cli {
namespace {

constexpr const char* usage_text =
    "usage: vboard make-card-image --card MAKER,DEVICE,ID3[,EXT] [--from DISK_IMAGE]\n"
    "                              [--bad-blocks N[,N...]] [--seed N] OUT\n"
    "Writes OUT, the raw pages (data + spare) of a card for --card-image: the card\n"
    "information structure in the first good block, DISK_IMAGE (e.g. a FAT file\n"
    "system made by mkfs.fat) as the card's logical disk, each block with its\n"
    "address field and ECC. Without --from the disk is an empty FAT file system.\n"
    "--bad-blocks marks physical blocks bad; --seed\n"
    "chooses which good blocks hold the logical blocks (default 1).\n";

int bad_usage(const std::string& what) {
    std::fprintf(stderr, "vboard make-card-image: %s\n", what.c_str());
    return 2;
}

bool parse_number(const char* text, uint32_t& out) {
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || value > 0xFFFFFFFFul || text[0] == '-') return false;
    out = uint32_t(value);
    return true;
}

}  // namespace

int card_image_command(int argc, char** argv) {
    cardimage::Request request;
    bool have_card = false;
    const char* out = nullptr;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            std::fputs(usage_text, stdout);
            return 0;
        } else if (arg == "--card" || arg == "--from" || arg == "--bad-blocks" || arg == "--seed") {
            if (!has_value) return bad_usage(arg + " needs a value");
            const char* value = argv[++i];
            if (arg == "--card") {
                std::string error;
                const auto id = card::parse_card_identity(value, error);
                if (!id) return bad_usage(error);
                request.card = *id;
                have_card = true;
            } else if (arg == "--from") {
                request.from = value;
            } else if (arg == "--seed") {
                if (!parse_number(value, request.seed)) return bad_usage(std::string("--seed '") + value + "' is not a number");
            } else {
                std::string list = value;
                size_t start = 0;
                for (;;) {
                    const size_t comma = list.find(',', start);
                    const std::string item = list.substr(start, comma == std::string::npos ? comma : comma - start);
                    uint32_t block = 0;
                    if (!parse_number(item.c_str(), block))
                        return bad_usage("--bad-blocks '" + list + "': '" + item + "' is not a block number");
                    request.bad_blocks.push_back(block);
                    if (comma == std::string::npos) break;
                    start = comma + 1;
                }
            }
        } else if (arg.size() > 1 && arg[0] == '-') {
            return bad_usage("unknown option " + arg);
        } else if (out) {
            return bad_usage("more than one output file given");
        } else {
            out = argv[i];
        }
    }
    if (!have_card) return bad_usage("--card MAKER,DEVICE,ID3 is required");
    if (!out) return bad_usage("no output file given");
    std::string error;
    if (!cardimage::write_card_image(request, out, error)) {
        std::fprintf(stderr, "vboard make-card-image: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

}  // namespace vboard::cli
