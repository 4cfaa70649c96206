#include "qvx/opened_archive.h"

#include <cstdio>

#include "archive/diagnostic.h"

namespace qvx::cli {

std::optional<opened_archive> open_archive(const std::string& path, const std::string& given) {
  const std::string shown = platform::displayed_path(given.empty() ? path : given);
  platform::error_code error = 0;
  platform::input_file file = platform::input_file::open(path, error);
  if (error != 0) {
    report(shown, "cannot open: " + platform::error_text(error));
    return std::nullopt;
  }
  directory_result read = read_directory(file);
  if (!read.ok()) {
    report(shown, read.problem);
    return std::nullopt;
  }
  return opened_archive{std::move(file), std::move(read.directory)};
}

void buffer_standard_output() {
  if (!platform::stdout_is_terminal()) {
    static char buffer[1 << 16];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
  }
}

exit_status finish_standard_output(exit_status status) {
  if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) return status;
  report("standard output", "write error");
  return status == exit_status::success ? exit_status::problems : status;
}

}  // namespace qvx::cli
