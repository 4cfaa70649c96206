#include "qvx/archive_destination.h"

#include "archive/diagnostic.h"
#include "archive/directory.h"
#include "console/progress_line.h"

namespace qvx::cli {
namespace {

// Whether the file at `path` is an archive of this format: its directory
// reads and every entry lies inside it. Text and other files almost never
// pass both.
bool reads_as_archive(const std::string& path) {
  platform::error_code error = 0;
  const platform::input_file file = platform::input_file::open(path, error);
  if (error != 0) return false;
  const directory_result read = read_directory(file);
  if (!read.ok()) return false;
  // Any file starting with two zero bytes has a directory of no entries;
  // such an archive is those two bytes and nothing more.
  if (read.directory.entries.empty()) return file.size() == count_size;
  for (const archive_entry& entry : read.directory.entries) {
    if (std::uint64_t{entry.offset} + entry.size > file.size()) return false;
  }
  return true;
}

}  // namespace

std::optional<archive_destination> choose_destination(const std::string& path, destination_use use,
                                                      bool force) {
  const std::string shown = platform::displayed_path(path);
  if (path.empty()) {
    report("ARCHIVE", "the path is empty");
    return std::nullopt;
  }
  archive_destination destination;
  destination.use = use;
  destination.given = path;
  platform::error_code error = 0;
  destination.path = platform::final_target(path, error);
  if (error != 0) {
    report(shown, "is a symbolic link that leads to no file: " + platform::error_text(error));
    return std::nullopt;
  }
  destination.file = platform::examine(destination.path, error);
  destination.exists = error == 0;
  if (!destination.exists) {
    if (use == destination_use::create) return destination;
    report(shown, "cannot open: " + platform::error_text(error));
    return std::nullopt;
  }
  if (destination.file.kind != platform::file_kind::regular) {
    report(shown, "not a regular file");
    return std::nullopt;
  }
  // Renaming over a file needs only the directory's permission; a file
  // that its owner made read-only is not to be replaced behind their back.
  if (!platform::may_write(destination.path)) {
    report(shown, "is read-only; not replaced");
    return std::nullopt;
  }
  if (use == destination_use::create && !force && destination.file.size > 0) {
    report(shown, reads_as_archive(destination.path)
                      ? "is an archive already; 'qvx update' changes it, and -f replaces it"
                      : "exists and is not an archive; give -f to replace it");
    return std::nullopt;
  }
  return destination;
}

exit_status write_to_destination(const archive_destination& destination,
                                 std::span<const archive_member> members,
                                 platform::input_file* source, std::uint32_t alignment,
                                 command_progress* progress) {
  std::uint64_t total_bytes = 0;
  for (const archive_member& member : members) total_bytes += member.size;
  work_counts unseen;
  work_counts& counts = progress != nullptr ? progress->counts() : unseen;
  counts.bytes = total_bytes;
  counts.entries = members.size();
  const write_result written = write_archive(
      destination.path, members,
      [&](std::size_t done, std::uint64_t bytes_done) {
        counts.entries_done = done;
        counts.bytes_done = bytes_done;
      },
      source, alignment);
  if (!written.ok()) {
    const bool about_archive = written.subject == destination.path;
    report(platform::displayed_path(about_archive ? destination.given : written.subject),
           written.problem);
    report(platform::displayed_path(destination.given),
           destination.use == destination_use::create ? "not written" : "not changed");
    return exit_status::fatal;
  }
  return exit_status::success;
}

}  // namespace qvx::cli
