#include <cinttypes>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "archive/archive_diff.h"
#include "archive/diagnostic.h"
#include "archive/entry_name.h"
#include "qvx/commands.h"
#include "qvx/list_json.h"
#include "qvx/opened_archive.h"

namespace qvx::cli {
namespace {

const char* kind_word(difference_kind kind) {
  switch (kind) {
    case difference_kind::removed:
      return "removed";
    case difference_kind::added:
      return "added";
    case difference_kind::changed:
      return "changed";
    case difference_kind::tag:
      return "tag";
    case difference_kind::spare:
      return "spare";
    case difference_kind::moved:
      return "moved";
  }
  return "?";
}

// The archive whose entry names the difference: the new one only for an
// addition, since a matched entry has the same name bytes in both.
const opened_archive& named_in(const entry_difference& difference, const opened_archive& old_one,
                               const opened_archive& new_one) {
  return difference.old_index ? old_one : new_one;
}

std::size_t named_index(const entry_difference& difference) {
  return difference.old_index ? *difference.old_index : *difference.new_index;
}

// "changed  a.txt: 1024 -> 1030 bytes": the kind first, in a column of its
// own, for grep and cut.
void print_line(const entry_difference& difference, const opened_archive& archive) {
  const std::string name = archive.shown(named_index(difference));
  const char* kind = kind_word(difference.kind);
  const std::uint64_t from = difference.old_value;
  const std::uint64_t to = difference.new_value;
  switch (difference.kind) {
    case difference_kind::removed:
      std::printf("%-8s %s: %" PRIu64 " bytes\n", kind, name.c_str(), from);
      break;
    case difference_kind::added:
      std::printf("%-8s %s: %" PRIu64 " bytes\n", kind, name.c_str(), to);
      break;
    case difference_kind::changed:
      std::printf("%-8s %s: %" PRIu64 " -> %" PRIu64 " bytes\n", kind, name.c_str(), from, to);
      break;
    case difference_kind::tag:
    case difference_kind::spare:
      std::printf("%-8s %s: 0x%" PRIx64 " -> 0x%" PRIx64 "\n", kind, name.c_str(), from, to);
      break;
    case difference_kind::moved:
      std::printf("%-8s %s: offset %" PRIu64 " -> %" PRIu64 "\n", kind, name.c_str(), from, to);
      break;
  }
}

// One JSON object a line; a removed entry has no "new" values, an added one
// no "old" ones.
void print_json_line(const entry_difference& difference, const opened_archive& archive) {
  const std::size_t i = named_index(difference);
  nlohmann::ordered_json object = {
      {"kind", kind_word(difference.kind)},
      {"name", archive.name(i)},
      {"name_hex", name_hex(entry_name(archive.directory.names[i]))},
  };
  if (difference.old_index) object["old_number"] = *difference.old_index + 1;
  if (difference.new_index) object["new_number"] = *difference.new_index + 1;
  if (difference.old_index) object["old"] = difference.old_value;
  if (difference.new_index) object["new"] = difference.new_value;
  const std::string line =
      object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  std::printf("%s\n", line.c_str());
}

}  // namespace

exit_status run_diff(const diff_request& request) {
  name_charset charset;
  if (!open_charset(request.charset, charset)) return exit_status::fatal;
  const std::optional<opened_archive> old_archive = open_archive(request.old_archive, "", charset);
  if (!old_archive) return exit_status::fatal;
  const std::optional<opened_archive> new_archive = open_archive(request.new_archive, "", charset);
  if (!new_archive) return exit_status::fatal;

  const archive_diff diff = diff_archives({old_archive->file, old_archive->directory},
                                          {new_archive->file, new_archive->directory});
  buffer_standard_output();
  bool differ = false;
  for (const entry_difference& difference : diff.differences) {
    // Data that moved with their bytes unchanged are the same entry.
    if (difference.kind == difference_kind::moved) {
      if (!request.verbose) continue;
    } else {
      differ = true;
    }
    const opened_archive& archive = named_in(difference, *old_archive, *new_archive);
    if (request.json) {
      print_json_line(difference, archive);
    } else {
      print_line(difference, archive);
    }
  }
  for (const diff_trouble& trouble : diff.troubles) {
    const opened_archive& archive = trouble.in_new ? *new_archive : *old_archive;
    const std::string& path = trouble.in_new ? request.new_archive : request.old_archive;
    report(platform::displayed_path(path), "entry " + std::to_string(trouble.index + 1) + " \"" +
                                               archive.shown(trouble.index) +
                                               "\": " + trouble.problem);
  }
  const exit_status status = !diff.troubles.empty() ? exit_status::fatal
                             : differ               ? exit_status::problems
                                                    : exit_status::success;
  // Output that did not arrive is trouble, not a difference.
  if (finish_standard_output(exit_status::success) != exit_status::success) {
    return exit_status::fatal;
  }
  return status;
}

}  // namespace qvx::cli
