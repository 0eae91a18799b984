// Subcommands of the `vboard` program. Each takes the arguments after its
// name and returns the process exit status.
#pragma once

namespace vboard::cli {

int cpu_command(int argc, char** argv);
int serve_command(int argc, char** argv);
int run_command(int argc, char** argv);
int script_command(int argc, char** argv);
int card_image_command(int argc, char** argv);

}  // namespace vboard::cli
