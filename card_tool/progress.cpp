// Progress of a firmware load on a terminal's standard error.

#include "card_tool/progress.h"

#include "cusb/cusb.h"

#include <cstdio>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

void report(cusb_stage stage, unsigned long waited_ms)
{
    if (stage == cusb_stage::download)
        std::fputs("card_tool: downloading the firmware to the board\n", stderr);
    else if (waited_ms == 0)
        std::fputs("card_tool: waiting for the board to come back with it\n", stderr);
    else
        std::fprintf(stderr, "card_tool: still waiting for the board (%lu s)\n", waited_ms / 1000);
    std::fflush(stderr);
}

}  // namespace

bool is_terminal(std::FILE* stream)
{
#ifdef _WIN32
    return _isatty(_fileno(stream)) != 0;
#else
    return isatty(fileno(stream)) != 0;
#endif
}

void show_load_progress()
{
    if (is_terminal(stderr))
        cusb_set_progress(report);
}
