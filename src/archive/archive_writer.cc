#include "archive/archive_writer.h"

#include <algorithm>
#include <limits>
#include <unordered_map>

#include "archive/entry_name.h"
#include "platform/platform.h"

namespace qvx {
namespace {

constexpr std::uint64_t max_field = std::numeric_limits<std::uint32_t>::max();

std::string quoted(std::string_view name) { return '"' + printable_name(name) + '"'; }

// Why `name` cannot be an entry's name, or "" when it can.
std::string name_problem(std::string_view name) {
  const std::string shown = "its entry name " + quoted(name);
  if (const std::string_view why = name_refusal(name, name_rules::posix); !why.empty()) {
    return shown + " would be refused: " + std::string{why};
  }
  if (const std::string_view why = name_refusal(name, name_rules::windows); !why.empty()) {
    return shown + " would be refused on Windows: " + std::string{why};
  }
  if (name.size() > name_field_size) {
    return shown + " is " + std::to_string(name.size()) + " bytes long; at most " +
           std::to_string(name_field_size) + " fit";
  }
  return {};
}

}  // namespace

archive_plan plan_archive(std::span<const archive_member> members) {
  archive_plan plan;
  if (members.size() > max_entries) {
    plan.problems.push_back({whole_archive, "too many files: " + std::to_string(members.size()) +
                                                "; an archive holds at most " +
                                                std::to_string(max_entries)});
    return plan;
  }

  std::unordered_map<std::string, std::size_t> taken;  // case_folded name -> first member
  std::uint64_t position = count_size + entry_record_size * members.size();
  bool offsets_overflowed = false;
  for (std::size_t i = 0; i < members.size(); ++i) {
    const archive_member& member = members[i];
    if (std::string problem = name_problem(member.name); !problem.empty()) {
      plan.problems.push_back({i, std::move(problem)});
    } else if (const auto [first, fresh] = taken.try_emplace(case_folded(member.name), i); !fresh) {
      const archive_member& other = members[first->second];
      plan.problems.push_back({i, "its entry name " + quoted(member.name) +
                                      (other.name == member.name
                                           ? " is taken by " + printable_name(other.path)
                                           : " differs from that of " + printable_name(other.path) +
                                                 " only in case, which Windows ignores")});
    }
    if (member.size > max_field) {
      plan.problems.push_back({i, "is " + std::to_string(member.size) +
                                      " bytes long; an entry holds at most " +
                                      std::to_string(max_field)});
    }
    // Only the first: every later member would start beyond the limit too.
    if (position > max_field && !offsets_overflowed) {
      offsets_overflowed = true;
      plan.problems.push_back({i, "would start at byte " + std::to_string(position) +
                                      " of the archive, beyond the " + std::to_string(max_field) +
                                      " an entry's offset can reach"});
    }
    plan.entries.push_back({.offset = static_cast<std::uint32_t>(position),
                            .size = static_cast<std::uint32_t>(member.size)});
    position += member.size;
  }
  return plan;
}

write_result write_archive(const std::string& path, std::span<const archive_member> members,
                           const packing_progress& progress) {
  const archive_plan plan = plan_archive(members);
  if (!plan.ok()) {
    const packing_problem& first = plan.problems.front();
    return {first.member == whole_archive ? path : members[first.member].path, first.reason};
  }

  platform::error_code error = 0;
  platform::replacement_file archive = platform::replacement_file::create(path, error);
  if (error != 0) return {path, "cannot create a file beside it: " + platform::error_text(error)};
  const auto cannot_write = [&](platform::error_code why) -> write_result {
    return {path, "cannot write: " + platform::error_text(why)};
  };

  std::vector<std::byte> head(count_size + entry_record_size * members.size());
  encode_u16(static_cast<std::uint16_t>(members.size()), std::span{head}.first<count_size>());
  for (std::size_t i = 0; i < plan.entries.size(); ++i) {
    const auto record = encode_entry(plan.entries[i]);
    std::copy(record.begin(), record.end(),
              std::span{head}.subspan(count_size + entry_record_size * i).begin());
  }
  if (const platform::error_code why = archive.write(head)) return cannot_write(why);

  std::uint64_t bytes_done = 0;
  for (std::size_t i = 0; i < members.size(); ++i) {
    const archive_member& member = members[i];
    const platform::input_file source = platform::input_file::open(member.path, error);
    if (error != 0) return {member.path, "cannot open: " + platform::error_text(error)};
    if (source.size() != member.size) {
      return {member.path, "changed size while the archive was written (from " +
                               std::to_string(member.size) + " to " +
                               std::to_string(source.size()) + " bytes)"};
    }
    const platform::io_result copied = archive.copy_from(source, 0, member.size);
    if (copied.error != 0) {
      return {member.path,
              "cannot copy it into the archive: " + platform::error_text(copied.error)};
    }
    if (copied.bytes != member.size) {
      return {member.path, "ended after " + std::to_string(copied.bytes) + " of its " +
                               std::to_string(member.size) + " bytes"};
    }
    bytes_done += member.size;
    if (progress) progress(i + 1, bytes_done);
  }

  std::vector<std::byte> names(name_field_size * members.size());
  for (std::size_t i = 0; i < members.size(); ++i) {
    const name_field field = encode_name(members[i].name);
    std::transform(field.begin(), field.end(),
                   std::span{names}.subspan(name_field_size * i).begin(),
                   [](char c) { return static_cast<std::byte>(c); });
  }
  if (const platform::error_code why = archive.write(names)) return cannot_write(why);
  if (const platform::error_code why = archive.commit()) {
    return {path, "cannot put the archive in place: " + platform::error_text(why)};
  }
  return {};
}

}  // namespace qvx
