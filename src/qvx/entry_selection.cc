#include "qvx/entry_selection.h"

#include "archive/diagnostic.h"
#include "archive/entry_name.h"
#include "archive/name_pattern.h"
#include "platform/platform.h"

namespace qvx::cli {
namespace {

// Whether entry `i` is picked by `pattern` (already in entry-name bytes).
bool picked_by(const archive_directory& directory, std::size_t i, const std::string& pattern) {
  const std::string_view name = entry_name(directory.names[i]);
  return is_pattern(pattern) ? matches_pattern(pattern, name, platform::uses_windows_names())
                             : name == pattern;
}

}  // namespace

std::optional<std::vector<bool>> pick_entries(const archive_directory& directory,
                                              const std::vector<std::string>& names,
                                              const std::vector<std::string>& excludes) {
  const std::size_t count = directory.entries.size();
  std::vector<bool> picked(count, names.empty());
  bool every_name_found = true;
  for (const std::string& given : names) {
    bool found = false;
    // A name the code page cannot hold is no entry's name.
    if (std::string name; platform::as_entry_name(given, name)) {
      for (std::size_t i = 0; i < count; ++i) {
        if (picked_by(directory, i, name)) picked[i] = found = true;
      }
    }
    if (!found) {
      report(given.empty() ? std::string{"\"\""} : platform::displayed_path(given),
             is_pattern(given) ? "no entry matches" : "not in the archive");
      every_name_found = false;
    }
  }
  if (!every_name_found) return std::nullopt;
  for (const std::string& given : excludes) {
    std::string pattern;
    if (!platform::as_entry_name(given, pattern)) continue;
    for (std::size_t i = 0; i < count; ++i) {
      if (picked[i] && picked_by(directory, i, pattern)) picked[i] = false;
    }
  }
  return picked;
}

}  // namespace qvx::cli
