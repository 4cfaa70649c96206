// What an edited archive holds: the entries kept from the old one, in their
// order and with their fields, and the files that replace or join them.
// Nothing here touches a file; edit_layout.h says where everything goes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "archive/archive_writer.h"
#include "archive/directory.h"
#include "archive/edit_members.h"

namespace qvx {

// Why the edit cannot be made: about a file or a name (`subject`), or about
// the archive itself.
struct edit_problem {
  std::string subject;
  std::string reason;
  bool about_archive = false;
};

struct edit_plan {
  edit_members members;                // the new archive's entries, in table order
  std::vector<std::size_t> deleted;    // the old entries that go, by index
  std::vector<edit_problem> problems;  // empty when the edit can be made

  [[nodiscard]] bool ok() const { return problems.empty(); }
};

// Each of `files` replaces the last entry of its name, keeping that entry's
// place, `tag`, `spare` and name field; a file whose name no entry has is
// added at the end with `tag` and `spare` 0. Every other entry is kept. A
// file whose name differs from an entry's only in ASCII case is refused, as
// on Windows the two are one file. `archive_size` is the old archive's
// length: an entry that does not lie whole inside it cannot be kept. With
// `no_add`, a file whose name no entry has is a problem instead. `texts`,
// when the names are in another code page, are the entries' names
// converted (see archive_member::text), empty for a name that did not
// convert; files are then matched to entries by those texts, and only
// names that converted are compared in case. The plan refers to
// `directory` and `texts`, which must outlive it; so do the other plans.
[[nodiscard]] edit_plan plan_update(const archive_directory& directory, std::uint64_t archive_size,
                                    std::span<const archive_member> files,
                                    std::span<const std::string> texts = {}, bool no_add = false);

// Every entry kept, as it is, for writing in another layout.
[[nodiscard]] edit_plan plan_repack(const archive_directory& directory, std::uint64_t archive_size);

// Every entry called by one of `names` is removed, and every other entry is
// kept. A name that no entry has is a problem.
[[nodiscard]] edit_plan plan_delete(const archive_directory& directory, std::uint64_t archive_size,
                                    std::span<const std::string> names);

// The entries of `indices` (from 0, each in range) are removed, and every
// other entry is kept.
[[nodiscard]] edit_plan plan_delete_entries(const archive_directory& directory,
                                            std::uint64_t archive_size,
                                            std::span<const std::size_t> indices);

// `file` replaces entry `index` (in range), which keeps its place, name
// field, `tag` and `spare`, whatever the file is called; every other entry
// is kept.
[[nodiscard]] edit_plan plan_replace_entry(const archive_directory& directory,
                                           std::uint64_t archive_size, std::size_t index,
                                           const archive_member& file);

// Every entry kept, entry `index` (in range) with the name field of `name`
// (its bytes; `text` as in plan_update when they are in a code page). The
// name must pass the rules a new entry's name passes, fit the field, and be
// no other entry's, also when ASCII case is ignored; `texts` as in
// plan_update.
[[nodiscard]] edit_plan plan_rename(const archive_directory& directory, std::uint64_t archive_size,
                                    std::size_t index, const std::string& name,
                                    const std::string& text,
                                    std::span<const std::string> texts = {});

// Every entry kept, those of `indices` (in range) with `tag` and `spare`
// where they are given.
[[nodiscard]] edit_plan plan_set_fields(const archive_directory& directory,
                                        std::uint64_t archive_size,
                                        std::span<const std::size_t> indices,
                                        std::optional<std::uint16_t> tag,
                                        std::optional<std::uint32_t> spare);

// Every reason of member_problems for the members the edit brings in or
// changes, and more than 65535 members.
[[nodiscard]] std::vector<packing_problem> member_problems(const edit_members& members);

// How many bytes of an archive of `archive_size` bytes belong to none of its
// parts: the count, the entry table, an entry's data or the name table.
[[nodiscard]] std::uint64_t unowned_bytes(const archive_directory& directory,
                                          std::uint64_t archive_size);

}  // namespace qvx
