#include "archive/archive_writer.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <tuple>
#include <unordered_map>

#include "archive/entry_name.h"
#include "platform/platform.h"

namespace qvx {
namespace {

constexpr std::uint64_t max_field = std::numeric_limits<std::uint32_t>::max();

std::string quoted(std::string_view name) { return '"' + printable_name(name) + '"'; }

// Why `member`'s name cannot be an entry's name, or "" when it can.
std::string name_problem(const archive_member& member) {
  const std::string& name = member.name_text();
  const std::string shown = "its entry name " + quoted(name);
  const auto refusal = member.path_name ? path_name_refusal : name_refusal;
  if (const std::string_view why = refusal(name, name_rules::posix); !why.empty()) {
    return shown + " would be refused: " + std::string{why};
  }
  if (const std::string_view why = refusal(name, name_rules::windows); !why.empty()) {
    return shown + " would be refused on Windows: " + std::string{why};
  }
  if (member.name.size() > name_field_size) {
    return shown + " is " + std::to_string(member.name.size()) + " bytes long; at most " +
           std::to_string(name_field_size) + " fit";
  }
  return {};
}

}  // namespace

std::vector<packing_problem> member_problems(std::span<const archive_member> members) {
  std::vector<packing_problem> problems;
  if (members.size() > max_entries) {
    problems.push_back({whole_archive, "too many files: " + std::to_string(members.size()) +
                                           "; an archive holds at most " +
                                           std::to_string(max_entries)});
    return problems;
  }
  std::unordered_map<std::string, std::size_t> taken;  // case_folded name -> first member
  for (std::size_t i = 0; i < members.size(); ++i) {
    const archive_member& member = members[i];
    if (member.field) {
      // A name the archive already has (a kept or replaced entry) is left
      // as it is: the checks are for names this command brings in.
    } else if (std::string problem = name_problem(member); !problem.empty()) {
      problems.push_back({i, std::move(problem)});
    } else if (const auto [first, fresh] = taken.try_emplace(case_folded(member.name_text()), i);
               !fresh) {
      const archive_member& other = members[first->second];
      problems.push_back({i, "its entry name " + quoted(member.name_text()) +
                                 (other.name == member.name
                                      ? " is taken by " + printable_name(other.path)
                                      : " differs from that of " + printable_name(other.path) +
                                            " only in case, which Windows ignores")});
    }
    if (member.size > max_field) {
      problems.push_back({i, "is " + std::to_string(member.size) +
                                 " bytes long; an entry holds at most " +
                                 std::to_string(max_field)});
    }
  }
  return problems;
}

archive_plan plan_archive(std::span<const archive_member> members, std::uint32_t alignment) {
  archive_plan plan;
  plan.problems = member_problems(members);
  if (members.size() > max_entries) return plan;
  std::uint64_t position = record_at(members.size());
  bool offsets_overflowed = false;
  for (std::size_t i = 0; i < members.size(); ++i) {
    const archive_member& member = members[i];
    if (member.size > 0) position = (position + alignment - 1) / alignment * alignment;
    // Only the first: every later member would start beyond the limit too.
    if (position > max_field && !offsets_overflowed) {
      offsets_overflowed = true;
      plan.problems.push_back({i, "would start at byte " + std::to_string(position) +
                                      " of the archive, beyond the " + std::to_string(max_field) +
                                      " an entry's offset can reach"});
    }
    plan.entries.push_back({.tag = member.tag,
                            .offset = static_cast<std::uint32_t>(position),
                            .size = static_cast<std::uint32_t>(member.size),
                            .spare = member.spare});
    position += member.size;
  }
  std::stable_sort(
      plan.problems.begin(), plan.problems.end(),
      [](const packing_problem& a, const packing_problem& b) { return a.member < b.member; });
  return plan;
}

namespace {

// Files up to this size are read whole into memory and written in large
// batches: for many small files that is one read instead of an fstat and a
// copy each, and a write per MiB instead of one per file.
constexpr std::uint64_t small_file_limit = std::uint64_t{64} << 10U;

}  // namespace

std::vector<std::byte> encoded_head(std::span<const archive_entry> entries) {
  std::vector<std::byte> head(record_at(entries.size()));
  encode_u16(static_cast<std::uint16_t>(entries.size()), std::span{head}.first<count_size>());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const auto record = encode_entry(entries[i]);
    std::copy(record.begin(), record.end(), std::span{head}.subspan(record_at(i)).begin());
  }
  return head;
}

void append_names(std::span<const archive_member> members, std::vector<std::byte>& out) {
  std::size_t at = out.size();
  out.resize(at + name_field_size * members.size());
  for (const archive_member& member : members) {
    const name_field field = member.field ? *member.field : encode_name(member.name);
    std::memcpy(&out[at], field.data(), name_field_size);
    at += name_field_size;
  }
}

namespace {

// How many members, from `first` on, are kept entries that lie one after
// another in the source and in the new archive, so that one copy moves them
// all; and their bytes.
std::pair<std::size_t, std::uint64_t> kept_run(std::span<const archive_member> members,
                                               const archive_plan& plan, std::size_t first) {
  std::size_t end = first + 1;
  std::uint64_t length = members[first].size;
  while (end < members.size() && members[end].kept() &&
         members[end].source_offset == members[first].source_offset + length &&
         plan.entries[end].offset == plan.entries[first].offset + length) {
    length += members[end].size;
    ++end;
  }
  return {end - first, length};
}

}  // namespace

