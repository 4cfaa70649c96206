#include <cstdio>

#include "archive/entry_name.h"
#include "qvx/entry_selection.h"
#include "qvx/list_json.h"
#include "qvx/opened_archive.h"

namespace qvx::cli {
namespace {

void print_table(const opened_archive& archive, const std::vector<bool>& shown) {
  const archive_directory& directory = archive.directory;
  std::printf("%5s  %-15s  %10s  %10s  %5s  %10s\n", "#", "name", "offset", "size", "tag", "spare");
  for (std::size_t i = 0; i < directory.entries.size(); ++i) {
    if (!shown[i]) continue;
    const archive_entry& entry = directory.entries[i];
    std::printf("%5zu  %-15s  %10lu  %10lu  %5u  %10lu\n", i + 1, archive.shown(i).c_str(),
                static_cast<unsigned long>(entry.offset), static_cast<unsigned long>(entry.size),
                static_cast<unsigned>(entry.tag), static_cast<unsigned long>(entry.spare));
  }
}

// One name a line, as the listing shows it: for shell completion and scripts.
void print_names(const opened_archive& archive, const std::vector<bool>& shown) {
  for (std::size_t i = 0; i < archive.names.size(); ++i) {
    if (shown[i]) std::printf("%s\n", archive.shown(i).c_str());
  }
}

}  // namespace

exit_status run_list(const list_request& request) {
  name_charset charset;
  if (!open_charset(request.charset, charset)) return exit_status::fatal;
  const std::optional<opened_archive> archive = open_archive(request.archive, "", charset);
  if (!archive) return exit_status::fatal;
  // Entries keep their numbers in the table when others are excluded.
  const std::optional<std::vector<bool>> shown = pick_entries(archive->names, {}, request.excludes);
  // Such an entry is still listed, with its name's bytes as they are.
  const bool unconverted = archive->report_unconverted(*shown, "it is listed as it is") > 0;
  buffer_standard_output();
  if (request.json) {
    print_json(*archive, *shown);
  } else if (request.names) {
    print_names(*archive, *shown);
  } else {
    print_table(*archive, *shown);
  }
  return finish_standard_output(unconverted ? exit_status::problems : exit_status::success);
}

}  // namespace qvx::cli
