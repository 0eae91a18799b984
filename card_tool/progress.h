// Progress of a firmware load (download, the wait for the board), shown on
// standard error when it is a terminal; standard output stays as it is.
#pragma once

#include <cstdio>

// Shows the progress from here on when standard error is a terminal.
void show_load_progress();

// Whether the stream is a terminal (progress is shown, a write asks first).
bool is_terminal(std::FILE* stream);
