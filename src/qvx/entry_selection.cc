#include "qvx/entry_selection.h"

#include "archive/diagnostic.h"
#include "archive/name_pattern.h"
#include "platform/platform.h"

namespace qvx::cli {
namespace {

// Whether the entry called `name` is picked by `pattern` (both as entry names are read).
bool picked_by(std::string_view name, const std::string& pattern) {
  return is_pattern(pattern) ? matches_pattern(pattern, name, platform::uses_windows_names())
                             : name == pattern;
}

}  // namespace

std::optional<std::vector<bool>> pick_entries(std::span<const std::string> entry_names,
                                              const std::vector<std::string>& names,
                                              const std::vector<std::string>& excludes) {
  const std::size_t count = entry_names.size();
  std::vector<bool> picked(count, names.empty());
  bool every_name_found = true;
  for (const std::string& given : names) {
    bool found = false;
    // A name the code page cannot hold is no entry's name.
    if (std::string name; platform::as_entry_name(given, name)) {
      for (std::size_t i = 0; i < count; ++i) {
        if (picked_by(entry_names[i], name)) picked[i] = found = true;
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
      if (picked[i] && picked_by(entry_names[i], pattern)) picked[i] = false;
    }
  }
  return picked;
}

}  // namespace qvx::cli
