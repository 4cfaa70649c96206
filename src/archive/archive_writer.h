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
#include "archive/copy_progress.h"
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
  bool path_name = false;  // `name` is a path: '\\' separates names (see path_name_refusal)
  // The entry it is or replaces in the archive being edited; none for a
  // file added to it.
  std::optional<std::size_t> old_index;
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

// Every reason the members would not unpack whole with qvxreader on POSIX
// and on Windows alike, wherever they are laid out: a name either would
// refuse, a name over 15 bytes, a name an earlier member has (also when
// only ASCII case differs, which Windows ignores), more than 65535 members,
// a size that does not fit in 32 bits. More than 65535 members is the only
// problem then reported, since every other check would drown in it. Names
// are checked only for members without a name field: a name the archive
// already has stays as it is.
[[nodiscard]] std::vector<packing_problem> member_problems(std::span<const archive_member> members);

// Lays the members' data out one after another right after the entry table,
// each that holds bytes at a multiple of `alignment`, and finds every
// reason the result would not unpack whole: those of member_problems, and
// an offset that does not fit in 32 bits.
[[nodiscard]] archive_plan plan_archive(std::span<const archive_member> members,
                                        std::uint32_t alignment = 1);

// Told after each member's bytes are in the archive, and while a long
// member or run of kept entries is copied, after each piece of it.
using packing_progress = std::function<void(std::size_t members_done, std::uint64_t bytes_done)>;

// Told how many bytes of one copy are in so far.
using copied_so_far = std::function<void(std::uint64_t bytes)>;

// Copies `length` bytes through `copy(done, piece)`, which copies the
// `piece` bytes that follow the first `done` and says how many it did: in
// pieces of at most counted_piece bytes when `copied` is given, which is
// told the bytes in after each piece that more follow. Stops at the first
// piece that fails or comes up short.
[[nodiscard]] platform::io_result copy_in_pieces(
    std::uint64_t length,
    const std::function<platform::io_result(std::uint64_t done, std::uint64_t piece)>& copy,
    const copied_so_far& copied);

struct write_result {
  std::string subject;  // what the problem is about: a member's path or the archive's
  std::string problem;  // empty when the archive was written

  [[nodiscard]] bool ok() const { return problem.empty(); }
};

// Writes the archive of `members`, laid out as plan_archive lays them out,
// at `path`, through a temporary file beside it that takes its name only
// when complete: on failure nothing is left behind and a file already at
// `path` is as it was. Kept members are copied from `source`, the file at
// `path` being edited, which is closed when the new file takes its place,
// and only if it is still there unchanged; runs of kept members that lie
// one after another in it and in the new file are copied in one piece.
// Writes nothing when the plan has a problem; fails when a member's file
// cannot be read or no longer has the size it had, or when `source` ends
// before a kept member does. Prints nothing.
[[nodiscard]] write_result write_archive(const std::string& path,
                                         std::span<const archive_member> members,
                                         const packing_progress& progress,
                                         platform::input_file* source = nullptr,
                                         std::uint32_t alignment = 1);

// How many bytes the writers gather before they write them out.
inline constexpr std::size_t write_batch_size = std::size_t{1} << 20U;

// The bytes of the count and the entry table holding `entries`.
[[nodiscard]] std::vector<std::byte> encoded_head(std::span<const archive_entry> entries);

// Appends the name table of `members` to `out`.
void append_names(std::span<const archive_member> members, std::vector<std::byte>& out);

// Appends the bytes of `member`'s file, which must still have its size, to
// `out`: a small file is read onto the end of `buffer`, which the caller
// writes out; a large one is copied in the kernel after what `buffer` holds,
// in pieces that `copied` is told of (see copy_in_pieces). Says why not (with
// an empty subject when writing `out` failed).
[[nodiscard]] write_result append_member_file(const archive_member& member,
                                              platform::replacement_file& out,
                                              std::vector<std::byte>& buffer,
                                              const copied_so_far& copied = {});

// Puts `archive` in place of the file at `path`, which `source` is open on,
// unless that was replaced or changed while the archive was rewritten.
[[nodiscard]] write_result put_in_place(platform::replacement_file& archive,
                                        const std::string& path, platform::input_file& source);

}  // namespace qvx
