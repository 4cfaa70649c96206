// qvx's command line: which command, with what, and running it.
#pragma once

#include <span>

#include "qvx/commands.h"

namespace qvx::cli {

// Runs the command named by the argument vector the runtime passed to main
// (the program's own name first). Usage errors are reported on standard
// error and end with `fatal`; --help and --version print on standard output.
exit_status run_command_line(std::span<const char* const> args);

}  // namespace qvx::cli
