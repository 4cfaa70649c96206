#include <cstdio>

#include "archive/entry_name.h"
#include "qvx/entry_selection.h"
#include "qvx/list_json.h"
#include "qvx/opened_archive.h"

namespace qvx::cli {
namespace {

void print_table(const archive_directory& directory, const std::vector<bool>& shown) {
  std::printf("%5s  %-15s  %10s  %10s  %5s  %10s\n", "#", "name", "offset", "size", "tag", "spare");
  for (std::size_t i = 0; i < directory.entries.size(); ++i) {
    if (!shown[i]) continue;
    const archive_entry& entry = directory.entries[i];
    std::printf("%5zu  %-15s  %10lu  %10lu  %5u  %10lu\n", i + 1,
                printable_name(entry_name(directory.names[i])).c_str(),
                static_cast<unsigned long>(entry.offset), static_cast<unsigned long>(entry.size),
                static_cast<unsigned>(entry.tag), static_cast<unsigned long>(entry.spare));
  }
}

// One name a line, as the listing shows it: for shell completion and scripts.
void print_names(const archive_directory& directory, const std::vector<bool>& shown) {
  for (std::size_t i = 0; i < directory.entries.size(); ++i) {
    if (shown[i]) std::printf("%s\n", printable_name(entry_name(directory.names[i])).c_str());
  }
}

}  // namespace

exit_status run_list(const list_request& request) {
  const std::optional<opened_archive> archive = open_archive(request.archive);
  if (!archive) return exit_status::fatal;
  // Entries keep their numbers in the table when others are excluded.
  const std::optional<std::vector<bool>> shown =
      pick_entries(archive->directory, {}, request.excludes);
  buffer_standard_output();
  if (request.json) {
    print_json(archive->directory, *shown);
  } else if (request.names) {
    print_names(archive->directory, *shown);
  } else {
    print_table(archive->directory, *shown);
  }
  return finish_standard_output(exit_status::success);
}

}  // namespace qvx::cli
