// Reading a subcommand's command line and writing its usage text.

#include "command_line.h"

#include <cstdio>

namespace vboard::cli {

namespace {

std::string usage_text(const CommandHelp& help, const std::vector<cmdline::Option>& options)
{
    return std::string(help.synopsis) + "options:\n" + cmdline::help(options) + help.statuses;
}

}  // namespace

std::optional<int> read_command_line(const CommandHelp& help, std::vector<cmdline::Option> options, int argc,
                                     char** argv, cmdline::Parsed& parsed, int usage_status)
{
    bool want_help = false;
    options.push_back(cmdline::flag("--help", "-h", "print this text and exit", want_help));
    // Help is answered even when the other arguments are wrong; after "--"
    // the arguments are a command's, not ours.
    for (int i = 0; i < argc && std::string(argv[i]) != "--"; ++i)
        if (std::string(argv[i]) == "--help" || std::string(argv[i]) == "-h") {
            std::fputs(usage_text(help, options).c_str(), stdout);
            return exit_success;
        }
    std::string error;
    if (!cmdline::parse(options, argc, argv, parsed, error))
        return usage_error(help, error, usage_status);
    return std::nullopt;
}

int usage_error(const CommandHelp& help, const std::string& what, int status)
{
    std::fprintf(stderr, "vboard %s: %s\n(vboard %s --help lists the options)\n", help.name, what.c_str(),
                 help.name);
    return status;
}

}  // namespace vboard::cli
