// The tool's options: one table, read by the parser and by the usage text.

#include "card_tool/options.h"

#include "cmdline/cmdline.h"

#include <vector>

namespace {

// One row per option; an option with a file argument is a cmdline::text row
// storing into a field of ToolOptions.
std::vector<cmdline::Option> option_table(ToolOptions& o)
{
    return {
        cmdline::flag("--help", "-h", "print this text and exit", o.help),
        cmdline::flag("--version", "", "print the version and exit", o.version),
        cmdline::text("--read", "", "FILE",
                      "after the ID, every page (data and spare bytes) in\n"
                      "page order into FILE: vboard's --card-image layout",
                      o.read_raw),
        cmdline::text("--read-logical", "", "FILE",
                      "after the ID, the card's logical disk (its FAT file\n"
                      "system) into FILE, ECC-checked, single bits corrected",
                      o.read_logical),
    };
}

}  // namespace

bool parse_tool_options(int argc, const char* const* argv, ToolOptions& options, std::string& error)
{
    cmdline::Parsed parsed;
    if (!cmdline::parse(option_table(options), argc, argv, parsed, error))
        return false;
    if (!parsed.operands.empty()) {
        error = "unexpected argument '" + cmdline::escaped(parsed.operands[0]) + "'";
        return false;
    }
    if (!options.read_raw.empty() && !options.read_logical.empty()) {
        error = "--read and --read-logical exclude each other";
        return false;
    }
    return true;
}

std::string tool_usage()
{
    ToolOptions unused;
    return "usage: card_tool [OPTION]\n"
           "Without an option: makes sure board 0 runs our firmware (downloading it and\n"
           "waiting for the board to come back when it does not), checks that a card is\n"
           "in the socket and prints the card's ID bytes.\n"
           "options:\n" +
           cmdline::help(option_table(unused)) +
           "FILE is written as FILE.part and renamed to FILE when the read is complete.\n"
           "Exit status: 0 success (with a read: FILE is complete); 1 failure (no board,\n"
           "no card, a failed step, an unknown card, FILE not creatable or a directory,\n"
           "no logical disk on the card); 2 usage error; 3 the read stopped (card\n"
           "removed, transfer failed) and FILE was not made; 4 FILE holds the whole disk,\n"
           "but some sectors had errors the ECC cannot correct, a logical block was\n"
           "claimed twice, or one is missing (unclaimed while blocks without a valid\n"
           "address lie in its zone).\n";
}

const char* tool_version_line()
{
    return "card_tool " NEBU_VERSION " (nebu board tools)\n";
}
