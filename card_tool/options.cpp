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
        cmdline::text("--write-logical", "", "FILE",
                      "after the ID, FILE (a disk image of the card's\n"
                      "logical size, as --read-logical makes it) onto\n"
                      "the card: only logical blocks that differ change",
                      o.write_logical),
        cmdline::flag("--format", "", "after the ID, the standard SmartMedia layout of\n"
                      "the card's size: information structure, partition,\n"
                      "boot sector, FATs, root directory; the rest erased",
                      o.format),
        cmdline::flag("--no-verify", "", "with a write: do not read written blocks back", o.no_verify),
        cmdline::flag("--dry-run", "", "with a write: print what would change, change\nnothing", o.dry_run),
        cmdline::flag("--yes", "-y", "with a write: change the card without asking", o.yes),
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
    const int jobs = int(!options.read_raw.empty()) + int(!options.read_logical.empty()) +
                     int(!options.write_logical.empty()) + int(options.format);
    if (jobs > 1) {
        error = "--read, --read-logical, --write-logical and --format exclude each other";
        return false;
    }
    if ((options.no_verify || options.dry_run || options.yes) && options.write_logical.empty() && !options.format) {
        error = "--no-verify, --dry-run and --yes go with --write-logical or --format";
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
           "A read's FILE is written as FILE.part and renamed to FILE when complete.\n"
           "A write (--write-logical, --format) asks on the terminal before it changes\n"
           "the card (default no); without a terminal it needs --yes.\n"
           "Exit status: 0 success (a read: FILE is complete; a write: the card holds\n"
           "FILE or the format); 1 failure (no board, no card, a failed step, an\n"
           "unknown card, FILE not creatable, a directory, unreadable or not the card's\n"
           "logical size, no logical disk on the card, a write-protected card, the\n"
           "answer no); 2 usage error; 3 the read stopped (card removed, transfer\n"
           "failed) and FILE was not made, or the write stopped so: every logical block\n"
           "is old or new, the same command again finishes it; 4 FILE holds the whole\n"
           "disk, but some sectors had errors the ECC cannot correct, a logical block\n"
           "was claimed twice, or one is missing (unclaimed while blocks without a\n"
           "valid address lie in its zone); 5 a zone of the card has no usable free\n"
           "block left: the logical blocks before it are written, each whole.\n";
}

const char* tool_version_line()
{
    return "card_tool " NEBU_VERSION " (nebu board tools)\n";
}
