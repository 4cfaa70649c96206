// Unpacking an archive's entries into the working directory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "archive/copy_progress.h"
#include "archive/directory.h"
#include "archive/entry_writer.h"
#include "platform/platform.h"

namespace qvx {

enum class unpack_status {
  complete,    // every entry was written in full (or there were none)
  incomplete,  // the directory was read, but some entry was not written in full
  unreadable,  // the archive could not be opened or its directory read
};

struct unpack_options {
  unsigned jobs = 1;  // threads that write entries; 1 writes them on the calling thread
  existing_files existing = existing_files::replace;
  // Which entries to write, by index; empty means all of them.
  std::vector<bool> selected;
  // Where the bytes copied are counted for a progress display, if anywhere.
  copy_progress* progress = nullptr;
  // The name each entry is written under, by index, when it is not the name
  // in the archive (names converted from another code page); empty for the
  // archive's names. The name rules apply to these.
  std::span<const std::string> file_names;
  // Whether '\\' and '/' in names make directories below the working directory.
  entry_names names = entry_names::files;
};

// The name entry `i` is written under.
[[nodiscard]] std::string_view output_name(const archive_directory& directory,
                                           const unpack_options& options, std::size_t i);

// Told about each written (or refused, or failed) entry, in table order and
// one call at a time, though not always on the calling thread.
using entry_reporter = std::function<void(std::size_t index, const entry_result& result)>;

// Writes the entries of `directory`, read from `archive`, as files of the
// working directory, and calls `reporter` once per entry written, in table
// order, as soon as that entry is settled. A later entry of a name replaces
// an earlier one. Returns `complete` or `incomplete`; prints nothing.
[[nodiscard]] unpack_status unpack_entries(const platform::input_file& archive,
                                           const archive_directory& directory,
                                           const unpack_options& options,
                                           const entry_reporter& reporter);

// Watches unpack_archive from outside the engine, to show its progress.
class unpack_observer {
 public:
  virtual ~unpack_observer() = default;
  // Before the first entry is written; `progress` counts the bytes copied.
  virtual void starting(const archive_directory& directory, const copy_progress& progress) = 0;
  // Before the diagnostics and the listing line of entry `index` are
  // printed; the lock it returns is held while they are.
  [[nodiscard]] virtual std::unique_lock<std::mutex> entry_done(std::size_t index) = 0;
  // After the last entry.
  virtual void finished() = 0;
};

// Opens the archive at `path`, reads its directory, writes every entry as a
// file of the working directory and prints the count line and one listing
// line per entry on standard output, with `jobs` threads writing entries.
// Every problem is reported on standard error in its place among the listing
// lines. When the directory cannot be read, nothing is printed on standard
// output and no file is written. `observer`, if any, is told of each step.
[[nodiscard]] unpack_status unpack_archive(const std::string& path, unsigned jobs = 1,
                                           unpack_observer* observer = nullptr);

// Writes `size` bytes of `archive` from `offset` on into the file `name` of
// the working directory, replacing any file of that name only once the whole
// entry is on disk. Refuses unsafe names and the archive's own name. When the
// archive ends first, the file holds the bytes that exist (if no file of that
// name existed) and the result says how many are missing. Prints nothing.
[[nodiscard]] entry_result write_entry(std::string_view name, const platform::input_file& archive,
                                       std::uint32_t offset, std::uint32_t size);

}  // namespace qvx
