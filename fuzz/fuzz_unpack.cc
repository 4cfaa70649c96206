// libFuzzer target: the fuzzer's bytes are an archive. Each input is unpacked
// into a private scratch directory, and the result is checked against what
// the tool promises for any archive at all; a broken promise aborts, so the
// fuzzer keeps the input.
//
// The scratch layout: <root>/archive.qvx (the input) and <root>/work/ (the
// working directory), with nothing else allowed to appear in <root>.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "archive/directory.h"
#include "archive/entry_name.h"
#include "archive/unpacker.h"

namespace fs = std::filesystem;

namespace {

[[noreturn]] void broken(const std::string& what) {
  // Straight to fd 2: the stdio streams are silenced while fuzzing.
  const std::string line = "invariant broken: " + what + "\n";
  [[maybe_unused]] const auto written = ::write(STDERR_FILENO, line.data(), line.size());
  std::abort();
}

struct scratch {
  fs::path root;
  fs::path work;
  fs::path archive;
};

const scratch& scratch_dirs() {
  static const scratch dirs = [] {
    std::string pattern = (fs::temp_directory_path() / "qvxfuzz-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) broken("mkdtemp");
    scratch made{pattern, fs::path{pattern} / "work", fs::path{pattern} / "archive.qvx"};
    fs::create_directory(made.work);
    fs::current_path(made.work);
    std::atexit([] { fs::remove_all(scratch_dirs().root); });
    // The unpacker's diagnostics would drown the fuzzer's own output. Only
    // the stdio stream is redirected: sanitizer reports still reach fd 2.
    static std::FILE* quiet = std::fopen("/dev/null", "w");
    if (quiet != nullptr) stderr = quiet;
    return made;
  }();
  return dirs;
}

std::string read_all(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void check_outcome(const std::string& input, const qvx::directory_result& directory) {
  const scratch& dirs = scratch_dirs();
  std::set<std::string> beside;
  for (const auto& item : fs::directory_iterator(dirs.root)) {
    beside.insert(item.path().filename().string());
  }
  if (beside != std::set<std::string>{"archive.qvx", "work"}) broken("a file appeared outside");
  if (read_all(dirs.archive) != input) broken("the archive changed");

  for (const auto& item : fs::directory_iterator(dirs.work)) {
    const std::string name = item.path().filename().string();
    // Temporary names are longer than any entry's 15 bytes.
    if (name.rfind(qvx::platform::temporary_prefix, 0) == 0 && name.size() > 15) {
      broken("temporary file left: " + name);
    }
    if (!qvx::name_refusal(name, qvx::name_rules::posix).empty()) broken("unsafe name: " + name);
    if (!directory.ok()) broken("file written from an unreadable directory: " + name);
    if (!item.is_regular_file()) broken("not a regular file: " + name);

    // The file must be the bytes of some entry of that name: those the input
    // holds from its offset on, up to its size.
    const std::string content = read_all(item.path());
    bool matches = false;
    const auto& entries = directory.directory.entries;
    for (std::size_t i = 0; i < entries.size() && !matches; ++i) {
      if (qvx::entry_name(directory.directory.names[i]) != name) continue;
      const std::uint64_t offset = entries[i].offset;
      const std::string expected =
          offset < input.size() ? input.substr(offset, entries[i].size) : std::string{};
      matches = content == expected;
    }
    if (!matches) broken("bytes that are not the entry's: " + name);
  }
}

// Every file of the working directory with its bytes, then all removed.
std::map<std::string, std::string> take_files() {
  std::map<std::string, std::string> files;
  for (const auto& item : fs::directory_iterator(scratch_dirs().work)) {
    files[item.path().filename().string()] =
        item.is_regular_file() ? read_all(item.path()) : std::string{"<not a file>"};
  }
  for (const auto& item : fs::directory_iterator(scratch_dirs().work)) fs::remove_all(item.path());
  return files;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const scratch& dirs = scratch_dirs();
  const std::string input(reinterpret_cast<const char*>(data), size);
  {
    std::ofstream out(dirs.archive, std::ios::binary | std::ios::trunc);
    out << input;
  }

  qvx::platform::error_code error = 0;
  const qvx::platform::input_file archive = qvx::platform::input_file::open(dirs.archive, error);
  if (error != 0) broken("cannot open the input");
  const qvx::directory_result directory = qvx::read_directory(archive);

  // One thread, then several: the same status and the same files.
  const qvx::unpack_status serial = qvx::unpack_archive(dirs.archive.string(), 1);
  if ((serial == qvx::unpack_status::unreadable) != !directory.ok()) {
    broken("unpack_archive and read_directory disagree");
  }
  check_outcome(input, directory);
  const std::map<std::string, std::string> serial_files = take_files();

  const qvx::unpack_status parallel = qvx::unpack_archive(dirs.archive.string(), 3);
  if (parallel != serial) broken("three threads and one give different results");
  check_outcome(input, directory);
  if (take_files() != serial_files) broken("three threads and one leave different files");
  return 0;
}
