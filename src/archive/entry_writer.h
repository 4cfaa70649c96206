// Writing one entry as a file, in two steps: copying its bytes into a file
// that has no name yet, then giving that file the entry's name. The copy may
// run on any thread; the naming runs in table order on one thread, since it
// decides which of several entries of the same name is left on disk.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>

#include "archive/copy_progress.h"
#include "platform/platform.h"

namespace qvx {

struct entry_result {
  std::string problem;  // why the entry is missing or short; empty on success
  bool placed = false;  // whether a file now has the entry's name (complete or short)

  [[nodiscard]] bool ok() const { return problem.empty(); }
};

// An entry's bytes in a file of the working directory (or of a directory
// below it) that has no name yet.
struct copied_entry {
  std::shared_ptr<const platform::directory_handle> directory;  // none: the working directory
  std::string leaf;  // the file's name there, when the entry's name is a path
  platform::output_file file;
  std::uint64_t bytes = 0;  // how many of the entry's bytes the file holds
  std::string problem;      // why the entry cannot be written; empty when `file` holds its bytes
};

// Where copy_entry counts the bytes it has copied, if anywhere.
struct progress_counter {
  copy_progress* progress = nullptr;
  std::size_t entry = 0;
};

enum class entry_names {
  files,  // a name is one file's name
  paths,  // '\\' and '/' separate directories below the working directory
};

// Copies `size` bytes of `archive` from `offset` on into a new unnamed file.
// An unsafe name is refused before anything is created. With paths, the
// directories are opened (and made) first, never through a symbolic link.
// Prints nothing. With a counter, the copy goes in pieces and is counted
// after each.
[[nodiscard]] copied_entry copy_entry(std::string_view name, const platform::input_file& archive,
                                      std::uint32_t offset, std::uint32_t size,
                                      progress_counter counter = {},
                                      entry_names names = entry_names::files);

enum class existing_files {
  replace,  // a complete entry replaces a file of its name
  keep,     // a file of the entry's name is never replaced
};

// The names one unpacking has written, so that keeping existing files keeps
// only those that were there before it: within one run, the last entry of a
// name is left, with or without keeping. Used in table order on one thread.
class names_written {
 public:
  explicit names_written(entry_names names = entry_names::files) : names_(names) {}
  // The policy for an entry called `name`, when `asked` is the run's policy.
  [[nodiscard]] existing_files policy_for(std::string_view name, existing_files asked) const;
  // Notes the entry's outcome.
  void note(std::string_view name, const entry_result& result);

 private:
  entry_names names_;
  std::unordered_set<std::string> keys_;  // names as the file system tells them apart
};

// Gives the copied file the entry's name. A complete entry replaces a file of
// that name (unless `policy` keeps it); an entry cut short by the end of the
// archive is written only where no file of that name exists. The archive
// being read is never replaced. Prints nothing.
[[nodiscard]] entry_result name_entry(copied_entry& copied, std::string_view name,
                                      const platform::input_file& archive, std::uint32_t size,
                                      existing_files policy);

}  // namespace qvx
