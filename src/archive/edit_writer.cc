#include "archive/edit_writer.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "archive/entry_name.h"

namespace qvx {
namespace {

constexpr std::size_t compare_chunk = std::size_t{256} << 10U;

// Whether the file of `member` holds exactly `entry`'s bytes of `archive`.
write_result holds_entry_bytes(const archive_member& member, const archive_entry& entry,
                               const platform::input_file& archive, bool& same) {
  same = false;
  platform::error_code error = 0;
  const platform::input_file file = platform::input_file::open(member.path, error);
  if (error != 0) return {member.path, "cannot open: " + platform::error_text(error)};
  if (file.size() != entry.size) return {};
  // No larger than the entry: most replaced entries are small.
  const auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(compare_chunk, entry.size));
  std::vector<std::byte> mine(chunk);
  std::vector<std::byte> theirs(chunk);
  for (std::uint64_t done = 0; done < entry.size;) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(chunk, entry.size - done));
    const platform::io_result a = file.read_at(done, std::span{mine}.first(want));
    if (a.error != 0) return {member.path, "cannot read: " + platform::error_text(a.error)};
    const platform::io_result b =
        archive.read_at(entry.offset + done, std::span{theirs}.first(want));
    if (b.error != 0) return {"", "cannot read: " + platform::error_text(b.error)};
    if (a.bytes != want || b.bytes != want || std::memcmp(mine.data(), theirs.data(), want) != 0) {
      return {};
    }
    done += want;
  }
  same = true;
  return {};
}

// Appends the records of `entries` to `out`.
void append_records(std::span<const archive_entry> entries, std::vector<std::byte>& out) {
  for (const archive_entry& entry : entries) {
    const auto record = encode_entry(entry);
    out.insert(out.end(), record.begin(), record.end());
  }
}

// The records from the first that differs from the old one at its place to
// one past the last, among those the old and the new table both have.
std::pair<std::size_t, std::size_t> changed_records(std::span<const archive_entry> old,
                                                    std::span<const archive_entry> now) {
  const std::size_t common = std::min(old.size(), now.size());
  std::size_t first = 0;
  while (first < common && now[first] == old[first]) ++first;
  std::size_t last = common;
  while (last > first && now[last - 1] == old[last - 1]) --last;
  return {first, last};
}

// Appends `length` zero bytes to `pending`, writing it out in batches.
platform::error_code append_zeros(std::uint64_t length, std::vector<std::byte>& pending,
                                  platform::replacement_file& out) {
  while (length > 0) {
    const std::uint64_t room = write_batch_size - std::min(pending.size(), write_batch_size);
    const std::uint64_t now = std::min(length, std::max<std::uint64_t>(room, 1));
    pending.resize(pending.size() + static_cast<std::size_t>(now));
    length -= now;
    if (pending.size() >= write_batch_size) {
      if (const platform::error_code why = out.write(pending)) return why;
      pending.clear();
    }
  }
  return 0;
}

// The name fields that change where the name table stays, each in one
// write of its 15 bytes, then made durable.
write_result write_renamed_fields(platform::input_file& archive, const edit_members& members,
                                  const edit_layout& layout) {
  bool wrote = false;
  std::vector<std::byte> field;
  for (const layout_write& write : layout.writes) {
    if (write.what != layout_write::source::name_field) continue;
    field.clear();
    append_name_field(members, write.member, field);
    if (const platform::error_code why = archive.write_at(write.at, field)) {
      return {"", "cannot write: " + platform::error_text(why)};
    }
    wrote = true;
  }
  if (wrote) {
    if (const platform::error_code why = archive.sync_data()) {
      return {"", "cannot write: " + platform::error_text(why)};
    }
  }
  return {};
}

}  // namespace

std::uint64_t end_of_data(const platform::input_file& file, std::uint64_t begin,
                          std::uint64_t end) {
  std::vector<std::byte> buffer(
      static_cast<std::size_t>(std::min<std::uint64_t>(compare_chunk, end - begin)));
  // From the end backwards: free space at the end is what is looked for.
  for (std::uint64_t to = end; to > begin;) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), to - begin));
    const platform::io_result read = file.read_at(to - want, std::span{buffer}.first(want));
    if (read.bytes != want) return end;
    for (std::size_t i = want; i-- > 0;) {
      if (buffer[i] != std::byte{0}) return to - want + i + 1;
    }
    to -= want;
  }
  return begin;
}

write_result keep_unchanged_entries(edit_members& members, const archive_directory& old,
                                    const platform::input_file& archive) {
  for (std::size_t i = 0; i < members.size(); ++i) {
    const archive_member* member = members.held(i);
    if (member == nullptr || member->kept() || !member->old_index) continue;
    const archive_entry& entry = old.entries[*member->old_index];
    if (member->size != entry.size) continue;
    bool same = false;
    if (write_result checked = holds_entry_bytes(*member, entry, archive, same); !checked.ok()) {
      return checked;
    }
    if (!same) continue;
    archive_member& kept = members.change(i);
    kept.path.clear();
    kept.source_offset = entry.offset;
  }
  return {};
}