platform::io_result copy_in_pieces(
    std::uint64_t length,
    const std::function<platform::io_result(std::uint64_t done, std::uint64_t piece)>& copy,
    const copied_so_far& copied) {
  if (!copied) return copy(0, length);
  platform::io_result result;
  while (result.bytes < length) {
    const std::uint64_t piece = std::min(counted_piece, length - result.bytes);
    const platform::io_result got = copy(result.bytes, piece);
    result.bytes += got.bytes;
    if (got.error != 0 || got.bytes < piece) {
      result.error = got.error;
      break;
    }
    if (result.bytes < length) copied(result.bytes);
  }
  return result;
}

write_result append_member_file(const archive_member& member, platform::replacement_file& out,
                                std::vector<std::byte>& buffer, const copied_so_far& copied) {
  if (member.size <= small_file_limit) {
    // Read onto `buffer`, which the caller writes out in large batches.
    const platform::io_result read = platform::read_small_file(member.path, member.size, buffer);
    if (read.error != 0) return {member.path, "cannot read: " + platform::error_text(read.error)};
    if (read.bytes != member.size) {
      return {member.path, "changed size while the archive was written (it had " +
                               std::to_string(member.size) + " bytes)"};
    }
    return {};
  }
  if (!buffer.empty()) {
    if (const platform::error_code why = out.write(buffer)) {
      return {"", "cannot write: " + platform::error_text(why)};
    }
    buffer.clear();
  }
  platform::error_code error = 0;
  const platform::input_file source = platform::input_file::open(member.path, error);
  if (error != 0) return {member.path, "cannot open: " + platform::error_text(error)};
  if (source.size() != member.size) {
    return {member.path, "changed size while the archive was written (from " +
                             std::to_string(member.size) + " to " + std::to_string(source.size()) +
                             " bytes)"};
  }
  const platform::io_result in = copy_in_pieces(
      member.size,
      [&](std::uint64_t done, std::uint64_t piece) { return out.copy_from(source, done, piece); },
      copied);
  if (in.error != 0) {
    return {member.path, "cannot copy it into the archive: " + platform::error_text(in.error)};
  }
  if (in.bytes != member.size) {
    return {member.path, "ended after " + std::to_string(in.bytes) + " of its " +
                             std::to_string(member.size) + " bytes"};
  }
  return {};
}

write_result put_in_place(platform::replacement_file& archive, const std::string& path,
                          platform::input_file& source) {
  // Another program that rewrote the archive meanwhile would lose its work
  // to the rename: that is refused.
  bool changed = false;
  if (const platform::error_code why = archive.commit_over(source, changed)) {
    return {path, "cannot put the archive in place: " + platform::error_text(why)};
  }
  if (changed) return {path, "was changed by another program while it was being rewritten"};
  return {};
}

write_result write_archive(const std::string& path, std::span<const archive_member> members,
                           const packing_progress& progress, platform::input_file* source,
                           std::uint32_t alignment) {
  const archive_plan plan = plan_archive(members, alignment);
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

  // Bytes waiting to be appended: the head, padding, small files, the name
  // table.
  std::vector<std::byte> pending = encoded_head(plan.entries);
  std::uint64_t written = pending.size();  // including what is pending
  const auto flush = [&]() -> platform::error_code {
    const platform::error_code why = pending.empty() ? 0 : archive.write(pending);
    pending.clear();
    return why;
  };

  std::uint64_t bytes_done = 0;
  for (std::size_t i = 0; i < members.size();) {
    const archive_member& member = members[i];
    pending.resize(pending.size() + (plan.entries[i].offset - written));
    written = plan.entries[i].offset;
    std::size_t count = 1;
    std::uint64_t length = member.size;
    const copied_so_far within =
        progress ? copied_so_far{[&, i](std::uint64_t bytes) { progress(i, bytes_done + bytes); }}
                 : copied_so_far{};
    if (member.kept()) {
      std::tie(count, length) = kept_run(members, plan, i);
      if (const platform::error_code why = flush()) return cannot_write(why);
      const platform::io_result copied = copy_in_pieces(
          length,
          [&](std::uint64_t done, std::uint64_t piece) {
            return archive.copy_from(*source, member.source_offset + done, piece);
          },
          within);
      if (copied.error != 0) {
        return {path, "cannot copy its entries: " + platform::error_text(copied.error)};
      }
      if (copied.bytes != length) {
        return {path, "ended before entry " + quoted(member.name) +
                          " and those after it were copied: it changed while it was rewritten"};
      }
    } else {
      if (write_result appended = append_member_file(member, archive, pending, within);
          !appended.ok()) {
        if (appended.subject.empty()) appended.subject = path;
        return appended;
      }
      if (pending.size() >= write_batch_size) {
        if (const platform::error_code why = flush()) return cannot_write(why);
      }
    }
    i += count;
    written += length;
    bytes_done += length;
    if (progress) progress(i, bytes_done);
  }

  append_names(members, pending);
  if (const platform::error_code why = flush()) return cannot_write(why);
  if (source == nullptr) {
    if (const platform::error_code why = archive.commit()) {
      return {path, "cannot put the archive in place: " + platform::error_text(why)};
    }
    return {};
  }
  return put_in_place(archive, path, *source);
}

}  // namespace qvx
