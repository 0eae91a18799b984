// The tool's options: one table, read by the parser and by the usage text.

#include "card_tool/options.h"

#include "cmdline/cmdline.h"

#include <climits>
#include <vector>

namespace {

// A board number: decimal digits, 0 to INT_MAX.
cmdline::Option board_number(ToolOptions& o)
{
    return {"--device", "", "N", "use board N (default 0); --list shows the numbers",
            [&o](const std::string& value, std::string& error) {
                long long n = 0;
                for (const char c : value)
                    if (c < '0' || c > '9' || (n = n * 10 + (c - '0')) > INT_MAX) {
                        error = "needs a board number from 0 to " + std::to_string(INT_MAX);
                        return false;
                    }
                if (value.empty()) {
                    error = "needs a board number";
                    return false;
                }
                o.device = static_cast<int>(n);
                return true;
            }};
}

// One row per option; an option with a file argument is a cmdline::text row
// storing into a field of ToolOptions.
std::vector<cmdline::Option> option_table(ToolOptions& o)
{
    return {
        cmdline::flag("--help", "-h", "print this text and exit", o.help),
        cmdline::flag("--version", "", "print the version and exit", o.version),
        cmdline::flag("--list", "", "list the boards this machine reaches, one line each,\n"
                                    "and exit; downloads nothing", o.list),
        board_number(o),
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
    if (options.list && argc != 1) {
        error = "--list takes no other argument";
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
           "Without an option: makes sure board 0 (or --device N) runs our firmware\n"
           "(downloading it and waiting for the board to come back when it does not),\n"
           "checks that a card is in the socket and prints the card's ID bytes.\n"
           "options:\n" +
           cmdline::help(option_table(unused)) +
           "FILE is written as FILE.part and renamed to FILE when the read is complete.\n"
           "Exit status: 0 success (with a read: FILE is complete); 1 failure (no board,\n"
           "no card, a failed step, an unknown card, FILE not creatable); 2 usage error;\n"
           "3 the read stopped (card removed, transfer failed) and FILE was not made;\n"
           "4 FILE holds the whole disk, but some sectors had errors the ECC cannot\n"
           "correct or a logical block was claimed twice.\n";
}

const char* tool_version_line()
{
    return "card_tool " NEBU_VERSION " (nebu board tools)\n";
}
