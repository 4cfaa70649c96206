#include "archive/entry_writer.h"

#include <algorithm>
#include <vector>

#include "archive/entry_name.h"

namespace qvx {
namespace {

std::string not_written(std::string_view why) { return "not written: " + std::string{why}; }

std::string not_written(std::string_view what, platform::error_code error) {
  return not_written(std::string{what} + ": " + platform::error_text(error));
}

std::string shortfall(std::uint64_t copied, std::uint32_t size) {
  return "the archive ends " + std::to_string(size - copied) + " bytes short of this entry";
}

}  // namespace

namespace {

platform::io_result copy_counted(platform::output_file& file, const platform::input_file& archive,
                                 std::uint64_t offset, std::uint64_t size,
                                 progress_counter counter) {
  if (counter.progress == nullptr) return file.copy_from(archive, offset, size);
  platform::io_result copied;
  while (copied.bytes < size) {
    const std::uint64_t piece = std::min(counted_piece, size - copied.bytes);
    const platform::io_result got = file.copy_from(archive, offset + copied.bytes, piece);
    copied.bytes += got.bytes;
    counter.progress->add(counter.entry, got.bytes);
    if (got.error != 0 || got.bytes < piece) {
      copied.error = got.error;
      break;
    }
  }
  return copied;
}

}  // namespace

namespace {

// Opens the directories of the path `name`, which has passed the rules, into
// `copied`; false with the problem set when one cannot be.
bool open_directories(std::string_view name, copied_entry& copied) {
  std::vector<std::string_view> parts = path_parts(name);
  copied.leaf = parts.back();
  parts.pop_back();
  if (parts.empty()) return true;
  platform::error_code error = 0;
  std::size_t failed = 0;
  platform::directory_handle directory =
      platform::directory_handle::open_below(parts, error, failed);
  if (error == 0) {
    copied.directory = std::make_shared<const platform::directory_handle>(std::move(directory));
    return true;
  }
  std::string shown;
  for (std::size_t i = 0; i <= failed; ++i) {
    if (i > 0) shown += '/';
    shown.append(parts[i]);
  }
  shown = printable_name(shown);
  copied.problem = error == platform::symbolic_link_met
                       ? not_written(shown + " goes through a symbolic link")
                       : not_written("cannot open the directory " + shown, error);
  return false;
}

}  // namespace

copied_entry copy_entry(std::string_view name, const platform::input_file& archive,
                        std::uint32_t offset, std::uint32_t size, progress_counter counter,
                        entry_names names) {
  copied_entry copied;
  const name_rules rules = platform::uses_windows_names() ? name_rules::windows : name_rules::posix;
  if (const std::string_view refusal =
          names == entry_names::paths ? path_name_refusal(name, rules) : name_refusal(name, rules);
      !refusal.empty()) {
    copied.problem = not_written(refusal);
    return copied;
  }
  if (names == entry_names::paths && !open_directories(name, copied)) return copied;
  platform::error_code error = 0;
  copied.file = platform::output_file::create(error, copied.directory);
  if (error != 0) {
    copied.problem = not_written("cannot create a file", error);
    return copied;
  }
  const platform::io_result result = copy_counted(copied.file, archive, offset, size, counter);
  copied.bytes = result.bytes;
  if (result.error != 0) {
    copied.problem = not_written("cannot copy its data", result.error);
    copied.file = {};  // removes the unnamed file now, not when the caller lets go
  }
  return copied;
}

entry_result name_entry(copied_entry& copied, std::string_view name,
                        const platform::input_file& archive, std::uint32_t size,
                        existing_files policy) {
  if (!copied.problem.empty()) return {copied.problem};
  const std::string file_name = copied.leaf.empty() ? std::string{name} : copied.leaf;
  const bool complete = copied.bytes == size;

  platform::error_code error = 0;
  if (!copied.file.commit_new(file_name, error)) {
    if (error != 0) return {not_written("cannot put the file in place", error)};
    // The name is taken. Only a complete entry may replace what is there,
    // and never the archive itself.
    if (!complete)
      return {not_written(shortfall(copied.bytes, size) + "; the existing file is kept")};
    if (policy == existing_files::keep) return {not_written("a file of that name exists")};
    if (archive.is_named(file_name, copied.directory.get())) {
      return {not_written("it is the archive being read")};
    }
    if (const platform::error_code replace_error = copied.file.commit_replacing(file_name)) {
      return {not_written("cannot put the file in place", replace_error)};
    }
  }
  if (!complete) {
    return {"incomplete: " + shortfall(copied.bytes, size) + " (" + std::to_string(copied.bytes) +
                " of " + std::to_string(size) + " bytes written)",
            true};
  }
  return {{}, true};
}

namespace {

// What names one file where entries are written: on Windows, names that
// differ only in case do; elsewhere only the same bytes do, so that an entry
// "A" written in this run never lets "a" replace a file from before it.
std::string file_key(std::string_view name, entry_names names) {
  const std::string path = names == entry_names::paths ? path_key(name) : std::string{name};
  return platform::uses_windows_names() ? case_folded(path) : path;
}

}  // namespace

existing_files names_written::policy_for(std::string_view name, existing_files asked) const {
  return asked == existing_files::keep && keys_.contains(file_key(name, names_))
             ? existing_files::replace
             : asked;
}

void names_written::note(std::string_view name, const entry_result& result) {
  if (result.placed) keys_.insert(file_key(name, names_));
}

}  // namespace qvx