write_result write_edit(const std::string& path, platform::input_file& archive,
                        const archive_directory& old, const edit_members& members,
                        const edit_layout& layout, const packing_progress& progress) {
  platform::error_code error = 0;
  platform::replacement_file out = platform::replacement_file::create(path, error);
  if (error != 0) return {path, "cannot create a file beside it: " + platform::error_text(error)};
  const auto cannot_write = [&](platform::error_code why) -> write_result {
    return {path, "cannot write: " + platform::error_text(why)};
  };
  std::vector<std::byte> pending;
  const auto flush = [&]() -> platform::error_code {
    const platform::error_code why = pending.empty() ? 0 : out.write(pending);
    pending.clear();
    return why;
  };
  const std::uint64_t old_size = archive.size();
  std::size_t done = 0;
  // A copy that starts at byte `at` of the new file, told in pieces.
  const auto told_from = [&](std::uint64_t at) -> copied_so_far {
    if (!progress) return {};
    return [&, at](std::uint64_t bytes) { progress(done, at + bytes); };
  };
  // The old file's bytes of [from, to), and zeros beyond its end, at byte
  // `at` of the new file.
  const auto copy_old = [&](std::uint64_t from, std::uint64_t to,
                            std::uint64_t at) -> write_result {
    if (from < std::min(to, old_size)) {
      if (const platform::error_code why = flush()) return cannot_write(why);
      const std::uint64_t length = std::min(to, old_size) - from;
      const platform::io_result copied = copy_in_pieces(
          length,
          [&](std::uint64_t offset, std::uint64_t piece) {
            return out.copy_from(archive, from + offset, piece);
          },
          told_from(at));
      if (copied.error != 0) return {path, "cannot copy: " + platform::error_text(copied.error)};
      if (copied.bytes != length) return {path, "changed while it was rewritten"};
      from += length;
    }
    if (from < to) {
      if (const platform::error_code why = append_zeros(to - from, pending, out)) {
        return cannot_write(why);
      }
    }
    return {};
  };

  // The head: the count, then the old records copied where they stay the
  // same and encoded where they change or are new. An edit of one entry of
  // 65535 then encodes one record, not 917 KB.
  const auto write_head = [&]() -> write_result {
    const std::size_t count = layout.entries.size();
    const auto [first, last] = changed_records(old.entries, layout.entries);
    const std::size_t common = std::min(count, old.entries.size());
    pending.resize(pending.size() + count_size);
    encode_u16(static_cast<std::uint16_t>(count), std::span{pending}.last<count_size>());
    if (write_result copied = copy_old(record_at(0), record_at(first), record_at(0));
        !copied.ok()) {
      return copied;
    }
    append_records(std::span{layout.entries}.subspan(first, last - first), pending);
    if (write_result copied = copy_old(record_at(last), record_at(common), record_at(last));
        !copied.ok()) {
      return copied;
    }
    append_records(std::span{layout.entries}.subspan(common), pending);
    return {};
  };
  std::uint64_t at = 0;
  for (const layout_write& write : layout.writes) {
    if (write_result copied = copy_old(at, write.at, at); !copied.ok()) return copied;
    switch (write.what) {
      case layout_write::source::head:
        if (write_result written = write_head(); !written.ok()) return written;
        break;
      case layout_write::source::names:
        append_names(members, pending);
        break;
      case layout_write::source::name_field:
        append_name_field(members, write.member, pending);
        break;
      case layout_write::source::zeros:
        if (const platform::error_code why = append_zeros(write.length, pending, out)) {
          return cannot_write(why);
        }
        break;
      case layout_write::source::old_bytes:
        if (write_result copied = copy_old(write.from, write.from + write.length, write.at);
            !copied.ok()) {
          return copied;
        }
        break;
      case layout_write::source::member:
        if (write_result appended =
                append_member_file(*members.held(write.member), out, pending, told_from(write.at));
            !appended.ok()) {
          if (appended.subject.empty()) appended.subject = path;
          return appended;
        }
        ++done;
        break;
    }
    if (pending.size() >= write_batch_size) {
      if (const platform::error_code why = flush()) return cannot_write(why);
    }
    // An empty member's write (it is read, to see it is still empty) may
    // lie inside another's new data.
    at = std::max(at, write.at + write.length);
    if (progress) progress(done, at);
  }
  if (write_result copied = copy_old(at, layout.length, at); !copied.ok()) return copied;
  if (const platform::error_code why = flush()) return cannot_write(why);
  return put_in_place(out, path, archive);
}

