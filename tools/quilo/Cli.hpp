#pragma once

namespace quilo::cli {

// Parses the command line, runs the subcommand and returns the exit status: 0, 1 when an
// operation failed, 2 when the command line was wrong.
int run(int argc, char** argv);

}  // namespace quilo::cli
