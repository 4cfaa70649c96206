#include "qvx/entry_selection.h"

#include <algorithm>
#include <charconv>

#include "archive/diagnostic.h"
#include "archive/name_pattern.h"
#include "platform/platform.h"

namespace qvx::cli {
namespace {

// Sets `picked` to `mark` for each entry `given` (as entry names are read)
// picks; false when it picks none. A name some entry has picks the entries
// of that name only, even if it reads as a pattern: otherwise an entry called
// `[x].txt` or `*` could not be picked alone.
bool mark_entries(const opened_archive& archive, const std::string& given,
                  std::vector<bool>& picked, bool mark, bool literal) {
  bool exact = literal;
  for (std::size_t i = 0; i < archive.count() && !exact; ++i) exact = archive.name(i) == given;
  if (!exact && !is_pattern(given)) return false;
  bool found = false;
  for (std::size_t i = 0; i < archive.count(); ++i) {
    if (exact ? archive.name(i) == given
              : matches_pattern(given, archive.name(i), platform::uses_windows_names())) {
      picked[i] = mark;
      found = true;
    }
  }
  return found;
}

// One number of an --entry value: decimal digits, from 1, no leading zero.
std::optional<std::size_t> entry_number(std::string_view digits) {
  std::size_t n = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
  if (error != std::errc{} || end != digits.data() + digits.size() || digits.empty() ||
      digits[0] == '0') {
    return std::nullopt;
  }
  return n;
}

// The ranges of an --entry value, first and last number of each; nothing
// when it is not one.
std::optional<std::vector<std::pair<std::size_t, std::size_t>>> entry_ranges(
    std::string_view text) {
  std::vector<std::pair<std::size_t, std::size_t>> ranges;
  for (;;) {
    const std::size_t comma = text.find(',');
    const std::string_view part = text.substr(0, comma);
    const std::size_t dash = part.find('-');
    const std::optional<std::size_t> first = entry_number(part.substr(0, dash));
    const std::optional<std::size_t> last =
        dash == std::string_view::npos ? first : entry_number(part.substr(dash + 1));
    if (!first || !last || *last < *first) return std::nullopt;
    ranges.emplace_back(*first, *last);
    if (comma == std::string_view::npos) return ranges;
    text.remove_prefix(comma + 1);
  }
}

}  // namespace

std::string entry_numbers_problem(std::string_view text) {
  if (entry_ranges(text)) return {};
  return "not entry numbers: give N, N-M (N at most M) or a comma list of them, counted from 1 "
         "as list numbers the entries";
}

std::optional<std::vector<std::size_t>> entry_indices(std::span<const std::string> numbers,
                                                      std::size_t count) {
  std::vector<std::size_t> indices;
  bool all_there = true;
  for (const std::string& given : numbers) {
    const auto ranges = entry_ranges(given);
    if (!ranges) {
      report("--entry " + given, entry_numbers_problem(given));
      all_there = false;
      continue;
    }
    for (const auto& [first, last] : *ranges) {
      if (last > count) {
        report("--entry " + given,
               "no entry " + std::to_string(last) + ": the archive has " +
                   (count == 1 ? std::string{"1 entry"} : std::to_string(count) + " entries"));
        all_there = false;
        break;
      }
      for (std::size_t n = first; n <= last; ++n) indices.push_back(n - 1);
    }
  }
  if (!all_there) return std::nullopt;
  return indices;
}

std::optional<std::vector<bool>> pick_entries(const opened_archive& archive,
                                              const entry_choice& choice,
                                              const std::vector<std::string>& excludes) {
  const bool all = choice.names.empty() && choice.numbers.empty();
  std::vector<bool> picked(archive.count(), all);
  bool every_name_found = true;
  for (const std::string& given : choice.names) {
    // A name the code page cannot hold is no entry's name.
    std::string name;
    if (!platform::as_entry_name(given, name) ||
        !mark_entries(archive, name, picked, true, choice.literal)) {
      report(given.empty() ? std::string{"\"\""} : platform::displayed_path(given),
             !choice.literal && is_pattern(given) ? "no entry matches" : "not in the archive");
      every_name_found = false;
    }
  }
  const std::optional<std::vector<std::size_t>> numbered =
      entry_indices(choice.numbers, archive.count());
  if (!every_name_found || !numbered) return std::nullopt;
  for (const std::size_t i : *numbered) picked[i] = true;
  for (const std::string& given : excludes) {
    if (std::string pattern; platform::as_entry_name(given, pattern)) {
      mark_entries(archive, pattern, picked, false, false);
    }
  }
  return picked;
}

}  // namespace qvx::cli
