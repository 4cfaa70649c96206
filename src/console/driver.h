// The program's whole user interface: banner, usage, one unpack, the pause.
#pragma once

#include <span>

namespace qvx {

// The process exit status, as archivers commonly use it.
enum class exit_status : int {
  success = 0,         // usage shown, or every entry written in full
  entries_failed = 1,  // the run went through, but some entry did not come out whole,
                       // or standard output (listing or usage) could not be written
  fatal = 2,           // the archive could not be opened or its directory read
};

// Runs the tool on the argument vector the runtime passed to main (the
// program's own name first). Only the first argument after the name is used.
exit_status run_console(std::span<const char* const> args);

}  // namespace qvx
