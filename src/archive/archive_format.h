// The on-disk layout of an archive and its decoding into plain records.
//
// An archive is, in order of position (all integers little-endian, unsigned,
// with no padding between fields):
//   count       2 bytes            number of entries N
//   entry table 14 bytes x N       records of entry 0 .. N-1
//   data        anywhere           entry i is `size` bytes from `offset`
//   name table  15 bytes x N       found at offset + size of record N-1
//
// Nothing here touches a file; these functions decode bytes already read and
// encode bytes to be written.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace qvx {

inline constexpr std::size_t count_size = 2;
inline constexpr std::size_t entry_record_size = 14;
inline constexpr std::size_t name_field_size = 15;

// Where record `i` begins in the file; record_at(count) is where the table ends.
constexpr std::uint64_t record_at(std::size_t i) {
  return count_size + entry_record_size * std::uint64_t{i};
}

// One record of the entry table. `tag` and `spare` are carried along but
// mean nothing to the unpacker.
struct archive_entry {
  std::uint16_t tag = 0;
  std::uint32_t offset = 0;
  std::uint32_t size = 0;
  std::uint32_t spare = 0;

  friend bool operator==(const archive_entry&, const archive_entry&) = default;
};

// One 15-byte field of the name table, kept exactly as read.
using name_field = std::array<char, name_field_size>;

std::uint16_t decode_u16(std::span<const std::byte, 2> bytes);
std::uint32_t decode_u32(std::span<const std::byte, 4> bytes);

archive_entry decode_entry(std::span<const std::byte, entry_record_size> record);

// The entry's name: the bytes before the field's first NUL, or all 15 bytes
// when the field holds none. The view points into `field`.
std::string_view entry_name(const name_field& field);

// The inverse of the decoding, for writing archives.
void encode_u16(std::uint16_t value, std::span<std::byte, 2> bytes);
void encode_u32(std::uint32_t value, std::span<std::byte, 4> bytes);

std::array<std::byte, entry_record_size> encode_entry(const archive_entry& entry);

// The field holding `name`, padded with NULs; a name of 15 bytes fills it.
// Only the first 15 bytes of a longer name fit.
name_field encode_name(std::string_view name);

// Where the name table starts: offset + size of the last record in table
// order (not the record whose data ends last). 64-bit, so it cannot wrap.
std::uint64_t name_table_position(const archive_entry& last);

}  // namespace qvx
