// The listing for scripts.
#pragma once

#include <cstddef>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "qvx/opened_archive.h"

namespace qvx::cli {

// A name's exact bytes for "name_hex": two lower-case hex digits each, no blanks.
std::string name_hex(std::string_view bytes);

// Entry `i` (from 0) as the listing shows it, numbered from 1:
// {"number", "name", "name_hex", "offset", "size", "tag", "spare"}.
nlohmann::ordered_json entry_json(const opened_archive& archive, std::size_t i);

// Prints a JSON array with one object per entry shown, in table order, one object
// a line: {"number", "name", "name_hex", "offset", "size", "tag", "spare"}. "name" is the
// name as text, converted from the archive's charset if one was given
// (bytes that are not UTF-8 become U+FFFD); "name_hex" holds its exact bytes.
void print_json(const opened_archive& archive, const std::vector<bool>& shown);

}  // namespace qvx::cli
