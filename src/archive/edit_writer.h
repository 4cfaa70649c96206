// Making an edit that edit_layout.h laid out: as a new file that takes the
// archive's place in one swap, or in the archive's own file.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "archive/archive_writer.h"
#include "archive/directory.h"
#include "archive/edit_layout.h"
#include "platform/platform.h"

namespace qvx {

// Each replacing member whose file holds exactly the bytes of the entry it
// replaces becomes a kept member again, so that putting back what an entry
// already holds changes no byte. Fails when a file or the archive cannot be
// read.
[[nodiscard]] write_result keep_unchanged_entries(edit_members& members,
                                                  const archive_directory& old,
                                                  const platform::input_file& archive);

// Where the last byte of [begin, end) of `file` that is not zero ends, or
// `end` when they cannot be read; `begin` when they are all zeros.
[[nodiscard]] std::uint64_t end_of_data(const platform::input_file& file, std::uint64_t begin,
                                        std::uint64_t end);

// Writes the edited archive as a new file beside `path`, the file `archive`
// is open on, whose directory is `old`: the old file's bytes where the layout changes nothing, and
// its writes. The new file takes the old one's place only if that is still the file `archive` is
// open on, unchanged; on failure nothing is left behind.
[[nodiscard]] write_result write_edit(const std::string& path, platform::input_file& archive,
                                      const archive_directory& old, const edit_members& members,
                                      const edit_layout& layout, const packing_progress& progress);

// Makes the edit in the archive's own file, open for update and locked,
// laid out in place. The new data and a moved name table go into free
// space and are made durable; then the bytes of the count and records that
// differ are written in one call and made durable; then each name field
// that changes where the name table stays, made durable; then free space at
// the end is cut off. A process killed at any moment leaves the old archive or
// the new one.
[[nodiscard]] write_result write_edit_in_place(platform::input_file& archive,
                                               const archive_directory& old,
                                               const edit_members& members,
                                               const edit_layout& layout,
                                               const packing_progress& progress);

}  // namespace qvx
