// Writes the fuzzer's seed corpus into the directory given as argument.
#include <filesystem>
#include <fstream>
#include <string>

#include "seed_archives.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::filesystem::path dir = argv[1];
  std::filesystem::create_directories(dir);
  int written = 0;
  for (const std::string& seed : qvx::seeds::seed_archives()) {
    std::ofstream(dir / ("seed-" + std::to_string(++written)), std::ios::binary) << seed;
  }
  return 0;
}
