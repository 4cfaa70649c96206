// Reading an archive's whole directory (count, entry table, name table) into
// memory before anything is printed or written.
#pragma once

#include <string>
#include <vector>

#include "archive/archive_format.h"
#include "platform/platform.h"

namespace qvx {

// entries[i] and names[i] describe entry i, in table order.
struct archive_directory {
  std::vector<archive_entry> entries;
  std::vector<name_field> names;
};

struct directory_result {
  archive_directory directory;
  std::string problem;  // empty when the whole directory was read
  // The file ends before its directory does, or puts it where nothing can
  // be: it cannot be an archive, as opposed to one that could not be read.
  bool malformed = false;
  bool records_whole = false;  // the count and every record were read

  [[nodiscard]] bool ok() const { return problem.empty(); }
};

// Reads the count, all records and all names with three positional reads.
// Fails, with a sentence saying why, when the file ends before any of them
// or cannot be read; no value that was not read from the file is ever used.
// The entries' data is not looked at: it may overlap, leave gaps or run past
// the end of the file.
[[nodiscard]] directory_result read_directory(const platform::input_file& archive);

// What can be read of a directory that the file does not hold whole, as a
// download cut short leaves it.
struct salvaged_directory {
  // The entries whose records are whole, in table order. An entry whose
  // name field is missing, or cut before its NUL, is named entry-NNNNN
  // after its number (from 1).
  archive_directory directory;
  std::size_t count = 0;      // the entries the count field says there are
  std::vector<bool> unnamed;  // by index: the name is made up
  std::string problem;        // why nothing at all could be read; empty otherwise
};

// Reads what the file holds of the count, the records and the names. The
// name table can only be found when every record is there.
[[nodiscard]] salvaged_directory salvage_directory(const platform::input_file& archive);

}  // namespace qvx
