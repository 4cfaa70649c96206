// The naive way to unpack an archive, as a yardstick: read the directory
// through stdio and copy every entry one byte at a time with fgetc/fputc.
// No checks at all; only for the benchmark's well-formed archives.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

std::uint32_t read_le(std::FILE* in, int bytes) {
  std::uint32_t value = 0;
  for (int i = 0; i < bytes; ++i) value |= static_cast<std::uint32_t>(std::fgetc(in)) << (8 * i);
  return value;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  std::FILE* in = std::fopen(argv[1], "rb");
  if (in == nullptr) return 2;
  const std::uint32_t count = read_le(in, 2);
  std::vector<std::uint32_t> offsets(count);
  std::vector<std::uint32_t> sizes(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    read_le(in, 2);
    offsets[i] = read_le(in, 4);
    sizes[i] = read_le(in, 4);
    read_le(in, 4);
  }
  if (count == 0) return 0;
  std::fseek(in, static_cast<long>(offsets[count - 1]) + sizes[count - 1], SEEK_SET);
  std::vector<std::string> names(count);
  for (auto& name : names) {
    char field[16] = {};
    if (std::fread(field, 1, 15, in) != 15) return 2;
    name = field;
  }
  for (std::uint32_t i = 0; i < count; ++i) {
    std::FILE* out = std::fopen(names[i].c_str(), "wb");
    if (out == nullptr) return 1;
    std::fseek(in, static_cast<long>(offsets[i]), SEEK_SET);
    for (std::uint32_t n = 0; n < sizes[i]; ++n) std::fputc(std::fgetc(in), out);
    std::fclose(out);
    std::printf("%4u / %4u %15s %15u bytes %15u bytes\n", i + 1, count, names[i].c_str(),
                offsets[i], sizes[i]);
  }
  std::fclose(in);
  return 0;
}
