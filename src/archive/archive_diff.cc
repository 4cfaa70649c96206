#include "archive/archive_diff.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <span>
#include <string_view>

namespace qvx {
namespace {

// Two of these are all the memory a comparison takes, however large the
// entries.
constexpr std::size_t chunk_size = std::size_t{1} << 16U;

// Why entry `i` cannot be read whole, or nothing. An empty entry is whole
// wherever its offset points.
std::string missing_bytes(const diff_side& side, std::size_t i) {
  const archive_entry& entry = side.directory.entries[i];
  const std::uint64_t archive_size = side.file.size();
  if (entry.size == 0 || std::uint64_t{entry.offset} + entry.size <= archive_size) return {};
  const std::uint64_t present = entry.offset >= archive_size ? 0 : archive_size - entry.offset;
  return "runs past the end of the archive: " + std::to_string(entry.size - present) + " of its " +
         std::to_string(entry.size) + " bytes are missing";
}

struct chunk_buffers {
  std::vector<std::byte> old_bytes = std::vector<std::byte>(chunk_size);
  std::vector<std::byte> new_bytes = std::vector<std::byte>(chunk_size);
};

// Fills `buffer` from `offset` of one side, or says why it could not.
std::string read_chunk(const diff_side& side, std::uint64_t offset, std::span<std::byte> buffer) {
  const platform::io_result got = side.file.read_at(offset, buffer);
  if (got.error != 0) return "cannot be read: " + platform::error_text(got.error);
  // The file was cut while we read it.
  if (got.bytes < buffer.size()) return "runs past the end of the archive";
  return {};
}

// Whether two entries of one size hold the same bytes; on a failed read,
// adds the trouble and returns nullopt.
std::optional<bool> same_bytes(const diff_side& old_side, std::size_t old_index,
                               const diff_side& new_side, std::size_t new_index,
                               chunk_buffers& buffers, std::vector<diff_trouble>& troubles) {
  const archive_entry& old_entry = old_side.directory.entries[old_index];
  const archive_entry& new_entry = new_side.directory.entries[new_index];
  for (std::uint64_t done = 0; done < old_entry.size;) {
    const auto want =
        static_cast<std::size_t>(std::min<std::uint64_t>(chunk_size, old_entry.size - done));
    const std::span<std::byte> old_chunk = std::span{buffers.old_bytes}.first(want);
    const std::span<std::byte> new_chunk = std::span{buffers.new_bytes}.first(want);
    if (std::string problem = read_chunk(old_side, old_entry.offset + done, old_chunk);
        !problem.empty()) {
      troubles.push_back({false, old_index, std::move(problem)});
      return std::nullopt;
    }
    if (std::string problem = read_chunk(new_side, new_entry.offset + done, new_chunk);
        !problem.empty()) {
      troubles.push_back({true, new_index, std::move(problem)});
      return std::nullopt;
    }
    if (std::memcmp(old_chunk.data(), new_chunk.data(), want) != 0) return false;
    done += want;
  }
  return true;
}

void compare_pair(const diff_side& old_side, std::size_t old_index, const diff_side& new_side,
                  std::size_t new_index, bool readable, chunk_buffers& buffers,
                  archive_diff& diff) {
  const archive_entry& a = old_side.directory.entries[old_index];
  const archive_entry& b = new_side.directory.entries[new_index];
  const auto note = [&](difference_kind kind, std::uint64_t old_value, std::uint64_t new_value) {
    diff.differences.push_back({kind, old_index, new_index, old_value, new_value});
  };
  // Sizes that differ need no read, not even of data the archive lacks; a
  // read that failed is trouble, not a change.
  const bool changed =
      a.size != b.size ||
      (readable && !same_bytes(old_side, old_index, new_side, new_index, buffers, diff.troubles)
                        .value_or(true));
  if (changed) note(difference_kind::changed, a.size, b.size);
  if (a.tag != b.tag) note(difference_kind::tag, a.tag, b.tag);
  if (a.spare != b.spare) note(difference_kind::spare, a.spare, b.spare);
  if (a.offset != b.offset) note(difference_kind::moved, a.offset, b.offset);
}

// Which entries of `side` lie whole in their archive; the others are troubles.
std::vector<bool> check_side(const diff_side& side, bool in_new,
                             std::vector<diff_trouble>& troubles) {
  std::vector<bool> whole(side.directory.entries.size(), true);
  for (std::size_t i = 0; i < whole.size(); ++i) {
    if (std::string problem = missing_bytes(side, i); !problem.empty()) {
      troubles.push_back({in_new, i, std::move(problem)});
      whole[i] = false;
    }
  }
  return whole;
}

}  // namespace

archive_diff diff_archives(const diff_side& old_side, const diff_side& new_side) {
  archive_diff diff;
  const std::vector<bool> old_whole = check_side(old_side, false, diff.troubles);
  const std::vector<bool> new_whole = check_side(new_side, true, diff.troubles);

  // The new archive's entries of each name, in table order; the n-th of a
  // name in the old archive takes the n-th of these.
  std::map<std::string_view, std::vector<std::size_t>> new_of_name;
  for (std::size_t i = 0; i < new_side.directory.names.size(); ++i) {
    new_of_name[entry_name(new_side.directory.names[i])].push_back(i);
  }
  std::map<std::string_view, std::size_t> taken;  // of each name, how many old entries so far
  std::vector<bool> matched(new_side.directory.entries.size(), false);
  chunk_buffers buffers;
  for (std::size_t i = 0; i < old_side.directory.entries.size(); ++i) {
    const std::string_view name = entry_name(old_side.directory.names[i]);
    const std::size_t nth = taken[name]++;
    const auto found = new_of_name.find(name);
    if (found == new_of_name.end() || nth >= found->second.size()) {
      diff.differences.push_back(
          {difference_kind::removed, i, std::nullopt, old_side.directory.entries[i].size, 0});
      continue;
    }
    const std::size_t j = found->second[nth];
    matched[j] = true;
    compare_pair(old_side, i, new_side, j, old_whole[i] && new_whole[j], buffers, diff);
  }
  for (std::size_t j = 0; j < matched.size(); ++j) {
    if (matched[j]) continue;
    diff.differences.push_back(
        {difference_kind::added, std::nullopt, j, 0, new_side.directory.entries[j].size});
  }
  return diff;
}

}  // namespace qvx
