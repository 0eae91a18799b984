#include "card_tool/card_tool.h"
#include "card_tool/options.h"
#include "card_tool/progress.h"
#include "card_tool/read.h"
#include "card_tool/writer.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// Asks on the terminal; anything but an answer starting with y is no.
bool ask(const std::string& plan)
{
    std::printf("Change the card (%s)? [y/N] ", plan.c_str());
    char answer[16] = {};
    if (!std::fgets(answer, sizeof answer, stdin))
        return false;
    return answer[0] == 'y' || answer[0] == 'Y';
}

}  // namespace

int main(int argc, char** argv)
{
    // Every line goes out as it is written, so that a piped or killed run
    // (the wait for the board can be long) keeps what it printed.
    std::setvbuf(stdout, nullptr, _IONBF, 0);

    ToolOptions options;
    std::string error;
    if (!parse_tool_options(argc - 1, argv + 1, options, error)) {
        std::fprintf(stderr, "card_tool: %s\n%s", error.c_str(), tool_usage().c_str());
        std::exit(exit_usage);
    }
    if (options.help) {
        std::fputs(tool_usage().c_str(), stdout);
        std::exit(exit_success);
    }
    if (options.version) {
        std::fputs(tool_version_line(), stdout);
        std::exit(exit_success);
    }
    if (options.list)
        std::exit(card_tool_list());
    const bool writes = !options.write_logical.empty() || options.format;
    if (writes && !options.dry_run && !options.yes && !is_terminal(stdin)) {
        std::fprintf(stderr, "card_tool: a write asks before it changes the card: no terminal to ask, so give --yes\n%s",
                     tool_usage().c_str());
        std::exit(exit_usage);
    }
    card_tool_use_board(options.device);
    show_load_progress();
    if (!options.read_raw.empty())
        std::exit(card_tool_read(sm_read_mode::raw, options.read_raw.c_str()));
    if (!options.read_logical.empty())
        std::exit(card_tool_read(sm_read_mode::logical, options.read_logical.c_str()));
    if (writes) {
        sm_write_request request;
        request.file = options.write_logical;
        request.format = options.format;
        request.verify = !options.no_verify;
        request.dry_run = options.dry_run;
        if (!options.yes)
            request.confirm = ask;
        std::exit(card_tool_write(request));
    }
    std::exit(card_tool_run());
}
