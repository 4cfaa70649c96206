// What the commands that read an archive share: opening it, reading its
// directory, and finishing their output on standard output.
#pragma once

#include <optional>
#include <string>

#include "archive/directory.h"
#include "platform/platform.h"
#include "qvx/commands.h"

namespace qvx::cli {

struct opened_archive {
  platform::input_file file;
  archive_directory directory;
};

// Opens the archive at `path` and reads its whole directory, or reports on
// standard error why it cannot and returns nothing. Reports name the archive
// `given` (the path the user gave, where `path` is a link's target), or
// `path` when that is empty.
std::optional<opened_archive> open_archive(const std::string& path, const std::string& given = "");

// Lets standard output go out in large writes when it is not a terminal, for
// listings of tens of thousands of lines.
void buffer_standard_output();

// `status`, or `problems` when standard output could not be written (which
// is then reported): a listing that did not arrive is a failure too.
exit_status finish_standard_output(exit_status status);

}  // namespace qvx::cli
