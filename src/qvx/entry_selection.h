// Which entries a command's NAME arguments and --exclude patterns pick.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qvx::cli {

// For each entry of `entry_names` (as opened_archive has them), whether it is picked: by one of
// `names` (all entries when there are none), and by none of the `excludes`. Each of these that
// is exactly an entry's name stands for the entries of that name and no other, even if it reads
// as a pattern (`[x].txt`, `*`); the others are shell-style patterns (see name_pattern.h), which
// on Windows ignore the case of ASCII letters. A name or pattern that picks no entry is
// reported on standard error, and then nothing is returned.
std::optional<std::vector<bool>> pick_entries(std::span<const std::string> entry_names,
                                              const std::vector<std::string>& names,
                                              const std::vector<std::string>& excludes);

}  // namespace qvx::cli
