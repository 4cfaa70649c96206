#include "archive/archive_writer.h"
#include "archive/diagnostic.h"
#include "console/command_progress.h"
#include "platform/platform.h"
#include "qvx/archive_destination.h"
#include "qvx/commands.h"
#include "qvx/input_files.h"

namespace qvx::cli {

exit_status run_create(const create_request& request) {
  progress_line line;
  command_progress progress(line, "create");
  name_charset charset;
  if (!open_charset(request.charset, charset)) return exit_status::fatal;
  const std::optional<archive_destination> destination =
      choose_destination(request.archive, destination_use::create, request.force);
  if (!destination) return exit_status::fatal;
  const gathered_inputs gathered = gather_inputs(request.inputs, *destination, charset);
  const std::vector<archive_member>& members = gathered.members;
  const archive_plan plan = plan_archive(members, request.alignment);
  for (const packing_problem& problem : plan.problems) {
    report(platform::displayed_path(problem.member == whole_archive ? request.archive
                                                                    : members[problem.member].path),
           problem.reason);
  }
  if (!gathered.usable || !plan.ok()) {
    report(platform::displayed_path(request.archive), "not written");
    return exit_status::fatal;
  }
  return write_to_destination(*destination, members, nullptr, request.alignment, &progress);
}

}  // namespace qvx::cli
