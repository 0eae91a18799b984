#include "card_tool/card_tool.h"
#include "card_tool/options.h"
#include "card_tool/progress.h"
#include "card_tool/read.h"

#include <cstdio>
#include <cstdlib>
#include <string>

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
    card_tool_use_board(options.device);
    show_load_progress();
    if (!options.read_raw.empty())
        std::exit(card_tool_read(sm_read_mode::raw, options.read_raw.c_str()));
    if (!options.read_logical.empty())
        std::exit(card_tool_read(sm_read_mode::logical, options.read_logical.c_str()));
    std::exit(card_tool_run());
}
