// Writing an archive from files and from the entries of another archive:
// checked first, then written all or nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "archive/archive_format.h"
#include "platform/platform.h"

namespace qvx {

inline constexpr std::size_t max_entries = 0xFFFF;

// One entry of the archive to write: a file to pack, or an entry kept from
// the archive being edited, with its bytes, record fields and name field.
struct archive_member {
  std::string name;                 // the entry's name
  std::string path;                 // the file its bytes are read from; empty for a kept entry
  std::uint64_t size = 0;           // the file's size when it was looked at; it must not change
  std::uint64_t source_offset = 0;  // a kept entry's bytes: where they start in the source
  std::uint16_t tag = 0;
  std::uint32_t spare = 0;
  std::optional<name_field> field;  // the archive's own, written as it is instead of `name`
  // The name as the user knows it when `name` is in another code page: what
  // the name rules, case and messages go by. Empty when that is `name`.
  std::string text;

  [[nodiscard]] bool kept() const { return path.empty(); }
  [[nodiscard]] const std::string& name_text() const { return text.empty() ? name : text; }
};

// The member that packs the file at `path`, of `size` bytes, as `name`.
inline archive_member file_member(std::string name, std::string path, std::uint64_t size) {
  archive_member member;
  member.name = std::move(name);
  member.path = std::move(path);
  member.size = size;
  return member;
}

// Why the members cannot make an archive: about members[member], or about
// the set as a whole when `member` is whole_archive.
inline constexpr std::size_t whole_archive = static_cast<std::size_t>(-1);
struct packing_problem {
  std::size_t member = whole_archive;
  std::string reason;
};

struct archive_plan {
  std::vector<archive_entry> entries;  // one record per member, in member order
  std::vector<packing_problem> problems;

  [[nodiscard]] bool ok() const { return problems.empty(); }
};

// Lays the members' data out one after another right after the entry table,
// and finds every reason the result would not unpack whole with qvxreader on
// POSIX and on Windows alike: a name either would refuse, a name over 15
// bytes, a name an earlier member has (also when only ASCII case differs,
// which Windows ignores), more than 65535 members, a size or an offset that
// does not fit in 32 bits. More than 65535 members is the only problem then
// reported, since every other check would drown in it. Names are checked
// only for members without a name field: a name the archive already has
// stays as it is.
[[nodiscard]] archive_plan plan_archive(std::span<const archive_member> members);

// Told after each member's bytes are in the archive.
using packing_progress = std::function<void(std::size_t members_done, std::uint64_t bytes_done)>;

struct write_result {
  std::string subject;  // what the problem is about: a member's path or the archive's
  std::string problem;  // empty when the archive was written

  [[nodiscard]] bool ok() const { return problem.empty(); }
};

// Writes the archive of `members` at `path`, through a temporary file beside
// it that takes its name only when complete: on failure nothing is left
// behind and a file already at `path` is as it was. Kept members are copied
// from `source`, the file at `path` being edited, which is closed before the
// new file takes its place, and only if it is still there unchanged; runs of
// kept members that lie one after another in it are copied in one piece.
// Writes nothing when the plan has a problem; fails when a member's file
// cannot be read or no longer has the size it had, or when `source` ends
// before a kept member does. Prints nothing.
[[nodiscard]] write_result write_archive(const std::string& path,
                                         std::span<const archive_member> members,
                                         const packing_progress& progress,
                                         platform::input_file* source = nullptr);

}  // namespace qvx