write_result write_edit_in_place(platform::input_file& archive, const archive_directory& old,
                                 const edit_members& members, const edit_layout& layout,
                                 const packing_progress& progress) {
  const auto cannot_write = [](platform::error_code why) -> write_result {
    return {"", "cannot write: " + platform::error_text(why)};
  };
  const std::size_t old_count = old.entries.size();
  const std::size_t count = layout.entries.size();
  const std::uint64_t old_head = record_at(old_count);

  // First what nothing points at yet: new data, records beyond the old
  // table, the name table where it moves.
  const auto fill_free_space = [&]() -> write_result {
    std::size_t done = 0;
    std::uint64_t bytes = 0;
    std::vector<std::byte> buffer;
    for (const layout_write& write : layout.writes) {
      switch (write.what) {
        case layout_write::source::head:
          if (count > old_count) {
            buffer.clear();
            append_records(std::span{layout.entries}.subspan(old_count), buffer);
            if (const platform::error_code why = archive.write_at(old_head, buffer)) {
              return cannot_write(why);
            }
          }
          break;
        case layout_write::source::names:
          buffer.clear();
          append_names(members, buffer);
          if (const platform::error_code why = archive.write_at(write.at, buffer)) {
            return cannot_write(why);
          }
          break;
        case layout_write::source::member: {
          const archive_member& member = *members.held(write.member);
          platform::error_code error = 0;
          const platform::input_file file = platform::input_file::open(member.path, error);
          if (error != 0) return {member.path, "cannot open: " + platform::error_text(error)};
          if (file.size() != member.size) {
            return {member.path, "changed size while the archive was written (it had " +
                                     std::to_string(member.size) + " bytes)"};
          }
          const platform::io_result copied = copy_in_pieces(
              member.size,
              [&](std::uint64_t from, std::uint64_t piece) {
                return archive.copy_to(write.at + from, file, from, piece);
              },
              progress ? copied_so_far{[&](std::uint64_t in) { progress(done, bytes + in); }}
                       : copied_so_far{});
          if (copied.error != 0) return cannot_write(copied.error);
          std::array<std::byte, 1> beyond{};
          if (copied.bytes != member.size || file.read_at(member.size, beyond).bytes != 0) {
            return {member.path, "changed size while the archive was written (it had " +
                                     std::to_string(member.size) + " bytes)"};
          }
          ++done;
          break;
        }
        case layout_write::source::name_field:
          break;  // live: written with the records
        case layout_write::source::old_bytes:
        case layout_write::source::zeros:
          return {"", "cannot move entries or clear bytes in place"};
      }
      bytes += write.length;
      if (progress) progress(done, bytes);
    }
    return {};
  };
  // Until the records change, nothing points at what was written past the
  // old end: a failure or an interruption cuts it off again.
  const std::uint64_t old_size = archive.size();
  platform::cut_back_on_signals(&archive, old_size);
  write_result filled = fill_free_space();
  if (filled.ok()) {
    if (const platform::error_code why = archive.sync_data()) filled = cannot_write(why);
  }
  platform::cut_back_on_signals(nullptr, 0);
  if (!filled.ok()) {
    (void)archive.truncate(old_size);
    return filled;
  }

  // Then the records and the count: the bytes that differ, in one write.
  // Only the records from the first that changed to the last are encoded,
  // new and old, and from the start when the count changes.
  auto [first, last] = changed_records(old.entries, layout.entries);
  const bool count_changes = count != old_count;
  if (count_changes) first = 0;
  std::vector<std::byte> now;
  std::vector<std::byte> was;
  if (count_changes) {
    now.resize(count_size);
    was.resize(count_size);
    encode_u16(static_cast<std::uint16_t>(count), std::span{now}.first<count_size>());
    encode_u16(static_cast<std::uint16_t>(old_count), std::span{was}.first<count_size>());
  }
  append_records(std::span{layout.entries}.subspan(first, last - first), now);
  append_records(std::span{old.entries}.subspan(first, last - first), was);
  const std::size_t now_at = count_changes ? 0 : record_at(first);
  std::size_t begin = 0;
  while (begin < now.size() && now[begin] == was[begin]) ++begin;
  std::size_t end = now.size();
  while (end > begin && now[end - 1] == was[end - 1]) --end;
  if (end > begin) {
    if (const platform::error_code why =
            archive.write_at(now_at + begin, std::span{now}.subspan(begin, end - begin))) {
      return cannot_write(why);
    }
    if (const platform::error_code why = archive.sync_data()) return cannot_write(why);
  }
  if (write_result renamed = write_renamed_fields(archive, members, layout); !renamed.ok()) {
    return renamed;
  }
  if (layout.length < archive.size()) {
    if (const platform::error_code why = archive.truncate(layout.length)) {
      return {"", "cannot cut off the free space at its end: " + platform::error_text(why)};
    }
  }
  return {};
}

}  // namespace qvx
