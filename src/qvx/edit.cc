#include <algorithm>
#include <cstdio>
#include <functional>
#include <utility>

#include "archive/archive_edit.h"
#include "archive/diagnostic.h"
#include "archive/edit_layout.h"
#include "archive/edit_writer.h"
#include "archive/entry_name.h"
#include "console/command_progress.h"
#include "console/progress_line.h"
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

std::string shown_archive(const archive_destination& destination) {
  return platform::displayed_path(destination.given);
}

// Reports every problem of `plan`, and of the names and sizes it brings in;
// true when there is none.
bool plan_is_sound(const edit_plan& plan, const archive_destination& destination,
                   const subject_text& shown) {
  const std::string archive = shown_archive(destination);
  for (const edit_problem& problem : plan.problems) {
    report(problem.about_archive ? archive : shown(problem.subject), problem.reason);
  }
  const std::vector<packing_problem> problems = member_problems(plan.members);
  for (const packing_problem& problem : problems) {
    if (problem.member == whole_archive) {
      report(archive, problem.reason);
    } else if (const archive_member& member = plan.members[problem.member]; member.kept()) {
      report(archive, "entry " + std::to_string(problem.member + 1) + " \"" +
                          printable_name(member.name_text()) + "\" " + problem.reason);
    } else {
      report(platform::displayed_path(member.path), problem.reason);
    }
  }
  return plan.ok() && problems.empty();
}

bool is_utf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80U            ? 1
                               : (lead >> 5U) == 0x6U  ? 2
                               : (lead >> 4U) == 0xEU  ? 3
                               : (lead >> 3U) == 0x1EU ? 4
                                                       : 0;
    if (length == 0 || (length == 2 && lead < 0xC2U) || i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) >> 6U) != 0x2U) return false;
    }
    i += length;
  }
  return true;
}

// A name that is not plain ASCII, added to an archive whose names are not
// UTF-8, is almost surely in the wrong code page: the game would never find
// it. True when there is no such name, else each is reported.
bool names_fit_the_archive(const edit_plan& plan, const opened_archive& archive) {
  if (!archive.charset.empty()) return true;
  bool all_utf8 = true;
  for (std::size_t i = 0; i < archive.count() && all_utf8; ++i) all_utf8 = is_utf8(archive.name(i));
  if (all_utf8) return true;
  bool fit = true;
  for (std::size_t i = 0; i < plan.members.size(); ++i) {
    const archive_member* member = plan.members.held(i);
    if (member == nullptr || member->old_index ||
        std::all_of(member->name.begin(), member->name.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x80U; })) {
      continue;
    }
    report(platform::displayed_path(member->path),
           "its name is not plain ASCII, and the archive's names are not UTF-8: they look like "
           "those of a code page; give --charset with it (CP932, CP1252...) to convert the name");
    fit = false;
  }
  return fit;
}

std::string shown_member(const archive_member& member, const opened_archive& archive) {
  if (member.old_index) return archive.shown(*member.old_index);
  return printable_name(member.text.empty() ? member.name : platform::displayed_path(member.text));
}

std::string hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(value));
  return text;
}

// The name field a member is written with.
name_field field_of(const archive_member& member) {
  return member.field ? *member.field : encode_name(member.name);
}

// Whether a kept member's name field, tag or spare differ from its entry's.
bool record_changes(const archive_member& member, const archive_directory& old) {
  if (!member.kept() || !member.old_index) return false;
  const archive_entry& was = old.entries[*member.old_index];
  return member.tag != was.tag || member.spare != was.spare ||
         field_of(member) != old.names[*member.old_index];
}

// The lines of print_changes for a kept member whose record fields change.
void print_record_changes(const archive_member& member, std::size_t number,
                          const opened_archive& archive) {
  const std::size_t old = *member.old_index;
  const archive_entry& was = archive.directory.entries[old];
  const std::string before = archive.shown(old);
  if (field_of(member) != archive.directory.names[old]) {
    const std::string after =
        printable_name(member.text.empty() ? member.name : platform::displayed_path(member.text));
    std::printf("renamed %s -> %s (entry %zu)\n", before.c_str(), after.c_str(), number);
  }
  if (member.tag != was.tag) {
    std::printf("set tag of %s: %s -> %s (entry %zu)\n", before.c_str(), hex(was.tag).c_str(),
                hex(member.tag).c_str(), number);
  }
  if (member.spare != was.spare) {
    std::printf("set spare of %s: %s -> %s (entry %zu)\n", before.c_str(), hex(was.spare).c_str(),
                hex(member.spare).c_str(), number);
  }
}

