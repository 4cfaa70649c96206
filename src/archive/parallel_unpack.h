// The unpacker's many-threaded path: used by unpack_entries when more than
// one job is asked for.
#pragma once

#include <cstddef>
#include <span>

#include "archive/unpacker.h"

namespace qvx {

// Writes the entries at `order` (indices into `directory`, in table order)
// with `options.jobs` threads. Files, reports and the result are those of
// writing the entries one after another: entries whose names no other entry
// shares are written whole by any thread; the others are copied by any
// thread but named in table order, so the later entry of a name still wins.
// `reporter` is called in table order, one call at a time, from whichever of
// the threads (the calling one among them) is reporting. At most a fixed
// number of entries are in flight, within the open-file limit.
[[nodiscard]] unpack_status unpack_in_parallel(const platform::input_file& archive,
                                               const archive_directory& directory,
                                               std::span<const std::size_t> order,
                                               const unpack_options& options,
                                               const entry_reporter& reporter);

}  // namespace qvx
