#include <functional>
#include <utility>

#include "archive/archive_edit.h"
#include "archive/diagnostic.h"
#include "archive/entry_name.h"
#include "platform/platform.h"
#include "qvx/archive_destination.h"
#include "qvx/commands.h"
#include "qvx/entry_selection.h"
#include "qvx/input_files.h"
#include "qvx/opened_archive.h"

namespace qvx::cli {
namespace {

// How a problem's subject is shown: a path or a name as the user gave it.
using subject_text = std::function<std::string(const std::string&)>;

// Reports every problem of `plan` and of its layout; true when there is none.
bool plan_is_sound(const edit_plan& plan, const archive_destination& destination,
                   const subject_text& shown) {
  const std::string archive = platform::displayed_path(destination.given);
  for (const edit_problem& problem : plan.problems) {
    report(problem.about_archive ? archive : shown(problem.subject), problem.reason);
  }
  const archive_plan layout = plan_archive(plan.members);
  for (const packing_problem& problem : layout.problems) {
    if (problem.member == whole_archive) {
      report(archive, problem.reason);
    } else if (const archive_member& member = plan.members[problem.member]; member.kept()) {
      report(archive, "entry \"" + printable_name(member.name_text()) + "\" " + problem.reason);
    } else {
      report(platform::displayed_path(member.path), problem.reason);
    }
  }

  return plan.ok() && layout.ok();
}

// Writes the edited archive in place of the old one; says so when bytes
// that belonged to no entry were left behind.
exit_status rewrite(const edit_plan& plan, const archive_destination& destination,
                    opened_archive& archive, const subject_text& shown) {
  if (!plan_is_sound(plan, destination, shown)) {
    report(platform::displayed_path(destination.given), "not changed");
    return exit_status::fatal;
  }
  const exit_status status = write_to_destination(destination, plan.members, &archive.file);
  if (status == exit_status::success && plan.dropped_bytes > 0) {
    report(platform::displayed_path(destination.given),
           plan.dropped_bytes == 1 ? std::string{"1 byte that belonged to no entry was left out"}
                                   : std::to_string(plan.dropped_bytes) +
                                         " bytes that belonged to no entry were left out");
  }
  return status;
}

// The archive at `path`, where the edit will be written and what it is read
// from; or nothing, after saying why it cannot be edited.
std::optional<std::pair<archive_destination, opened_archive>> open_for_edit(
    const std::string& path, const name_charset& charset) {
  std::optional<archive_destination> destination =
      choose_destination(path, destination_use::edit, false);
  if (!destination) return std::nullopt;
  std::optional<opened_archive> archive =
      open_archive(destination->path, destination->given, charset);
  if (!archive) return std::nullopt;
  return std::pair{std::move(*destination), std::move(*archive)};
}

}  // namespace

exit_status run_update(const update_request& request) {
  name_charset charset;
  if (!open_charset(request.charset, charset)) return exit_status::fatal;
  std::optional<std::pair<archive_destination, opened_archive>> opened =
      open_for_edit(request.archive, charset);
  if (!opened) return exit_status::fatal;
  const archive_destination* destination = &opened->first;
  opened_archive* archive = &opened->second;
  const gathered_inputs gathered = gather_inputs(request.inputs, *destination, charset);
  if (!gathered.usable) {
    report(platform::displayed_path(destination->given), "not changed");
    return exit_status::fatal;
  }
  // Names that do not convert stay as they are; they are only compared.
  const edit_plan plan =
      plan_update(archive->directory, archive->file.size(), gathered.members,
                  archive->charset.empty() ? std::span<const std::string>{} : archive->names);
  return rewrite(plan, *destination, *archive,
                 [](const std::string& path) { return platform::displayed_path(path); });
}

exit_status run_delete(const delete_request& request) {
  name_charset charset;
  if (!open_charset(request.charset, charset)) return exit_status::fatal;
  std::optional<std::pair<archive_destination, opened_archive>> opened =
      open_for_edit(request.archive, charset);
  if (!opened) return exit_status::fatal;
  const archive_destination* destination = &opened->first;
  opened_archive* archive = &opened->second;
  const std::optional<std::vector<bool>> picked = pick_entries(archive->names, request.names, {});
  if (!picked) {
    report(platform::displayed_path(destination->given), "not changed");
    return exit_status::fatal;
  }
  // Every entry of a picked entry's name goes, as with a name given.
  std::vector<std::string> names;
  for (std::size_t i = 0; i < picked->size(); ++i) {
    if ((*picked)[i]) names.emplace_back(entry_name(archive->directory.names[i]));
  }
  const edit_plan plan = plan_delete(archive->directory, archive->file.size(), names);
  return rewrite(plan, *destination, *archive,
                 [](const std::string& name) { return printable_name(name); });
}

}  // namespace qvx::cli
