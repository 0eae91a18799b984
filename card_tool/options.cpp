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
           "Exit status: 0 success, 1 failure (no board, no card, a failed step),\n"
           "2 usage error.\n";
}

const char* tool_version_line()
{
    return "card_tool " NEBU_VERSION " (nebu board tools)\n";
}
