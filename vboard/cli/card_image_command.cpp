// vboard make-card-image: a card image in SmartMedia's physical format,
// holding a disk image as the card's logical disk.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cardimage/card_image.h"
#include "command_line.h"
#include "commands.h"

namespace vboard::cli {
namespace {

constexpr CommandHelp help = {
    "make-card-image",
    "usage: vboard make-card-image --card MAKER,DEVICE,ID3[,EXT] [--from DISK_IMAGE]\n"
    "                              [--bad-blocks N[,N...]] [--seed N] OUT\n"
    "Writes OUT, the raw pages (data + spare) of a card for --card-image: the card\n"
    "information structure in the first good block, DISK_IMAGE (e.g. a FAT file\n"
    "system made by mkfs.fat) as the card's logical disk, each block with its\n"
    "address field and ECC. Without --from the card is formatted as cameras expect:\n"
    "the standard SmartMedia layout for its size (master boot record, one FAT12 or\n"
    "FAT16 partition, an empty root directory), the other logical blocks unwritten.\n",
    "Exit status: 0 OUT written; 1 it could not be (DISK_IMAGE unreadable or too\n"
    "large for the card, OUT not creatable); 2 usage error.\n"};

bool parse_number(const std::string& text, uint32_t& out)
{
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || text[0] == '-' || *end != '\0' || errno != 0 || value > 0xFFFFFFFFul)
        return false;
    out = uint32_t(value);
    return true;
}

}  // namespace

int card_image_command(int argc, char** argv)
{
    cardimage::Request request;
    bool have_card = false;
    const std::vector<cmdline::Option> table = {
        {"--card", "", "M,D,ID3[,EXT]", "the card's ID bytes, hex (required)",
         [&](const std::string& v, std::string& error) {
             const auto id = card::parse_card_identity(v, error);
             if (!id)
                 return false;
             request.card = *id;
             have_card = true;
             return true;
         }},
        cmdline::text("--from", "", "DISK_IMAGE", "the logical disk to put on the card", request.from),
        {"--bad-blocks", "", "N[,N...]", "physical blocks marked bad",
         [&](const std::string& v, std::string& error) {
             std::size_t start = 0;
             for (;;) {
                 const std::size_t comma = v.find(',', start);
                 const std::string item = v.substr(start, comma == std::string::npos ? comma : comma - start);
                 uint32_t block = 0;
                 if (!parse_number(item, block)) {
                     error = "needs block numbers, not '" + cmdline::escaped(item) + "'";
                     return false;
                 }
                 request.bad_blocks.push_back(block);
                 if (comma == std::string::npos)
                     return true;
                 start = comma + 1;
             }
         }},
        {"--seed", "", "N", "chooses which good blocks hold the logical blocks (default 1)",
         [&](const std::string& v, std::string& error) {
             if (parse_number(v, request.seed))
                 return true;
             error = "needs a decimal number, not '" + cmdline::escaped(v) + "'";
             return false;
         }},
    };
    cmdline::Parsed parsed;
    if (const auto done = read_command_line(help, table, argc, argv, parsed))
        return *done;
    if (!have_card)
        return usage_error(help, "--card MAKER,DEVICE,ID3 is required");
    if (parsed.operands.empty())
        return usage_error(help, "no output file given");
    if (parsed.operands.size() > 1)
        return usage_error(help, "more than one output file given");
    std::string error;
    if (!cardimage::write_card_image(request, parsed.operands[0], error)) {
        std::fprintf(stderr, "vboard make-card-image: %s\n", error.c_str());
        return exit_failure;
    }
    return exit_success;
}

}  // namespace vboard::cli
