#include <string>
#include <utility>
#include <vector>

#include "archive/archive_writer.h"
#include "archive/diagnostic.h"
#include "platform/platform.h"
#include "qvx/commands.h"
#include "qvx/progress_line.h"

namespace qvx::cli {
namespace {

// What the entry for the file at `path` is called: its last component.
std::string last_component(const std::string& path) {
  const char* separators = platform::uses_windows_names() ? "/\\:" : "/";
  const std::size_t at = path.find_last_of(separators);
  return at == std::string::npos ? path : path.substr(at + 1);
}

// `path` as diagnostics show it.
std::string shown(const std::string& path) { return platform::displayed_path(path); }

struct gathered_files {
  std::vector<archive_member> members;
  bool usable = true;  // false when a file (or the archive's path) cannot be used
};

// The members for the files that can be packed, in order. Reports every
// file that cannot, and the archive's path when it is a directory.
gathered_files gather_files(const create_request& request) {
  gathered_files gathered;
  auto& [members, usable] = gathered;
  platform::error_code error = 0;
  const platform::file_facts archive = platform::examine(request.archive, error);
  const bool archive_exists = error == 0;
  if (archive_exists && archive.kind == platform::file_kind::directory) {
    report(shown(request.archive), "is a directory");
    usable = false;
  }

  for (const std::string& path : request.files) {
    const platform::file_facts file = platform::examine(path, error);
    if (error != 0) {
      report(shown(path), "cannot read: " + platform::error_text(error));
      usable = false;
    } else if (file.kind == platform::file_kind::directory) {
      report(shown(path), "is a directory: an archive holds only files, so name the files in it");
      usable = false;
    } else if (file.kind != platform::file_kind::regular) {
      report(shown(path), "is not a regular file");
      usable = false;
    } else if (archive_exists && file.same_file(archive)) {
      // The old archive would go into the new one.
      report(shown(path), "left out: it is the archive being written");
    } else if (std::string name; !platform::as_entry_name(last_component(path), name)) {
      report(shown(path),
             "its name has characters that entry names, in the system's code page, "
             "cannot hold");
      usable = false;
    } else {
      members.push_back({std::move(name), path, file.size});
    }
  }
  return gathered;
}

}  // namespace

exit_status run_create(const create_request& request) {
  const gathered_files gathered = gather_files(request);
  const std::vector<archive_member>& members = gathered.members;
  const archive_plan plan = plan_archive(members);
  for (const packing_problem& problem : plan.problems) {
    report(shown(problem.member == whole_archive ? request.archive : members[problem.member].path),
           problem.reason);
  }
  if (!gathered.usable || !plan.ok()) {
    report(shown(request.archive), "not written");
    return exit_status::fatal;
  }

  std::uint64_t total_bytes = 0;
  for (const archive_member& member : members) total_bytes += member.size;
  progress_line progress;
  const write_result written =
      write_archive(request.archive, members, [&](std::size_t done, std::uint64_t bytes_done) {
        progress.update([&] {
          return "qvx: " + std::to_string(done) + " of " + std::to_string(members.size()) +
                 " files, " + mebibytes(bytes_done) + " of " + mebibytes(total_bytes);
        });
      });
  progress.clear();
  if (!written.ok()) {
    report(shown(written.subject), written.problem);
    report(shown(request.archive), "not written");
    return exit_status::fatal;
  }
  return exit_status::success;
}

}  // namespace qvx::cli
