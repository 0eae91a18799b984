// The tool's command line. Without an argument the tool does its one job
// (banner, board, card ID); the options are rows of one table in options.cpp,
// where a further option is one more row and one more field here.
#pragma once

#include <string>

struct ToolOptions {
    bool help = false;
    bool version = false;
    bool list = false;         // --list: the boards reachable, one line each
    int device = 0;            // --device N: the board to use
    std::string read_raw;      // --read FILE: every page, data and spare, into FILE
    std::string read_logical;  // --read-logical FILE: the card's logical disk into FILE
    std::string write_logical; // --write-logical FILE: FILE onto the card's logical disk
    bool format = false;       // --format: the standard layout for the card's size
    bool no_verify = false;    // --no-verify: no read-back of what is written
    bool dry_run = false;      // --dry-run: print what a write would change, change nothing
    bool yes = false;          // --yes: change the card without asking
};

// Reads the arguments after the program name: true, or false with one line
// in `error` (the caller prints it with the usage and exits with 2).
bool parse_tool_options(int argc, const char* const* argv, ToolOptions& options, std::string& error);
// The usage text for --help and, on standard error, for a usage error.
std::string tool_usage();
// "card_tool 0.1.0 (nebu board tools)" with its newline: --version and the banner.
const char* tool_version_line();

// Exit statuses of the tool (a card read adds those in read.h).
inline constexpr int exit_success = 0;
inline constexpr int exit_failure = 1;
inline constexpr int exit_usage = 2;
