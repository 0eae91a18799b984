// Command-line options read from a table. Each option is written once: its
// long name (and a short one if it has one), the name of its value if it
// takes one, one line of help and what it does with the value. The parser
// takes "--name VALUE" and "--name=VALUE" alike, lets options and operands
// mix, and treats everything after "--" as operands; the usage lines come
// from the same table, so an option added to a table is parsed and listed.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace cmdline {

struct Option {
    std::string name;        // "--card-image"
    std::string short_name;  // "-h", or empty
    std::string value;       // "FILE": the option takes a value; empty: a flag
    std::string help;        // one line; further lines after '\n' are indented alike
    // Takes the value (empty for a flag); false with the reason in `error`,
    // which the parser prefixes with the option's name.
    std::function<bool(const std::string& value, std::string& error)> apply;
    // Parsed but not listed in the usage (an option refused with a reason).
    bool hidden = false;
};

// An option that only sets a flag.
Option flag(std::string name, std::string short_name, std::string help, bool& target);
// An option whose value is kept as given, such as a file name ("--read
// FILE"); an empty value is refused.
Option text(std::string name, std::string short_name, std::string value_name, std::string help,
            std::string& target);

struct Parsed {
    std::vector<std::string> operands;  // the arguments that are not options, in order
    bool dashdash = false;              // a "--" was given
    std::size_t before_dashdash = 0;    // how many operands came before it
};

// Parses argv[0..argc) against `options`: true, or false with one line in
// `error` ("unknown option '--x'", "--card needs a value", "--fast takes no
// value", or the option's own reason).
bool parse(const std::vector<Option>& options, int argc, const char* const* argv, Parsed& parsed,
           std::string& error);

// The option lines of a usage text, one option (and its help) per line:
// "  -h, --help               this text".
std::string help(const std::vector<Option>& options);

// A text written for a one-line message: bytes outside printable ASCII and
// the backslash as \xNN.
std::string escaped(const std::string& text);

}  // namespace cmdline