// One line per change, for --dry-run and --verbose.
void print_changes(const edit_plan& plan, const edit_layout& layout,
                   const opened_archive& archive) {
  for (const std::size_t i : plan.deleted) {
    std::printf("deleted: %s (entry %zu)\n", archive.shown(i).c_str(), i + 1);
  }
  for (std::size_t i = 0; i < plan.members.size(); ++i) {
    // An entry kept as it is, and whose record is its own, has nothing to say.
    if (layout.fates[i] == member_fate::kept && plan.members.held(i) == nullptr) continue;
    const archive_member member = plan.members[i];
    const std::string name = shown_member(member, archive);
    const unsigned long at = layout.entries[i].offset;
    const unsigned long from =
        member.old_index ? archive.directory.entries[*member.old_index].offset : 0;
    switch (layout.fates[i]) {
      case member_fate::kept:
        if (record_changes(member, archive.directory)) print_record_changes(member, i + 1, archive);
        break;
      case member_fate::replaced_in_place:
        std::printf("replaced in place: %s (entry %zu, at %lu)\n", name.c_str(), i + 1, at);
        break;
      case member_fate::replaced_and_moved:
        std::printf("replaced and moved: %s (entry %zu, from %lu to %lu)\n", name.c_str(), i + 1,
                    from, at);
        break;
      case member_fate::added:
        std::printf("added: %s (entry %zu, at %lu)\n", name.c_str(), i + 1, at);
        break;
      case member_fate::moved_for_table:
        std::printf("moved out of the table's way: %s (entry %zu, from %lu to %lu)\n", name.c_str(),
                    i + 1, from, at);
        break;
      case member_fate::moved_for_names:
        std::printf("moved to make room for the name table: %s (entry %zu, from %lu to %lu)\n",
                    name.c_str(), i + 1, from, at);
        break;
    }
  }
}

// Says on standard error what moved that the user did not ask to move.
void report_moves(const edit_plan& plan, const edit_layout& layout, const opened_archive& archive,
                  const std::string& shown) {
  for (std::size_t i = 0; i < plan.members.size(); ++i) {
    const member_fate fate = layout.fates[i];
    if (fate != member_fate::moved_for_table && fate != member_fate::moved_for_names) continue;
    const std::size_t old = *plan.members.old_index(i);
    // An odd name comes with its number.
    const std::string described = archive.described(old);
    const std::string entry =
        described != archive.shown(old) ? described : "entry \"" + described + "\"";
    report(shown, entry + " moved from byte " +
                      std::to_string(archive.directory.entries[old].offset) + " to " +
                      std::to_string(layout.entries[i].offset) +
                      (fate == member_fate::moved_for_table
                           ? ": the grown entry table needs its place"
                           : ": the name table must follow it, and had no room there"));
  }
  const std::size_t old_count = archive.directory.entries.size();
  if (layout.entries.empty() || old_count == 0) return;
  const std::uint64_t was = name_table_position(archive.directory.entries.back());
  if (layout.names_at != was) {
    report(shown, "the name table moved from byte " + std::to_string(was) + " to " +
                      std::to_string(layout.names_at));
  }
}

