#include "card_tool/card_tool.h"
#include "card_tool/read.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

// ---- card read options --------------------------------------------------
// --read FILE / --read-logical FILE / --help. Without arguments the tool
// runs its plain flow (banner, card, ID line).
namespace {

constexpr const char* read_help =
    "usage: card_tool [--read FILE | --read-logical FILE]\n"
    "Without options: brings the board up, checks for a card and prints its ID bytes.\n"
    "  --read FILE           then reads every page of the card, data and spare bytes,\n"
    "                        in page order into FILE (512 + 16 bytes a page; 256 + 8\n"
    "                        on 1 and 2 MB cards): the layout of vboard's --card-image\n"
    "  --read-logical FILE   then writes the card's logical disk (its FAT file system)\n"
    "                        into FILE, from the block addresses in the spare areas,\n"
    "                        every 256 bytes checked by their ECC, single bits corrected\n"
    "FILE is written as FILE.part and renamed to FILE when the read is complete.\n"
    "Exit status: 0 complete; 1 no board, no card, unknown card or FILE not creatable;\n"
    "2 bad command line; 3 the read stopped (card removed, transfer failed) and FILE\n"
    "was not made; 4 FILE holds the whole disk, but some sectors had errors the ECC\n"
    "cannot correct or a logical block was claimed twice.\n";

// The status of a read the arguments ask for, or -1 when there are none.
int read_options(int argc, char** argv)
{
    if (argc <= 1)
        return -1;
    if (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
        std::fputs(read_help, stdout);
        return 0;
    }
    const bool raw = !std::strcmp(argv[1], "--read");
    const bool logical = !std::strcmp(argv[1], "--read-logical");
    if ((!raw && !logical) || argc != 3 || argv[2][0] == '\0') {
        std::fprintf(stderr, "card_tool: %s\n%s",
                     raw || logical ? "one FILE after the read option, nothing else" : "unknown option",
                     read_help);
        return read_usage;
    }
    return card_tool_read(raw ? sm_read_mode::raw : sm_read_mode::logical, argv[2]);
}

}  // namespace
// ---- end of card read options --------------------------------------------

int main(int argc, char** argv)
{
    const int read_status = read_options(argc, argv);
    std::exit(read_status >= 0 ? read_status : card_tool_run());
}
