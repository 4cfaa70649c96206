// Comparing two archives entry by entry: what a newer version added,
// removed or changed, without unpacking either.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "archive/directory.h"
#include "platform/platform.h"

namespace qvx {

enum class difference_kind {
  removed,  // an entry of the old archive that the new one lacks
  added,    // an entry of the new archive that the old one lacks
  changed,  // other bytes, or another size
  tag,      // the record's tag differs
  spare,    // the record's spare differs
  moved,    // the same entry at another offset: no difference in what it holds
};

// One difference. The values are sizes for removed, added and changed, the
// field for tag and spare, and offsets for moved; a removed entry has only
// old ones, an added entry only new ones.
struct entry_difference {
  difference_kind kind = difference_kind::changed;
  std::optional<std::size_t> old_index;  // in the old archive's table
  std::optional<std::size_t> new_index;  // in the new archive's table
  std::uint64_t old_value = 0;
  std::uint64_t new_value = 0;
};

// An entry that could not be compared: data past its archive's end, or a
// read that failed.
struct diff_trouble {
  bool in_new = false;  // of the new archive, else of the old
  std::size_t index = 0;
  std::string problem;
};

struct archive_diff {
  std::vector<entry_difference> differences;
  std::vector<diff_trouble> troubles;
};

struct diff_side {
  const platform::input_file& file;
  const archive_directory& directory;
};

// Matches entries by their name's bytes, the n-th of a name in `old_side`
// with the n-th of it in `new_side`, and lists the differences: in the old
// table's order, each entry's in the order of difference_kind, then the
// additions in the new table's order. Data of one size are compared byte by
// byte, in small chunks; every entry that lies past its archive's end is a
// trouble, and so is every pair whose bytes could not be read.
archive_diff diff_archives(const diff_side& old_side, const diff_side& new_side);

}  // namespace qvx
