#include "archive/directory.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

namespace qvx {
namespace {

// Reads exactly buffer.size() bytes at `offset`, or says why it could not.
std::string read_exactly(const platform::input_file& archive, std::uint64_t offset,
                         std::span<std::byte> buffer, const char* what, bool& malformed) {
  const platform::io_result got = archive.read_at(offset, buffer);
  if (got.error != 0) {
    return std::string{"cannot read the "} + what + ": " + platform::error_text(got.error);
  }
  if (got.bytes < buffer.size()) {
    malformed = true;
    return std::string{"the file ends inside the "} + what + " (" + std::to_string(archive.size()) +
           " bytes, " + std::to_string(offset + buffer.size()) + " needed)";
  }
  return {};
}

}  // namespace

directory_result read_directory(const platform::input_file& archive) {
  directory_result result;

  std::array<std::byte, count_size> count_bytes{};
  result.problem = read_exactly(archive, 0, count_bytes, "entry count", result.malformed);
  if (!result.ok()) return result;
  const std::size_t count = decode_u16(count_bytes);
  if (count == 0) return result;

  std::vector<std::byte> table(count * entry_record_size);
  result.problem = read_exactly(archive, count_size, table, "entry table", result.malformed);
  if (!result.ok()) return result;

  auto& entries = result.directory.entries;
  entries.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    entries.push_back(
        decode_entry(std::span{table}.subspan(i * entry_record_size).first<entry_record_size>()));
  }

  result.records_whole = true;
  const std::uint64_t names_at = name_table_position(entries.back());
  if (names_at >= archive.size()) {
    result.malformed = true;
    result.problem = "the name table's position " + std::to_string(names_at) +
                     " lies at or beyond the end of the file (" + std::to_string(archive.size()) +
                     " bytes)";
    return result;
  }
  // The fields lie end to end, as in the file: read straight into them.
  static_assert(sizeof(name_field) == name_field_size);
  auto& fields = result.directory.names;
  fields.resize(count);
  result.problem = read_exactly(archive, names_at, std::as_writable_bytes(std::span{fields}),
                                "name table", result.malformed);
  if (!result.ok()) result.directory.names.clear();
  return result;
}

salvaged_directory salvage_directory(const platform::input_file& archive) {
  salvaged_directory result;
  const std::uint64_t size = archive.size();
  std::array<std::byte, count_size> count_bytes{};
  bool malformed = false;
  result.problem = read_exactly(archive, 0, count_bytes, "entry count", malformed);
  if (!result.problem.empty()) return result;
  result.count = decode_u16(count_bytes);

  const std::size_t records = static_cast<std::size_t>(
      std::min<std::uint64_t>(result.count, (size - count_size) / entry_record_size));
  std::vector<std::byte> table(records * entry_record_size);
  result.problem = read_exactly(archive, count_size, table, "entry table", malformed);
  if (!result.problem.empty()) return result;
  auto& entries = result.directory.entries;
  entries.reserve(records);
  for (std::size_t i = 0; i < records; ++i) {
    entries.push_back(
        decode_entry(std::span{table}.subspan(i * entry_record_size).first<entry_record_size>()));
  }

  // The fields the file holds, the last one perhaps in part.
  std::vector<std::byte> names;
  if (records == result.count && records > 0) {
    const std::uint64_t names_at = name_table_position(entries.back());
    if (names_at < size) {
      names.resize(static_cast<std::size_t>(
          std::min<std::uint64_t>(size - names_at, records * name_field_size)));
      result.problem = read_exactly(archive, names_at, names, "name table", malformed);
      if (!result.problem.empty()) return result;
    }
  }
  auto& fields = result.directory.names;
  fields.assign(records, name_field{});
  result.unnamed.assign(records, false);
  for (std::size_t i = 0; i < records; ++i) {
    const std::size_t begin = i * name_field_size;
    const std::size_t present =
        names.size() > begin ? std::min(names.size() - begin, name_field_size) : 0;
    if (present > 0) std::memcpy(fields[i].data(), names.data() + begin, present);
    const bool ended = std::find(fields[i].begin(), fields[i].begin() + present, '\0') !=
                       fields[i].begin() + present;
    if (present == name_field_size || (present > 0 && ended)) continue;
    result.unnamed[i] = true;
    char made_up[32];  // "entry-00001" to "entry-65535"
    std::snprintf(made_up, sizeof made_up, "entry-%05zu", i + 1);
    fields[i] = encode_name(made_up);
  }
  return result;
}

}  // namespace qvx
