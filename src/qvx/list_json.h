// The listing for scripts.
#pragma once

#include <vector>

#include "archive/directory.h"

namespace qvx::cli {

// Prints a JSON array with one object per entry shown, in table order, one object
// a line: {"number", "name", "name_hex", "offset", "size", "tag", "spare"}. "name" is the
// name as text (bytes that are not UTF-8 become U+FFFD); "name_hex" holds
// its exact bytes.
void print_json(const archive_directory& directory, const std::vector<bool>& shown);

}  // namespace qvx::cli
