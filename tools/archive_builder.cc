#include "archive_builder.h"

#include <algorithm>
#include <stdexcept>

#include "archive/archive_format.h"

namespace qvx::builder {

namespace {

// `length` bytes of `bytes` from `position` on, as the library's encoders
// take them; throws when they run past the end, as a test's mistake.
template <std::size_t length>
std::span<std::byte, length> field_at(std::string& bytes, std::size_t position) {
  if (position > bytes.size() || bytes.size() - position < length) {
    throw std::out_of_range("archive field beyond the end of the bytes");
  }
  return std::as_writable_bytes(std::span{bytes}).subspan(position).first<length>();
}

}  // namespace

std::size_t head_size(std::size_t count) { return count_size + entry_record_size * count; }

std::size_t offset_field_position(std::size_t index) { return head_size(index) + 2; }
std::size_t size_field_position(std::size_t index) { return head_size(index) + 6; }

void put_u16(std::string& bytes, std::size_t position, std::uint16_t value) {
  encode_u16(value, field_at<2>(bytes, position));
}

void put_u32(std::string& bytes, std::size_t position, std::uint32_t value) {
  encode_u32(value, field_at<4>(bytes, position));
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
    const auto record = encode_entry({.tag = entries[i].tag,
                                      .offset = entries[i].offset,
                                      .size = entries[i].size,
                                      .spare = entries[i].spare});
    std::transform(record.begin(), record.end(),
                   head.begin() + static_cast<std::ptrdiff_t>(head_size(i)),
                   [](std::byte b) { return static_cast<char>(b); });
  }
  return head;
}

std::string encode_names(std::span<const entry_layout> entries) {
  std::string names;
  for (const entry_layout& entry : entries) {
    if (entry.name.size() > name_field_size) throw std::invalid_argument("name over 15 bytes");
    const name_field field = encode_name(entry.name);
    names.append(field.data(), field.size());
  }
  return names;
}

std::string build_archive(std::span<const entry_content> entries) {
  return build_archive(entries, std::vector<record_fields>(entries.size()));
}

std::string build_archive(std::span<const entry_content> entries,
                          std::span<const record_fields> fields) {
  if (fields.size() != entries.size()) throw std::invalid_argument("archive: fields missing");
  std::vector<std::string> names;
  std::vector<std::uint64_t> sizes;
  for (const entry_content& entry : entries) {
    names.push_back(entry.name);
    sizes.push_back(entry.data.size());
  }
  std::vector<entry_layout> layout = lay_out(names, sizes);
  for (std::size_t i = 0; i < layout.size(); ++i) {
    layout[i].tag = fields[i].tag;
    layout[i].spare = fields[i].spare;
  }
  std::string archive = encode_head(layout);
  for (const entry_content& entry : entries) archive += entry.data;
  return archive + encode_names(layout);
}

}  // namespace qvx::builder
