#include "archive/unpacker.h"

#include <cstdio>
#include <mutex>
#include <optional>

#include "archive/diagnostic.h"
#include "archive/entry_name.h"
#include "archive/parallel_unpack.h"

namespace qvx {

entry_result write_entry(std::string_view name, const platform::input_file& archive,
                         std::uint32_t offset, std::uint32_t size) {
  copied_entry copied = copy_entry(name, archive, offset, size);
  return name_entry(copied, name, archive, size, existing_files::replace);
}

std::string_view output_name(const archive_directory& directory, const unpack_options& options,
                             std::size_t i) {
  return options.file_names.empty() ? entry_name(directory.names[i]) : options.file_names[i];
}

unpack_status unpack_entries(const platform::input_file& archive,
                             const archive_directory& directory, const unpack_options& options,
                             const entry_reporter& reporter) {
  if (options.jobs > 1) {
    std::vector<std::size_t> order;
    order.reserve(directory.entries.size());
    for (std::size_t i = 0; i < directory.entries.size(); ++i) {
      if (options.selected.empty() || options.selected[i]) order.push_back(i);
    }
    return unpack_in_parallel(archive, directory, order, options, reporter);
  }
  unpack_status status = unpack_status::complete;
  names_written written{options.names};
  for (std::size_t i = 0; i < directory.entries.size(); ++i) {
    if (!options.selected.empty() && !options.selected[i]) continue;
    const archive_entry& entry = directory.entries[i];
    const std::string_view name = output_name(directory, options, i);
    copied_entry copied =
        copy_entry(name, archive, entry.offset, entry.size, {options.progress, i}, options.names);
    const entry_result result =
        name_entry(copied, name, archive, entry.size, written.policy_for(name, options.existing));
    written.note(name, result);
    if (!result.ok()) status = unpack_status::incomplete;
    reporter(i, result);
  }
  return status;
}

unpack_status unpack_archive(const std::string& path, unsigned jobs, unpack_observer* observer) {
  platform::error_code error = 0;
  const platform::input_file archive = platform::input_file::open(path, error);
  if (error != 0) {
    report(platform::displayed_path(path), "cannot open: " + platform::error_text(error));
    return unpack_status::unreadable;
  }
  const directory_result read = read_directory(archive);
  if (!read.ok()) {
    report(platform::displayed_path(path), read.problem);
    return unpack_status::unreadable;
  }

  const archive_directory& directory = read.directory;
  const auto count = static_cast<unsigned>(directory.entries.size());
  if (count == 0) return unpack_status::complete;

  std::printf("File has %u Entries\n\n", count);
  unpack_options options;
  options.jobs = jobs;
  std::optional<copy_progress> progress;
  if (observer != nullptr) {
    options.progress = &progress.emplace(count);
    observer->starting(directory, *progress);
  }
  const unpack_status status =
      unpack_entries(archive, directory, options, [&](std::size_t i, const entry_result& result) {
        std::unique_lock<std::mutex> observer_away;
        if (observer != nullptr) observer_away = observer->entry_done(i);
        const archive_entry& entry = directory.entries[i];
        const std::string_view name = entry_name(directory.names[i]);
        if (!result.ok()) report(name, result.problem);
        std::printf("%4u / %4u %15s %15u bytes %15u bytes\n", static_cast<unsigned>(i + 1), count,
                    printable_name(name).c_str(), static_cast<unsigned>(entry.offset),
                    static_cast<unsigned>(entry.size));
      });
  if (observer != nullptr) observer->finished();
  return status;
}

}  // namespace qvx
