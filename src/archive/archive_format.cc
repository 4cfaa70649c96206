#include "archive/archive_format.h"

#include <algorithm>

namespace qvx {

std::uint16_t decode_u16(std::span<const std::byte, 2> bytes) {
  return static_cast<std::uint16_t>(std::to_integer<unsigned>(bytes[0]) |
                                    std::to_integer<unsigned>(bytes[1]) << 8U);
}

std::uint32_t decode_u32(std::span<const std::byte, 4> bytes) {
  return std::to_integer<std::uint32_t>(bytes[0]) | std::to_integer<std::uint32_t>(bytes[1]) << 8U |
         std::to_integer<std::uint32_t>(bytes[2]) << 16U |
         std::to_integer<std::uint32_t>(bytes[3]) << 24U;
}

archive_entry decode_entry(std::span<const std::byte, entry_record_size> record) {
  return archive_entry{
      .tag = decode_u16(record.subspan<0, 2>()),
      .offset = decode_u32(record.subspan<2, 4>()),
      .size = decode_u32(record.subspan<6, 4>()),
      .spare = decode_u32(record.subspan<10, 4>()),
  };
}

void encode_u16(std::uint16_t value, std::span<std::byte, 2> bytes) {
  bytes[0] = static_cast<std::byte>(value & 0xFFU);
  bytes[1] = static_cast<std::byte>(value >> 8U);
}

void encode_u32(std::uint32_t value, std::span<std::byte, 4> bytes) {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<std::byte>((value >> (8U * i)) & 0xFFU);
  }
}

std::array<std::byte, entry_record_size> encode_entry(const archive_entry& entry) {
  std::array<std::byte, entry_record_size> record{};
  const std::span<std::byte, entry_record_size> out{record};
  encode_u16(entry.tag, out.subspan<0, 2>());
  encode_u32(entry.offset, out.subspan<2, 4>());
  encode_u32(entry.size, out.subspan<6, 4>());
  encode_u32(entry.spare, out.subspan<10, 4>());
  return record;
}

name_field encode_name(std::string_view name) {
  name_field field{};
  std::copy_n(name.begin(), std::min(name.size(), field.size()), field.begin());
  return field;
}

std::string_view entry_name(const name_field& field) {
  const auto* end = std::find(field.begin(), field.end(), '\0');
  return {field.data(), static_cast<std::size_t>(end - field.begin())};
}

std::uint64_t name_table_position(const archive_entry& last) {
  return std::uint64_t{last.offset} + last.size;
}

}  // namespace qvx
