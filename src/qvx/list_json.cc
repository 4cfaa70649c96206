#include "qvx/list_json.h"

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

namespace qvx::cli {

std::string name_hex(std::string_view bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string text;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    text += digits[byte >> 4U];
    text += digits[byte & 0xFU];
  }
  return text;
}

nlohmann::ordered_json entry_json(const opened_archive& archive, std::size_t i) {
  const archive_directory& directory = archive.directory;
  return {
      {"number", i + 1},
      {"name", archive.name(i)},
      {"name_hex", name_hex(entry_name(directory.names[i]))},
      {"offset", directory.entries[i].offset},
      {"size", directory.entries[i].size},
      {"tag", directory.entries[i].tag},
      {"spare", directory.entries[i].spare},
  };
}

void print_json(const opened_archive& archive, const std::vector<bool>& shown) {
  std::fputs("[", stdout);
  bool first = true;
  for (std::size_t i = 0; i < archive.directory.entries.size(); ++i) {
    if (!shown[i]) continue;
    const std::string line =
        entry_json(archive, i)
            .dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    std::fputs(first ? "\n" : ",\n", stdout);
    first = false;
    std::fputs(line.c_str(), stdout);
  }
  std::fputs("\n]\n", stdout);
}

}  // namespace qvx::cli
