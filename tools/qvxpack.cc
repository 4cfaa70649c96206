// qvxpack: writes an archive, for the demo, the benchmark and fuzz seeds.
//
//   qvxpack ARCHIVE PATH...   pack files; a directory adds its regular files,
//                             sorted by name. Entries are named after the
//                             files (at most 15 bytes).
//   qvxpack --demo ARCHIVE    write the small demo archive
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "archive_builder.h"

namespace fs = std::filesystem;
using qvx::builder::entry_content;

namespace {

bool write_demo(const fs::path& out) {
  const std::vector<entry_content> entries = {
      {"readme.txt", "This archive was unpacked by qvxreader.\n"},
      {"numbers.csv", "n,square\n1,1\n2,4\n3,9\n4,16\n"},
      {"empty.dat", ""},
      {"binary.bin", std::string("\x00\x01\x02\xfe\xff\x7f\x80", 7)},
  };
  std::ofstream file(out, std::ios::binary);
  file << qvx::builder::build_archive(entries);
  return static_cast<bool>(file.flush());
}

// Copies `path` to `out` in large blocks.
bool append_file(const fs::path& path, std::ofstream& out) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> buffer(1 << 20);
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    out.write(buffer.data(), in.gcount());
  }
  return in.eof() && static_cast<bool>(out);
}

bool pack(const fs::path& out, const std::vector<fs::path>& inputs) {
  std::vector<fs::path> files;
  for (const fs::path& input : inputs) {
    if (fs::is_directory(input)) {
      std::vector<fs::path> listed;
      for (const auto& item : fs::directory_iterator(input)) {
        if (item.is_regular_file()) listed.push_back(item.path());
      }
      std::sort(listed.begin(), listed.end());
      files.insert(files.end(), listed.begin(), listed.end());
    } else {
      files.push_back(input);
    }
  }
  std::vector<std::string> names;
  std::vector<std::uint64_t> sizes;
  for (const fs::path& file : files) {
    names.push_back(file.filename().string());
    sizes.push_back(fs::file_size(file));
  }
  const auto layout = qvx::builder::lay_out(names, sizes);
  std::ofstream archive(out, std::ios::binary);
  archive << qvx::builder::encode_head(layout);
  for (const fs::path& file : files) {
    if (!append_file(file, archive)) {
      std::cerr << "qvxpack: cannot copy " << file << "\n";
      return false;
    }
  }
  archive << qvx::builder::encode_names(layout);
  return static_cast<bool>(archive.flush());
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  try {
    if (args.size() == 2 && args[0] == "--demo") return write_demo(args[1]) ? 0 : 1;
    if (args.size() >= 2) return pack(args[0], {args.begin() + 1, args.end()}) ? 0 : 1;
  } catch (const std::exception& error) {
    std::cerr << "qvxpack: " << error.what() << "\n";
    return 1;
  }
  std::cerr << "usage: qvxpack ARCHIVE PATH... | qvxpack --demo ARCHIVE\n";
  return 2;
}