// Makes the edit of `plan` to the archive, as `options` ask.
exit_status make_edit(edit_plan plan, const archive_destination& destination,
                      opened_archive& archive, const edit_options& options,
                      const subject_text& shown, command_progress* progress = nullptr) {
  const std::string name = shown_archive(destination);
  const auto not_changed = [&] {
    report(name, "not changed");
    return exit_status::fatal;
  };
  if (!plan_is_sound(plan, destination, shown) || !names_fit_the_archive(plan, archive)) {
    return not_changed();
  }
  if (const write_result same =
          keep_unchanged_entries(plan.members, archive.directory, archive.file);
      !same.ok()) {
    report(same.subject.empty() ? name : platform::displayed_path(same.subject), same.problem);
    return not_changed();
  }
  const std::uint32_t alignment = options.alignment.value_or(archive_alignment(archive.directory));
  const edit_layout layout =
      lay_out_edit(archive.directory, archive.file.size(), plan.members, alignment,
                   options.in_place ? layout_mode::in_place : layout_mode::copy,
                   [&](std::uint64_t begin, std::uint64_t end) {
                     return end_of_data(archive.file, begin, end);
                   });
  if (!layout.ok()) {
    report(name, options.in_place ? layout.problem + "; without --in-place it can be done"
                                  : layout.problem);
    return not_changed();
  }
  if (options.dry_run) {
    const auto paused =
        progress != nullptr ? progress->pause() : std::unique_lock<std::recursive_mutex>{};
    print_changes(plan, layout, archive);
  }
  bool changes = !plan.deleted.empty() ||
                 std::any_of(layout.fates.begin(), layout.fates.end(),
                             [](member_fate fate) { return fate != member_fate::kept; });
  for (std::size_t i = 0; i < plan.members.size() && !changes; ++i) {
    const archive_member* member = plan.members.held(i);
    changes = member != nullptr && record_changes(*member, archive.directory);
  }
  if (options.dry_run || !changes) return finish_standard_output(exit_status::success);

  std::uint64_t total = 0;
  for (const layout_write& write : layout.writes) total += write.length;
  if (!options.in_place) total = layout.length;
  work_counts unseen;
  work_counts& counts = progress != nullptr ? progress->counts() : unseen;
  counts.bytes = total;
  const packing_progress told = [&](std::size_t, std::uint64_t bytes_done) {
    counts.bytes_done = bytes_done;
  };
  const write_result written =
      options.in_place
          ? write_edit_in_place(archive.file, archive.directory, plan.members, layout, told)
          : write_edit(destination.path, archive.file, archive.directory, plan.members, layout,
                       told);
  if (!written.ok()) {
    const bool about_archive = written.subject.empty() || written.subject == destination.path;
    report(about_archive ? name : platform::displayed_path(written.subject), written.problem);
    return not_changed();
  }
  if (options.verbose) {
    const auto paused =
        progress != nullptr ? progress->pause() : std::unique_lock<std::recursive_mutex>{};
    print_changes(plan, layout, archive);
  }
  report_moves(plan, layout, archive, name);
  return finish_standard_output(exit_status::success);
}

// The archive at `path`, where the edit will be written and what it is read
// from, locked against other editors; or nothing, after saying why it
// cannot be edited.
std::optional<std::pair<archive_destination, opened_archive>> open_for_edit(
    const std::string& path, const name_charset& charset, bool for_update) {
  std::optional<archive_destination> destination =
      choose_destination(path, destination_use::edit, false);
  if (!destination) return std::nullopt;
  std::optional<opened_archive> archive =
      open_archive_to_edit(destination->path, destination->given, charset, for_update);
  if (!archive) return std::nullopt;
  return std::pair{std::move(*destination), std::move(*archive)};
}

exit_status not_changed(const archive_destination& destination) {
  report(shown_archive(destination), "not changed");
  return exit_status::fatal;
}

// The one entry that an exact `name` or the one number of `numbers` picks;
// nothing, after saying why, when that is not exactly one.
std::optional<std::size_t> one_entry(const opened_archive& archive, const std::string* name,
                                     std::span<const std::string> numbers) {
  if (name == nullptr) {
    const std::optional<std::vector<std::size_t>> indices = entry_indices(numbers, archive.count());
    if (!indices) return std::nullopt;
    if (indices->size() == 1) return indices->front();
    report("--entry", "give the number of one entry");
    return std::nullopt;
  }
  entry_choice choice{{*name}, {}, true};
  const std::optional<std::vector<bool>> picked = pick_entries(archive, choice, {});
  if (!picked) return std::nullopt;
  const auto count = static_cast<std::size_t>(std::count(picked->begin(), picked->end(), true));
  if (count != 1) {
    report(platform::displayed_path(*name),
           std::to_string(count) + " entries have this name; choose one with --entry N");
    return std::nullopt;
  }
  return static_cast<std::size_t>(std::find(picked->begin(), picked->end(), true) -
                                  picked->begin());
}

