#include "qvx/entry_selection.h"

#include <algorithm>

#include "archive/diagnostic.h"
#include "archive/name_pattern.h"
#include "platform/platform.h"

namespace qvx::cli {
namespace {

// Sets `picked` to `mark` for each entry `given` (as entry names are read)
// picks; false when it picks none. A name some entry has picks the entries
// of that name only, even if it reads as a pattern: otherwise an entry called
// `[x].txt` or `*` could not be picked alone.
bool mark_entries(std::span<const std::string> entry_names, const std::string& given,
                  std::vector<bool>& picked, bool mark) {
  const bool exact = std::find(entry_names.begin(), entry_names.end(), given) != entry_names.end();
  if (!exact && !is_pattern(given)) return false;
  bool found = false;
  for (std::size_t i = 0; i < entry_names.size(); ++i) {
    if (exact ? entry_names[i] == given
              : matches_pattern(given, entry_names[i], platform::uses_windows_names())) {
      picked[i] = mark;
      found = true;
    }
  }
  return found;
}

}  // namespace

std::optional<std::vector<bool>> pick_entries(std::span<const std::string> entry_names,
                                              const std::vector<std::string>& names,
                                              const std::vector<std::string>& excludes) {
  std::vector<bool> picked(entry_names.size(), names.empty());
  bool every_name_found = true;
  for (const std::string& given : names) {
    // A name the code page cannot hold is no entry's name.
    std::string name;
    if (!platform::as_entry_name(given, name) || !mark_entries(entry_names, name, picked, true)) {
      report(given.empty() ? std::string{"\"\""} : platform::displayed_path(given),
             is_pattern(given) ? "no entry matches" : "not in the archive");
      every_name_found = false;
    }
  }
  if (!every_name_found) return std::nullopt;
  for (const std::string& given : excludes) {
    if (std::string pattern; platform::as_entry_name(given, pattern)) {
      mark_entries(entry_names, pattern, picked, false);
    }
  }
  return picked;
}

}  // namespace qvx::cli
