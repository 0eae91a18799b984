// vboard: the virtual board's command line, one subcommand per job.
#include <cstdio>
#include <cstring>

#include "commands.h"

namespace {

struct Command {
    const char* name;
    int (*run)(int argc, char** argv);
    const char* summary;
};

constexpr Command commands[] = {
    {"cpu", vboard::cli::cpu_command, "run the 8051 core alone on a plain 8052 memory map"},
    {"serve", vboard::cli::serve_command, "present the board to programs until interrupted"},
    {"run", vboard::cli::run_command, "present the board while one command runs"},
    {"script", vboard::cli::script_command, "run host-side commands against a fresh board"},
    {"make-card-image", vboard::cli::card_image_command, "write a card image holding a disk image"},
};

void usage(std::FILE* out) {
    std::fprintf(out, "usage: vboard <command> [arguments]\ncommands:\n");
    for (const Command& c : commands) std::fprintf(out, "  %-16s %s\n", c.name, c.summary);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        usage(stderr);
        return 1;
    }
    if (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
        usage(stdout);
        return 0;
    }
    for (const Command& c : commands)
        if (!std::strcmp(argv[1], c.name)) return c.run(argc - 2, argv + 2);
    std::fprintf(stderr, "vboard: unknown command '%s'\n", argv[1]);
    usage(stderr);
    return 1;
}
