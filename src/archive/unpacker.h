// Unpacking one archive into the working directory.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace qvx {

enum class unpack_status {
  complete,    // every entry was written in full (or there were none)
  incomplete,  // the directory was read, but some entry was not written in full
  unreadable,  // the archive could not be opened or its directory read
};

// Opens the archive at `path`, reads its directory, writes every entry as a
// file of the working directory and prints the count line and one listing
// line per entry on standard output. Every problem is reported on standard
// error as it happens. When the directory cannot be read, nothing is printed
// on standard output and no file is written.
[[nodiscard]] unpack_status unpack_archive(const std::string& path);

struct entry_result {
  std::string problem;  // why the entry is missing or short; empty on success

  [[nodiscard]] bool ok() const { return problem.empty(); }
};

// Writes `size` bytes of `archive` from `offset` on into the file `name` of
// the working directory, replacing any file of that name only once the whole
// entry is on disk. Refuses unsafe names and the archive's own name. When the
// archive ends first, the file holds the bytes that exist and the result says
// how many are missing. Prints nothing.
[[nodiscard]] entry_result write_entry(std::string_view name, const platform::input_file& archive,
                                       std::uint32_t offset, std::uint32_t size);

}  // namespace qvx
