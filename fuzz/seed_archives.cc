#include "seed_archives.h"

#include "archive_builder.h"

namespace qvx::seeds {

std::vector<std::string> seed_archives() {
  using builder::entry_content;
  namespace b = builder;
  std::vector<std::string> seeds;

  const std::vector<entry_content> plain = {{"a.txt", "alpha"},
                                            {"b.bin", std::string("\0\1\2", 3)},
                                            {"empty", ""},
                                            {"fifteen-bytes-x", "full name field"}};
  const std::string valid = b::build_archive(plain);
  seeds.push_back(valid);
  seeds.emplace_back("\0\0", 2);
  seeds.emplace_back("\0\0trailing bytes", 16);
  for (const std::size_t cut : {std::size_t{1}, std::size_t{2}, std::size_t{20}, std::size_t{58},
                                valid.size() - 15, valid.size() - 1}) {
    seeds.push_back(valid.substr(0, cut));
  }

  std::string overlapping = valid;  // entry 1 reads entry 0's bytes and more
  b::put_u32(overlapping, b::offset_field_position(1),
             static_cast<std::uint32_t>(b::head_size(plain.size())));
  b::put_u32(overlapping, b::size_field_position(1), 40);
  seeds.push_back(overlapping);

  std::string huge = valid;  // sizes and offsets near the 32-bit limits
  b::put_u32(huge, b::size_field_position(0), 0xFFFFFFFFU);
  b::put_u32(huge, b::offset_field_position(1), 0xFFFFFFF0U);
  b::put_u32(huge, b::size_field_position(2), 0x80000000U);
  seeds.push_back(huge);

  seeds.push_back(b::build_archive(std::vector<entry_content>{{"../up", "x"},
                                                              {"/abs", "x"},
                                                              {"a/b", "x"},
                                                              {"a\\b", "x"},
                                                              {".", "x"},
                                                              {"..", "x"},
                                                              {"", "x"},
                                                              {"\x1B[1A\r", "x"},
                                                              {"\xC3\xA9t\xC3\xA9", "x"},
                                                              {"CON", "x"}}));
  seeds.push_back(b::build_archive(
      std::vector<entry_content>{{"same", "one"}, {"same", "two"}, {"SAME", "3"}}));
  return seeds;
}

}  // namespace qvx::seeds
