#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>

#include "archive/entry_name.h"
#include "platform/platform.h"
#include "qvx/entry_selection.h"
#include "qvx/list_json.h"
#include "qvx/opened_archive.h"

namespace qvx::cli {
namespace {

constexpr std::size_t name_column = 15;

// How many columns a terminal gives `text`, UTF-8: one per character, two
// for the wide characters of East Asian scripts.
std::size_t columns_of(std::string_view text) {
  std::size_t columns = 0;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    length = std::min(length, text.size() - i);
    char32_t c = length == 1 ? lead : lead & (0x7FU >> length);
    for (std::size_t k = 1; k < length; ++k) {
      c = (c << 6U) | (static_cast<unsigned char>(text[i + k]) & 0x3FU);
    }
    const bool wide = (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) ||
                      (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
                      (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
                      (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x20000 && c <= 0x3FFFD);
    columns += wide ? 2 : 1;
    i += length;
  }
  return columns;
}

// The name, padded to the name column. Names converted to UTF-8 are padded
// by the columns they take; others, as the bytes they are.
std::string name_cell(const opened_archive& archive, std::size_t i) {
  std::string cell = archive.shown(i);
  const bool text =
      !archive.charset.empty() && !archive.unconverted[i] && !platform::uses_windows_names();
  const std::size_t width = text ? columns_of(cell) : cell.size();
  if (width < name_column) cell.append(name_column - width, ' ');
  return cell;
}

// "512 B", "1.5 KiB", "20.0 MiB", "3.25 GiB"
std::string readable_size(std::uint64_t bytes) {
  char text[32];
  if (bytes < 1024) {
    std::snprintf(text, sizeof text, "%u B", static_cast<unsigned>(bytes));
  } else if (bytes < (std::uint64_t{1} << 20U)) {
    std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(bytes) / 1024.0);
  } else if (bytes < (std::uint64_t{1} << 30U)) {
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / 1048576.0);
  } else {
    std::snprintf(text, sizeof text, "%.2f GiB", static_cast<double>(bytes) / 1073741824.0);
  }
  return text;
}

// A number of the table, in its column's width: decimal, or hexadecimal
// with all its digits.
std::string number_cell(std::uint64_t value, int width, bool hex) {
  char text[32];
  if (hex) {
    std::snprintf(text, sizeof text, "0x%0*llX", width - 2, static_cast<unsigned long long>(value));
  } else {
    std::snprintf(text, sizeof text, "%*llu", width, static_cast<unsigned long long>(value));
  }
  return text;
}

void print_table(const opened_archive& archive, const std::vector<bool>& shown,
                 const list_request& request) {
  const archive_directory& directory = archive.directory;
  const int tag_width = request.hex ? 6 : 5;  // 0xFFFF
  std::printf("%5s  %-15s  %10s  %10s  %*s  %10s\n", "#", "name", "offset", "size", tag_width,
              "tag", "spare");
  std::size_t count = 0;
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < directory.entries.size(); ++i) {
    if (!shown[i]) continue;
    const archive_entry& entry = directory.entries[i];
    const std::string size =
        request.readable ? readable_size(entry.size) : number_cell(entry.size, 10, request.hex);
    std::printf("%5zu  %s  %s  %10s  %s  %s\n", i + 1, name_cell(archive, i).c_str(),
                number_cell(entry.offset, 10, request.hex).c_str(), size.c_str(),
                number_cell(entry.tag, tag_width, request.hex).c_str(),
                number_cell(entry.spare, 10, request.hex).c_str());
    ++count;
    total += entry.size;
  }
  std::printf("%zu %s, %s\n", count, count == 1 ? "entry" : "entries",
              request.readable
                  ? readable_size(total).c_str()
                  : (std::to_string(total) + (total == 1 ? " byte" : " bytes")).c_str());
}

// One name a line, as the listing shows it: for shell completion and scripts.
void print_names(const opened_archive& archive, const std::vector<bool>& shown) {
  for (std::size_t i = 0; i < archive.count(); ++i) {
    if (shown[i]) std::printf("%s\n", archive.shown(i).c_str());
  }
}

}  // namespace

exit_status run_list(const list_request& request) {
  name_charset charset;
  if (!open_charset(request.charset, charset)) return exit_status::fatal;
  const std::optional<opened_archive> archive =
      open_archive(request.archive, "", charset, request.salvage);
  if (!archive) return exit_status::fatal;
  // Entries keep their numbers in the table when others are excluded.
  const std::optional<std::vector<bool>> shown =
      pick_entries(*archive, request.choice, request.excludes);
  if (!shown) return exit_status::fatal;
  // Such an entry is still listed, with its name's bytes as they are.
  const bool unconverted = archive->report_unconverted(*shown, "it is listed as it is") > 0;
  buffer_standard_output();
  if (request.json) {
    print_json(*archive, *shown);
  } else if (request.names) {
    print_names(*archive, *shown);
  } else {
    print_table(*archive, *shown, request);
  }
  const bool whole = archive->report_salvage(true);
  return finish_standard_output(unconverted || !whole ? exit_status::problems
                                                      : exit_status::success);
}

}  // namespace qvx::cli
