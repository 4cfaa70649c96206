// Archives built in memory for the tests and fuzz seeds, malformed ones too:
// the records are plain values to corrupt at will. Archives from files are
// written by the library (archive/archive_writer.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace qvx::builder {

// One entry as it will be recorded. `name` is the name field's content: up to
// 15 bytes, padded with NULs (a 15-byte name has no NUL).
struct entry_layout {
  std::string name;
  std::uint32_t offset = 0;
  std::uint32_t size = 0;
  std::uint16_t tag = 0;
  std::uint32_t spare = 0;
};

struct entry_content {
  std::string name;
  std::string data;
};

// Bytes taken by the count and the entry table of `count` entries.
std::size_t head_size(std::size_t count);

// Lays entries out one after another right after the entry table, in table
// order, so that the name table follows the last entry's data.
std::vector<entry_layout> lay_out(std::span<const std::string> names,
                                  std::span<const std::uint64_t> sizes);

std::string encode_head(std::span<const entry_layout> entries);
std::string encode_names(std::span<const entry_layout> entries);

// A well-formed archive holding `entries` in table order.
std::string build_archive(std::span<const entry_content> entries);

// The two record fields that mean nothing to unpacking.
struct record_fields {
  std::uint16_t tag = 0;
  std::uint32_t spare = 0;
};

// The same, with the records' tag and spare taken from `fields`, one for
// each entry.
std::string build_archive(std::span<const entry_content> entries,
                          std::span<const record_fields> fields);

// Where field bytes of record `index` start, for tests that corrupt records.
std::size_t offset_field_position(std::size_t index);
std::size_t size_field_position(std::size_t index);

void put_u16(std::string& bytes, std::size_t position, std::uint16_t value);
void put_u32(std::string& bytes, std::size_t position, std::uint32_t value);

}  // namespace qvx::builder
