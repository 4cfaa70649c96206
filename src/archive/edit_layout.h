// Where an edit puts things. An edit changes only what it was asked to:
// every entry it keeps stays at its offset, and every byte that belongs to
// no changed entry (padding, gaps, bytes of unknown meaning, bytes after
// the name table) stays where it is. The exceptions:
//   - an entry whose bytes lie where a grown entry table must go moves to
//     the end of the file;
//   - the name table moves when the count changes or the last record's end
//     moves, since it must follow the last record's data; when it cannot
//     follow that entry where it is, the entry moves to the end too.
// A replaced entry stays in its slot (its old bytes and the free bytes that
// follow them, up to the next byte anything else uses) when its new data
// fit, and goes to the end of the file, at the archive's alignment, when
// they do not. Of the old bytes of what moved or went, what nothing reuses
// becomes zero bytes, and free space at the very end of the file is cut off.
//
// In place (no copy of the file), nothing that is live before the edit may
// be overwritten: new data go into gaps or at the end, and the records that
// make them current are written last. Nothing here touches a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "archive/archive_writer.h"
#include "archive/directory.h"
#include "archive/edit_members.h"

namespace qvx {

inline constexpr std::uint32_t max_alignment = std::uint32_t{1} << 16U;

// The largest power of two, up to max_alignment, that divides the offset of
// every entry of `directory` that holds bytes; 1 when there is none.
[[nodiscard]] std::uint32_t archive_alignment(const archive_directory& directory);

enum class layout_mode {
  copy,      // the new archive is a new file: the old one's bytes may be reused
  in_place,  // the archive's own file: what is live stays until the records change
};

// What happens to one member of the edit.
enum class member_fate {
  kept,                // stays where it is, unchanged
  replaced_in_place,   // its new data in its own slot
  replaced_and_moved,  // its new data elsewhere
  added,
  moved_for_table,  // unchanged, but its bytes lay where the grown entry table goes
  moved_for_names,  // unchanged, but the name table must follow it and had no room there
};

// One run of bytes of the new file that differs from the old file.
struct layout_write {
  enum class source {
    head,       // the count and the entry table
    names,      // the name table
    member,     // a member's new data (its file)
    old_bytes,  // bytes of the old file, from `from` on (a moved entry)
    zeros,      // freed bytes, cleared
    // One member's name field, anew where the name table stays: a renamed
    // entry. In place it is written with the records.
    name_field,
  };
  source what = source::zeros;
  std::uint64_t at = 0;  // where it goes in the new file
  std::uint64_t length = 0;
  std::uint64_t from = 0;  // old_bytes: where they are in the old file
  std::size_t member = 0;  // member, name_field: which one
};

struct edit_layout {
  std::vector<archive_entry> entries;  // the new records, one per member
  std::vector<member_fate> fates;      // one per member
  std::uint64_t names_at = 0;          // where the name table is (none without entries)
  bool names_moved = false;            // whether it is written anew
  std::uint64_t length = 0;            // the new file's length
  // In position order and disjoint. Every byte of the new file below the
  // old file's length that no write covers is the old byte at that place;
  // every byte beyond it, zero. In place there are no zeros and no
  // old_bytes, and the head write holds all of the new head.
  std::vector<layout_write> writes;
  std::string problem;  // why the edit cannot be laid out this way; empty when it can

  [[nodiscard]] bool ok() const { return problem.empty(); }
};

// Where the last byte of [begin, end) of the old file that is not zero
// ends; `begin` when they are all zeros.
using data_end = std::function<std::uint64_t(std::uint64_t begin, std::uint64_t end)>;

// Lays out `members` (kept entries carry their index in `old` and their
// old offset as source_offset; replaced ones their index and the path of
// their new data; added ones no index) over the archive `old` of
// `old_size` bytes, whose non-empty entries all lie inside it. Bytes that
// belong to nothing and end up at the end of the file are cut off with it
// as far as `data` finds them all zeros (free space, as an edit leaves
// it); other bytes of unknown meaning stay.
[[nodiscard]] edit_layout lay_out_edit(const archive_directory& old, std::uint64_t old_size,
                                       const edit_members& members, std::uint32_t alignment,
                                       layout_mode mode, const data_end& data);

}  // namespace qvx