// The entries' names as the plans match them when a charset converts them:
// files and new names find entries by their text, and a name that did not
// convert (empty here) is no one's. Empty without a charset.
std::vector<std::string> converted_texts(const opened_archive& archive) {
  std::vector<std::string> texts;
  if (archive.charset.empty()) return texts;
  texts.reserve(archive.count());
  for (std::size_t i = 0; i < archive.count(); ++i) {
    texts.push_back(archive.unconverted[i] ? std::string{} : archive.texts[i]);
  }
  return texts;
}

}  // namespace

exit_status run_update(const update_request& request) {
  progress_line line;
  command_progress progress(line, "update");
  name_charset charset;
  if (!open_charset(request.charset, charset)) return exit_status::fatal;
  const edit_options& options = request.options;
  std::optional<std::pair<archive_destination, opened_archive>> opened =
      open_for_edit(request.archive, charset, options.in_place && !options.dry_run);
  if (!opened) return exit_status::fatal;
  const archive_destination* destination = &opened->first;
  opened_archive* archive = &opened->second;
  const gathered_inputs gathered = gather_inputs(request.inputs, *destination, charset);
  if (!gathered.usable) {
    report(shown_archive(*destination), "not changed");
    return exit_status::fatal;
  }
  const std::vector<std::string> texts = converted_texts(*archive);
  edit_plan plan;
  if (!request.numbers.empty()) {
    const std::optional<std::vector<std::size_t>> index =
        entry_indices(request.numbers, archive->directory.entries.size());
    if (!index) return not_changed(*destination);
    if (index->size() != 1 || gathered.members.size() != 1) {
      report("--entry",
             "update --entry replaces one entry with one file: give one entry number "
             "and one FILE");
      return not_changed(*destination);
    }
    plan = plan_replace_entry(archive->directory, archive->file.size(), index->front(),
                              gathered.members.front());
  } else {
    plan = plan_update(archive->directory, archive->file.size(), gathered.members, texts,
                       request.no_add);
  }
  // An entry it replaces keeps its own fields.
  for (std::size_t i = 0; i < plan.members.size(); ++i) {
    if (plan.members.old_index(i)) continue;
    archive_member& member = plan.members.change(i);
    member.tag = request.tag.value_or(member.tag);
    member.spare = request.spare.value_or(member.spare);
  }
  return make_edit(
      std::move(plan), *destination, *archive, options,
      [](const std::string& path) { return platform::displayed_path(path); }, &progress);
}

exit_status run_delete(const delete_request& request) {
  if (request.options.in_place) {
    report("--in-place",
           "delete cannot work in place: every record after a deleted one moves, which no single "
           "write can do safely; run it without --in-place");
    return exit_status::fatal;
  }
  progress_line line;
  command_progress progress(line, "delete");
  name_charset charset;
  if (!open_charset(request.charset, charset)) return exit_status::fatal;
  std::optional<std::pair<archive_destination, opened_archive>> opened =
      open_for_edit(request.archive, charset, false);
  if (!opened) return exit_status::fatal;
  const archive_destination* destination = &opened->first;
  opened_archive* archive = &opened->second;
  const std::optional<std::vector<bool>> picked = pick_entries(*archive, request.choice, {});
  if (!picked) return not_changed(*destination);
  // A name picks every entry of that name; a number, that entry alone.
  std::vector<std::size_t> indices;
  for (std::size_t i = 0; i < picked->size(); ++i) {
    if ((*picked)[i]) indices.push_back(i);
  }
  edit_plan plan = plan_delete_entries(archive->directory, archive->file.size(), indices);
  return make_edit(
      std::move(plan), *destination, *archive, request.options,
      [](const std::string& name) { return printable_name(name); }, &progress);
}

