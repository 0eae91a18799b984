// The command line of every vboard subcommand, read one way: the command's
// option table (board options, the command's own, and -h/--help added here)
// goes through the shared table-driven parser, which takes "--opt value"
// and "--opt=value" alike; a usage error prints one line and the usage on
// standard error. A further option is one more row in a command's table.
#pragma once

#include "cmdline/cmdline.h"

#include <optional>
#include <string>
#include <vector>

namespace vboard::cli {

// Exit statuses of vboard and its subcommands (`run` passes on its
// command's status and answers its own failures with run_failure).
inline constexpr int exit_success = 0;
inline constexpr int exit_failure = 1;
inline constexpr int exit_usage = 2;
inline constexpr int run_failure = 125;

// What a subcommand says about itself in --help.
struct CommandHelp {
    const char* name;     // "script"
    const char* synopsis; // "usage: vboard script [OPTIONS] [FILE]\n<what it does>\n"
    const char* statuses; // "Exit status: ...\n"
};

// Parses argv[0..argc) against `options` plus -h/--help. Returns the exit
// status when the command is done (help printed: 0; usage error printed:
// `usage_status`), or nothing with the operands in `parsed`.
std::optional<int> read_command_line(const CommandHelp& help, std::vector<cmdline::Option> options, int argc,
                                     char** argv, cmdline::Parsed& parsed, int usage_status = exit_usage);

// Prints "vboard NAME: WHAT" and the usage hint on standard error; returns `status`.
int usage_error(const CommandHelp& help, const std::string& what, int status = exit_usage);

}  // namespace vboard::cli
