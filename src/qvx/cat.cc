#include <cstdio>
#include <vector>

#include "archive/diagnostic.h"
#include "archive/entry_name.h"
#include "platform/platform.h"
#include "qvx/commands.h"
#include "qvx/entry_selection.h"
#include "qvx/opened_archive.h"

namespace qvx::cli {
namespace {

constexpr std::size_t chunk_size = std::size_t{1} << 20U;

enum class copied { whole, short_in_archive, output_failed };

// Writes `entry`'s bytes to standard output, as many as the archive holds.
copied copy_to_stdout(const platform::input_file& file, const archive_entry& entry,
                      std::vector<std::byte>& buffer, std::uint64_t& written) {
  written = 0;
  while (written < entry.size) {
    const auto want =
        static_cast<std::size_t>(std::min<std::uint64_t>(chunk_size, entry.size - written));
    const platform::io_result read =
        file.read_at(std::uint64_t{entry.offset} + written, std::span{buffer}.first(want));
    if (read.bytes > 0 &&
        std::fwrite(buffer.data(), 1, static_cast<std::size_t>(read.bytes), stdout) != read.bytes) {
      return copied::output_failed;
    }
    written += read.bytes;
    if (read.bytes < want) return copied::short_in_archive;
  }
  return copied::whole;
}

}  // namespace

exit_status run_cat(const cat_request& request) {
  exit_status status = exit_status::success;
  name_charset charset;
  if (!open_charset(request.charset, charset)) return exit_status::fatal;
  const std::optional<opened_archive> archive = open_archive(request.archive, "", charset);
  if (!archive) return exit_status::fatal;
  const archive_directory& directory = archive->directory;
  const std::optional<std::vector<bool>> picked = pick_entries(*archive, request.choice, {});
  if (!picked) return exit_status::fatal;
  // The bytes are the entry's whatever its name: reported, but written.
  if (archive->report_unconverted(*picked, "its bytes are written all the same") > 0) {
    status = exit_status::problems;
  }
  // The bytes go out as they are: no line ends are translated on Windows.
  platform::binary_standard_output();
  buffer_standard_output();
  std::vector<std::byte> buffer(chunk_size);
  for (std::size_t i = 0; i < directory.entries.size(); ++i) {
    if (!(*picked)[i]) continue;
    const archive_entry& entry = directory.entries[i];
    std::uint64_t written = 0;
    switch (copy_to_stdout(archive->file, entry, buffer, written)) {
      case copied::whole:
        break;
      case copied::short_in_archive:
        report(archive->described(i), "cut short: " + std::to_string(entry.size - written) +
                                          " of its " + std::to_string(entry.size) +
                                          " bytes are not in the archive");
        status = exit_status::problems;
        break;
      case copied::output_failed:
        // A reader that went away (| head): one line, and nothing more to do.
        return finish_standard_output(exit_status::problems);
    }
  }
  return finish_standard_output(status);
}

}  // namespace qvx::cli
