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

std::string_view entry_name(const name_field& field) {
  const auto* end = std::find(field.begin(), field.end(), '\0');
  return {field.data(), static_cast<std::size_t>(end - field.begin())};
}

std::uint64_t name_table_position(const archive_entry& last) {
  return std::uint64_t{last.offset} + last.size;
}

}  // namespace qvx
