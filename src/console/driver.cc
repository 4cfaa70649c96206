#include "console/driver.h"

#include <cstdio>
#include <optional>
#include <string>

#include "archive/diagnostic.h"
#include "archive/job_count.h"
#include "archive/unpacker.h"
#include "console/entry_progress.h"
#include "console/progress_line.h"
#include "platform/platform.h"

namespace qvx {

namespace {

// Whether everything printed on standard output reached it. A closed pipe
// or a full disk is reported once, at the end, and makes the run a failure.
bool stdout_written() {
  if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) return true;
  report("standard output", "write error");
  return false;
}

}  // namespace

exit_status run_console(std::span<const char* const> args) {
  // A reader that goes away (| head) must not stop the unpacking.
  platform::report_write_failures_as_errors();
  platform::remove_temporary_files_on_signals();
  if (!platform::stdout_is_terminal()) {
    // Listings of tens of thousands of lines go out in a few large writes.
    static char buffer[1 << 16];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
  }

  std::printf("Marvosk\n");
  std::printf("Homepage: https://qvxreader.example.org/\n");
  std::printf("Quorvane - QVX Viewer v1.1\n\n");

  // An empty vector (count 0) has no path to read either: show the usage.
  if (args.size() <= 1) {
    std::printf("QVXReader <path>\n");
    return stdout_written() ? exit_status::success : exit_status::entries_failed;
  }

  // Long entries show their progress on a terminal; nowhere else.
  progress_line line;
  std::optional<entry_progress> progress;
  if (platform::stderr_is_terminal()) progress.emplace(line);
  const unpack_status status = unpack_archive(std::string{args[1]}, job_count_from_environment(),
                                              progress ? &*progress : nullptr);
  progress.reset();
  if (status == unpack_status::unreadable) std::printf("Error reading file!\n");

  platform::wait_for_key();

  // A listing that could not be written is a failure too, even when every
  // entry came out.
  const bool output_failed = !stdout_written();

  switch (status) {
    case unpack_status::complete:
      return output_failed ? exit_status::entries_failed : exit_status::success;
    case unpack_status::incomplete:
      return exit_status::entries_failed;
    case unpack_status::unreadable:
      break;
  }
  return exit_status::fatal;
}

}  // namespace qvx
