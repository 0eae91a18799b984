// vboard: the virtual board's command line, one subcommand per job.
#include <cstdio>
#include <cstring>

#include "command_line.h"
#include "commands.h"

namespace {

using namespace vboard::cli;

struct Command {
    const char* name;
    int (*run)(int argc, char** argv);
    const char* summary;
};

constexpr Command commands[] = {
    {"cpu", cpu_command, "run the 8051 core alone on a plain 8052 memory map"},
    {"serve", serve_command, "present the board to programs until interrupted"},
    {"run", run_command, "present the board while one command runs"},
    {"script", script_command, "run host-side commands against a fresh board"},
    {"make-card-image", card_image_command, "write a card image holding a disk image"},
};

void usage(std::FILE* out) {
    std::fprintf(out, "usage: vboard <command> [arguments]\n"
                      "       vboard help [command] | --help | --version\n"
                      "commands:\n");
    for (const Command& c : commands) std::fprintf(out, "  %-16s %s\n", c.name, c.summary);
    std::fprintf(out,
                 "'vboard <command> --help' describes a command.\n"
                 "Exit status: 0 success, 1 failure, 2 usage error; 'run' exits with its\n"
                 "command's status (128+N when a signal N ended it) and with 125 when it\n"
                 "fails itself.\n");
}

const Command* find(const char* name) {
    for (const Command& c : commands)
        if (!std::strcmp(name, c.name)) return &c;
    return nullptr;
}

int unknown(const char* name) {
    std::fprintf(stderr, "vboard: unknown command '%s'\n", cmdline::escaped(name).c_str());
    usage(stderr);
    return exit_usage;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        usage(stderr);
        return exit_usage;
    }
    const char* first = argv[1];
    if (!std::strcmp(first, "--help") || !std::strcmp(first, "-h") || !std::strcmp(first, "help")) {
        if (!std::strcmp(first, "help") && argc > 2) {
            const Command* c = find(argv[2]);
            if (!c) return unknown(argv[2]);
            char help_arg[] = "--help";
            char* args[] = {help_arg, nullptr};
            return c->run(1, args);
        }
        usage(stdout);
        return exit_success;
    }
    if (!std::strcmp(first, "--version")) {
        std::fputs("vboard " NEBU_VERSION " (nebu board tools)\n", stdout);
        return exit_success;
    }
    if (const Command* c = find(first)) return c->run(argc - 2, argv + 2);
    return unknown(first);
}
