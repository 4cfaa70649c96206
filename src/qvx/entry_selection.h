// Which entries a command's NAME arguments, --entry numbers and --exclude
// patterns pick.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "qvx/commands.h"
#include "qvx/opened_archive.h"

namespace qvx::cli {

// For each entry of `archive`, by its name(), whether it is picked: by one of
// the choice's names or numbers (all entries when there are none), and by none of the
// `excludes`. Each name or exclude that is exactly an entry's name stands for the entries of
// that name and no other, even if it reads as a pattern (`[x].txt`, `*`); the others are
// shell-style patterns (see name_pattern.h), which on Windows ignore the case of ASCII
// letters, unless the choice is literal. A number is an entry's place in the table, from 1. A
// name, pattern or number that picks no entry is reported on standard error, and then nothing
// is returned.
std::optional<std::vector<bool>> pick_entries(const opened_archive& archive,
                                              const entry_choice& choice,
                                              const std::vector<std::string>& excludes);

// The entry numbers of `numbers` ("4", "3-7", "1,5-6"), as indices from 0 in the order given,
// for an archive of `count` entries; nothing, after reporting each number out of range.
std::optional<std::vector<std::size_t>> entry_indices(std::span<const std::string> numbers,
                                                      std::size_t count);

// Why `text` is not an --entry value, or "" when it is one (the syntax only, not the range).
std::string entry_numbers_problem(std::string_view text);

}  // namespace qvx::cli
