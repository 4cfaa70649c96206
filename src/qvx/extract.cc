#include <cstdio>
#include <optional>

#include "archive/diagnostic.h"
#include "archive/entry_name.h"
#include "archive/job_count.h"
#include "archive/unpacker.h"
#include "console/command_progress.h"
#include "console/progress_line.h"
#include "platform/platform.h"
#include "qvx/entry_selection.h"
#include "qvx/opened_archive.h"

namespace qvx::cli {

exit_status run_extract(const extract_request& request) {
  // An empty -C is most often a variable that was not set: unpacking into
  // the working directory instead could replace files there.
  if (request.directory && request.directory->empty()) {
    report("-C", "the directory's name is empty");
    return exit_status::fatal;
  }
  name_charset charset;
  if (!open_charset(request.charset, charset)) return exit_status::fatal;
  const std::optional<opened_archive> archive =
      open_archive(request.archive, "", charset, request.salvage);
  if (!archive) return exit_status::fatal;
  const archive_directory& directory = archive->directory;

  unpack_options options;
  options.jobs = job_count_from_environment();
  options.names = request.paths ? entry_names::paths : entry_names::files;
  options.existing = request.keep_existing ? existing_files::keep : existing_files::replace;
  std::optional<std::vector<bool>> picked =
      pick_entries(*archive, request.choice, request.excludes);
  if (!picked) {
    report(platform::displayed_path(request.archive), "nothing unpacked");
    return exit_status::fatal;
  }
  // An entry whose name does not convert has no file name to go under.
  const bool unconverted = archive->report_unconverted(*picked, "it is not unpacked") > 0;
  for (std::size_t i = 0; i < picked->size(); ++i) {
    if (archive->unconverted[i]) (*picked)[i] = false;
  }
  options.selected = std::move(*picked);
  if (!archive->charset.empty()) options.file_names = archive->texts;
  // The archive is open, so its path may stop leading to it; the engine
  // recognises it by the open file when an entry would replace it.
  if (request.directory) {
    if (const platform::error_code error = platform::change_directory(*request.directory)) {
      report(platform::displayed_path(*request.directory),
             "cannot unpack into it: " + platform::error_text(error));
      return exit_status::fatal;
    }
  }

  const auto chosen = [&](std::size_t i) {
    return options.selected.empty() || options.selected[i];
  };
  std::size_t total = 0;
  std::uint64_t total_bytes = 0;
  for (std::size_t i = 0; i < directory.entries.size(); ++i) {
    if (!chosen(i)) continue;
    ++total;
    total_bytes += directory.entries[i].size;
  }

  buffer_standard_output();
  // The bytes are counted as they are copied, so that a long entry shows
  // its progress too.
  copy_progress copied(directory.entries.size());
  options.progress = &copied;
  progress_line line;
  std::optional<command_progress> progress;
  progress.emplace(line, "extract");
  work_counts& counts = progress->counts();
  counts.copied = &copied;
  counts.bytes = total_bytes;
  counts.entries = total;
  const unpack_status status = unpack_entries(archive->file, directory, options,
                                              [&](std::size_t i, const entry_result& result) {
                                                if (!result.ok())
                                                  report(archive->described(i), result.problem);
                                                // Only what it wrote: a refused or failed entry has
                                                // its diagnostic.
                                                if (request.verbose && result.placed) {
                                                  const auto paused = progress->pause();
                                                  std::printf("%s\n", archive->shown(i).c_str());
                                                  std::fflush(stdout);
                                                }
                                                counts.entries_done.fetch_add(1);
                                              });
  progress.reset();
  const bool whole = archive->report_salvage(false);
  return finish_standard_output(status == unpack_status::complete && !unconverted && whole
                                    ? exit_status::success
                                    : exit_status::problems);
}

}  // namespace qvx::cli
