// Where create, update and delete write an archive: the one place that
// decides what may be replaced, and the one routine that writes there.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "archive/archive_writer.h"
#include "console/command_progress.h"
#include "platform/platform.h"
#include "qvx/commands.h"

namespace qvx::cli {

enum class destination_use {
  create,  // a new archive; an existing file is replaced only if it is empty (or forced)
  edit,    // an existing archive, read and then replaced
};

struct archive_destination {
  destination_use use = destination_use::create;
  std::string given;          // the path as the user gave it, for messages
  std::string path;           // the file to write: a symbolic link's final target
  bool exists = false;        // whether a file is there now
  platform::file_facts file;  // that file, when there is one
};

// Decides whether `path` may be written for `use`, or reports on standard
// error why not and returns nothing. A symbolic link is followed, so that
// its target is replaced and the link stays. What is not a regular file (a
// directory, a FIFO, a socket, a device) is refused without being opened.
// For create, an existing file is refused unless `force`, as it may well be
// an archive that was meant to be updated; an empty file is replaced, since
// it holds nothing to lose. For edit, the archive must exist.
std::optional<archive_destination> choose_destination(const std::string& path, destination_use use,
                                                      bool force);

// Writes `members` to `destination`, copying kept ones from `source`, each
// entry's data at a multiple of `alignment`, with the progress line on a
// terminal; reports any failure, in which case the old file is as it was.
exit_status write_to_destination(const archive_destination& destination,
                                 std::span<const archive_member> members,
                                 platform::input_file* source = nullptr,
                                 std::uint32_t alignment = 1, command_progress* progress = nullptr);

}  // namespace qvx::cli
