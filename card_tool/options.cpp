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
           "Without an option: makes sure board 0 runs our firmware (downloading it and\n"
           "waiting for the board to come back when it does not), checks that a card is\n"
           "in the socket and prints the card's ID bytes.\n"
           "options:\n" +
           cmdline::help(option_table(unused)) +
           "A read's FILE is written as FILE.part and renamed to FILE when complete.\n"
           "A write (--write-logical, --format) asks on the terminal before it changes\n"
           "the card (default no); without a terminal it needs --yes.\n"
           "Exit status: 0 success (a read: FILE is complete; a write: the card holds\n"
           "FILE or the format); 1 failure (no board, no card, a failed step, an\n"
           "unknown card, FILE not creatable, unreadable or not the card's logical\n"
           "size, a write-protected card, the answer no); 2 usage error; 3 the read\n"
           "stopped (card removed, transfer failed) and FILE was not made, or the\n"
           "write stopped so: every logical block is old or new, the same command\n"
           "again finishes it; 4 FILE holds the whole disk, but some sectors had\n"
           "errors the ECC cannot correct or a logical block was claimed twice; 5 a\n"
           "zone of the card has no usable free block left: the logical blocks\n"
           "before it are written, each whole.\n";
}

const char* tool_version_line()
{
    return "card_tool " NEBU_VERSION " (nebu board tools)\n";
}
