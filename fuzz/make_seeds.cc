// Writes the fuzzer's seed corpus into the directory given as argument:
// well-formed archives and the shapes of broken and hostile ones.
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "archive_builder.h"

using qvx::builder::entry_content;
namespace b = qvx::builder;

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::filesystem::path dir = argv[1];
  std::filesystem::create_directories(dir);
  int written = 0;
  const auto seed = [&](const std::string& bytes) {
    std::ofstream(dir / ("seed-" + std::to_string(++written)), std::ios::binary) << bytes;
  };

  const std::vector<entry_content> plain = {{"a.txt", "alpha"},
                                            {"b.bin", std::string("\0\1\2", 3)},
                                            {"empty", ""},
                                            {"fifteen-bytes-x", "full name field"}};
  const std::string valid = b::build_archive(plain);
  seed(valid);
  seed(std::string("\0\0", 2));
  seed(std::string("\0\0trailing bytes", 16));
  for (const std::size_t cut : {1UL, 2UL, 20UL, 58UL, valid.size() - 15, valid.size() - 1}) {
    seed(valid.substr(0, cut));
  }

  std::string overlapping = valid;  // entry 1 reads entry 0's bytes and more
  b::put_u32(overlapping, b::offset_field_position(1), b::head_size(plain.size()));
  b::put_u32(overlapping, b::size_field_position(1), 40);
  seed(overlapping);

  std::string huge = valid;  // sizes and offsets near the 32-bit limits
  b::put_u32(huge, b::size_field_position(0), 0xFFFFFFFFU);
  b::put_u32(huge, b::offset_field_position(1), 0xFFFFFFF0U);
  b::put_u32(huge, b::size_field_position(2), 0x80000000U);
  seed(huge);

  seed(b::build_archive(std::vector<entry_content>{{"../up", "x"},
                                                   {"/abs", "x"},
                                                   {"a/b", "x"},
                                                   {"a\\b", "x"},
                                                   {".", "x"},
                                                   {"..", "x"},
                                                   {"", "x"},
                                                   {"\x1B[1A\r", "x"},
                                                   {"\xC3\xA9t\xC3\xA9", "x"},
                                                   {"CON", "x"}}));
  seed(b::build_archive(
      std::vector<entry_content>{{"same", "one"}, {"same", "two"}, {"SAME", "3"}}));
  return 0;
}
