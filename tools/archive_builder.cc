#include "archive_builder.h"

#include <stdexcept>

namespace qvx::builder {

namespace {
constexpr std::size_t record_size = 14;
constexpr std::size_t field_size = 15;
}  // namespace

std::size_t head_size(std::size_t count) { return 2 + record_size * count; }

std::size_t offset_field_position(std::size_t index) { return 2 + record_size * index + 2; }
std::size_t size_field_position(std::size_t index) { return 2 + record_size * index + 6; }

void put_u16(std::string& bytes, std::size_t position, std::uint16_t value) {
  bytes.at(position) = static_cast<char>(value & 0xFFU);
  bytes.at(position + 1) = static_cast<char>(value >> 8U);
}

void put_u32(std::string& bytes, std::size_t position, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) {
    bytes.at(position + i) = static_cast<char>((value >> (8 * i)) & 0xFFU);
  }
}

std::vector<entry_layout> lay_out(std::span<const std::string> names,
                                  std::span<const std::uint64_t> sizes) {
  if (names.size() != sizes.size() || names.size() > 0xFFFF) {
    throw std::invalid_argument("archive: names and sizes differ, or more than 65535 entries");
  }
  std::vector<entry_layout> entries;
  std::uint64_t position = head_size(names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (position + sizes[i] > 0xFFFFFFFFU) throw std::invalid_argument("archive: over 4 GiB");
    entries.push_back(
        {names[i], static_cast<std::uint32_t>(position), static_cast<std::uint32_t>(sizes[i])});
    position += sizes[i];
  }
  return entries;
}

std::string encode_head(std::span<const entry_layout> entries) {
  std::string head(head_size(entries.size()), '\0');
  put_u16(head, 0, static_cast<std::uint16_t>(entries.size()));
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::size_t at = 2 + record_size * i;
    put_u16(head, at, entries[i].tag);
    put_u32(head, at + 2, entries[i].offset);
    put_u32(head, at + 6, entries[i].size);
    put_u32(head, at + 10, entries[i].spare);
  }
  return head;
}

std::string encode_names(std::span<const entry_layout> entries) {
  std::string names;
  for (const entry_layout& entry : entries) {
    if (entry.name.size() > field_size) throw std::invalid_argument("name over 15 bytes");
    std::string field = entry.name;
    field.resize(field_size, '\0');
    names += field;
  }
  return names;
}

std::string build_archive(std::span<const entry_content> entries) {
  std::vector<std::string> names;
  std::vector<std::uint64_t> sizes;
  for (const entry_content& entry : entries) {
    names.push_back(entry.name);
    sizes.push_back(entry.data.size());
  }
  const std::vector<entry_layout> layout = lay_out(names, sizes);
  std::string archive = encode_head(layout);
  for (const entry_content& entry : entries) archive += entry.data;
  return archive + encode_names(layout);
}

}  // namespace qvx::builder