exit_status run_repack(const repack_request& request) {
  progress_line line;
  command_progress progress(line, "repack");
  std::optional<std::pair<archive_destination, opened_archive>> opened =
      open_for_edit(request.archive, {}, false);
  if (!opened) return exit_status::fatal;
  const archive_destination& destination = opened->first;
  opened_archive& archive = opened->second;
  const edit_plan plan = plan_repack(archive.directory, archive.file.size());
  if (!plan_is_sound(plan, destination, [](const std::string& name) { return name; })) {
    report(shown_archive(destination), "not changed");
    return exit_status::fatal;
  }
  const std::uint64_t dropped = unowned_bytes(archive.directory, archive.file.size());
  const exit_status status = write_to_destination(destination, plan.members.whole(), &archive.file,
                                                  request.alignment, &progress);
  if (status == exit_status::success) {
    report(shown_archive(destination),
           dropped == 1
               ? std::string{"1 byte that belonged to no entry was dropped"}
               : std::to_string(dropped) + " bytes that belonged to no entry were dropped");
  }
  return status;
}

exit_status run_rename(const rename_request& request) {
  const std::size_t wanted = request.numbers.empty() ? 2 : 1;
  if (request.names.size() != wanted) {
    report("rename", request.numbers.empty() ? "give the entry's name and its new name"
                                             : "with --entry, give only the new name");
    return exit_status::fatal;
  }
  name_charset charset;
  if (!open_charset(request.charset, charset)) return exit_status::fatal;
  const edit_options& options = request.options;
  std::optional<std::pair<archive_destination, opened_archive>> opened =
      open_for_edit(request.archive, charset, options.in_place && !options.dry_run);
  if (!opened) return exit_status::fatal;
  const archive_destination& destination = opened->first;
  opened_archive& archive = opened->second;
  const std::optional<std::size_t> index =
      one_entry(archive, wanted == 2 ? &request.names.front() : nullptr, request.numbers);
  if (!index) return not_changed(destination);
  const std::string& text = request.names.back();
  std::string name;
  if (const std::string problem = entry_name_for(text, charset, name); !problem.empty()) {
    report(platform::displayed_path(text), problem);
    return not_changed(destination);
  }
  const std::vector<std::string> texts = converted_texts(archive);
  edit_plan plan = plan_rename(archive.directory, archive.file.size(), *index, name,
                               charset ? text : std::string{}, texts);
  return make_edit(std::move(plan), destination, archive, options,
                   [](const std::string& given) { return platform::displayed_path(given); });
}

exit_status run_set(const set_request& request) {
  if (!request.tag && !request.spare) {
    report("set", "give --tag, --spare or both");
    return exit_status::fatal;
  }
  if (request.choice.names.empty() == request.choice.numbers.empty() ||
      request.choice.names.size() > 1) {
    report("set", "give the entry's name, or its numbers with --entry");
    return exit_status::fatal;
  }
  name_charset charset;
  if (!open_charset(request.charset, charset)) return exit_status::fatal;
  const edit_options& options = request.options;
  std::optional<std::pair<archive_destination, opened_archive>> opened =
      open_for_edit(request.archive, charset, options.in_place && !options.dry_run);
  if (!opened) return exit_status::fatal;
  const archive_destination& destination = opened->first;
  opened_archive& archive = opened->second;
  std::vector<std::size_t> indices;
  if (request.choice.names.empty()) {
    const std::optional<std::vector<std::size_t>> numbered =
        entry_indices(request.choice.numbers, archive.count());
    if (!numbered) return not_changed(destination);
    indices = *numbered;
  } else {
    const std::optional<std::size_t> named =
        one_entry(archive, &request.choice.names.front(), request.choice.numbers);
    if (!named) return not_changed(destination);
    indices.push_back(*named);
  }
  edit_plan plan =
      plan_set_fields(archive.directory, archive.file.size(), indices, request.tag, request.spare);
  return make_edit(std::move(plan), destination, archive, options,
                   [](const std::string& given) { return printable_name(given); });
}

}  // namespace qvx::cli
