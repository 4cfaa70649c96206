// qvx against itself and against qvxreader: random sets of files packed by
// create come back identical from both unpackers, and on random and hostile
// archives extract leaves the same files, with the same status, as
// qvxreader.
#include <gtest/gtest.h>
#include <iconv.h>

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>
#include <random>

#include "archive_builder.h"
#include "cli_test.h"
#include "seed_archives.h"

namespace qvx::test {
namespace {

using builder::entry_content;

// Every file of `dir` with its bytes.
std::map<std::string, std::string> files_in(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const std::string& name : list_dir(dir)) files[name] = read_file(dir / name);
  return files;
}

std::string hex(std::string_view bytes) {
  std::string text;
  for (const char c : bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    text += digits[static_cast<unsigned char>(c) >> 4U];
    text += digits[static_cast<unsigned char>(c) & 0xFU];
  }
  return text;
}

// `name` with the letters of code page 1252 in upper case, as qvx compares
// names for Windows.
std::string upper(std::string name) {
  for (char& c : name) {
    const auto b = static_cast<unsigned char>(c);
    if ((b >= 'a' && b <= 'z') || (b >= 0xE0 && b != 0xF7 && b != 0xFF))
      c = static_cast<char>(b - 32);
    if (b == 0x9A || b == 0x9C || b == 0x9E) c = static_cast<char>(b - 16);
    if (b == 0xFF) c = static_cast<char>(0x9F);
  }
  return name;
}

// Bytes a file name may hold here and in an entry name on POSIX and
// Windows. Under Wine also none that the ANSI code page would change.
std::string name_alphabet() {
  std::string bytes;
  for (int b = 32; b < 256; ++b) {
    const char c = static_cast<char>(b);
    if (b == 127 || std::string_view{"/\\:<>\"|?*"}.find(c) != std::string_view::npos) continue;
    if (testing_windows_build() && b > 127) continue;
    bytes += c;
  }
  return bytes;
}

// Names of 1 to 15 bytes that use every byte of the alphabet at least once,
// then `extra` more; none ends in a dot or a blank, is "." or "..", or is a
// device name, and no two are equal when case is ignored.
std::vector<std::string> random_names(std::mt19937& random, std::size_t extra) {
  std::string alphabet = name_alphabet();
  std::shuffle(alphabet.begin(), alphabet.end(), random);
  std::vector<std::string> names;
  std::set<std::string> taken;
  std::size_t next = 0;
  while (next < alphabet.size() || names.size() < extra) {
    std::string name;
    const std::size_t length = std::uniform_int_distribution<std::size_t>(1, 15)(random);
    while (name.size() < length) {
      name += next < alphabet.size() ? alphabet[next++]
                                     : alphabet[std::uniform_int_distribution<std::size_t>(
                                           0, alphabet.size() - 1)(random)];
    }
    while (name.back() == '.' || name.back() == ' ') name.back() = '_';
    std::string stem = upper(name.substr(0, name.find('.')));
    while (!stem.empty() && stem.back() == ' ') stem.pop_back();
    const std::string digit = stem.size() > 3 ? stem.substr(3) : "";
    const bool numbered = stem.starts_with("COM") || stem.starts_with("LPT");
    if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL" || stem == "CONIN$" ||
        stem == "CONOUT$" ||
        (numbered &&
         ((digit.size() == 1 && ((digit[0] >= '0' && digit[0] <= '9') || digit == "\xB9" ||
                                 digit == "\xB2" || digit == "\xB3")) ||
          digit == "\xC2\xB9" || digit == "\xC2\xB2" || digit == "\xC2\xB3"))) {
      name = "_" + name.substr(1);
    }
    if (taken.insert(upper(name)).second) names.push_back(name);
  }
  return names;
}

// Mostly small files, some empty, a few of up to 3 MiB.
std::string random_content(std::mt19937& random) {
  const unsigned kind = random() % 8;
  const std::size_t size =
      kind == 0   ? 0
      : kind == 1 ? std::uniform_int_distribution<std::size_t>(1 << 20, 3 << 20)(random)
                  : std::uniform_int_distribution<std::size_t>(1, 70000)(random);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

TEST(QvxRoundTrip, RandomFilesComeBackIdenticalFromBothUnpackers) {
  // A new seed each run finds more over time; a failure names its seed.
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random{seed};
  const int rounds = testing_windows_build() ? 1 : 3;
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const scratch_dir source;
    const scratch_dir place;
    std::map<std::string, std::string> packed;
    std::vector<std::string> order;
    std::vector<std::string> args = {"create", (place / "a.qvx").string()};
    for (const std::string& name : random_names(random, 10)) {
      packed[name] = random_content(random);
      write_file(source / name, packed[name]);
      order.push_back(name);
      args.push_back((source / name).string());
    }
    const run_result created = run_qvx(args, place.path());
    ASSERT_EQ(created.exit_status, 0) << created.err;
    EXPECT_EQ(created.err, "");

    const run_result listed = run_qvx({"list", "--json", "a.qvx"}, place.path());
    ASSERT_EQ(listed.exit_status, 0) << listed.err;
    const nlohmann::json entries = nlohmann::json::parse(listed.out);
    ASSERT_EQ(entries.size(), order.size());
    std::uint64_t offset = 2 + 14 * order.size();
    for (std::size_t i = 0; i < order.size(); ++i) {
      EXPECT_EQ(entries[i]["number"], i + 1);
      EXPECT_EQ(entries[i]["name_hex"], hex(order[i]));
      EXPECT_EQ(entries[i]["offset"], offset);
      EXPECT_EQ(entries[i]["size"], packed[order[i]].size());
      offset += packed[order[i]].size();
    }

    const scratch_dir by_reader;
    const scratch_dir by_qvx;
    EXPECT_EQ(run_tool({(place / "a.qvx").string()}, by_reader.path()).exit_status, 0);
    const run_result extracted =
        run_qvx({"extract", "a.qvx", "-C", by_qvx.path().string()}, place.path());
    EXPECT_EQ(extracted.exit_status, 0) << extracted.err;
    EXPECT_TRUE(files_in(by_reader.path()) == packed);
    EXPECT_TRUE(files_in(by_qvx.path()) == packed);
  }
}

// An archive of random records over random bytes: entries that overlap, run
// past the end or lie beyond it, hostile and repeated names, cut tails.
std::string random_archive(std::mt19937& random) {
  static const std::vector<std::string> names = {
      "a",  "A",     "b.txt",  "../up", "a/b",  "c\\d",           "", ".", "..", "CON", "x:",
      "e.", "tab\t", "\x1B[m", "\xE9t", "same", "fifteen-bytes-x"};
  const auto pick = [&](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n)(random);
  };
  std::vector<entry_content> entries(pick(8));
  for (entry_content& entry : entries) {
    entry.name = names[pick(names.size() - 1)];
    entry.data = std::string(pick(300), static_cast<char>('a' + pick(25)));
  }
  std::string bytes = builder::build_archive(entries);
  for (std::size_t i = 0; i + 1 < entries.size(); ++i) {  // the last record places the names
    if (pick(2) == 0)
      builder::put_u32(bytes, builder::offset_field_position(i),
                       static_cast<std::uint32_t>(pick(bytes.size() + 50)));
    if (pick(2) == 0)
      builder::put_u32(bytes, builder::size_field_position(i),
                       static_cast<std::uint32_t>(pick(bytes.size())));
  }
  if (pick(4) == 0) bytes.resize(pick(bytes.size()));
  return bytes;
}

TEST(QvxRoundTrip, ExtractAgreesWithQvxreaderOnRandomAndHostileArchives) {
  std::vector<std::string> archives = seeds::seed_archives();
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random{seed};
  for (int i = testing_windows_build() ? 10 : 60; i > 0; --i)
    archives.push_back(random_archive(random));
  const scratch_dir place;
  for (std::size_t i = 0; i < archives.size(); ++i) {
    SCOPED_TRACE("archive " + std::to_string(i));
    write_file(place / "a.qvx", archives[i]);
    const scratch_dir by_reader;
    const scratch_dir by_qvx;
    const int reader = run_tool({(place / "a.qvx").string()}, by_reader.path()).exit_status;
    const int qvx = run_qvx({"extract", (place / "a.qvx").string()}, by_qvx.path()).exit_status;
    EXPECT_EQ(qvx, reader);
    EXPECT_TRUE(files_in(by_qvx.path()) == files_in(by_reader.path()));
  }
}

// Every double-byte code of CP932 that the system maps, as entry names:
// unpacked with --charset and put back, the archive is the same to the
// byte, also for the codes CP932 has twice (NEC and IBM's), whose text
// converts back to the other code.
TEST(QvxRoundTrip, EveryDoubleByteCodeOfCp932ComesBackAsItWas) {
  if (testing_windows_build()) GTEST_SKIP() << "the codes are the ones iconv maps";
  const iconv_t cd = ::iconv_open("UTF-8", "CP932");
  ASSERT_NE(reinterpret_cast<std::intptr_t>(cd), -1);
  std::vector<entry_content> entries;
  for (unsigned lead = 0x81; lead <= 0xFC; ++lead) {
    if (lead > 0x9F && lead < 0xE0) continue;
    for (unsigned trail = 0x40; trail <= 0xFC; ++trail) {
      if (trail == 0x7F) continue;
      std::string code = {static_cast<char>(lead), static_cast<char>(trail)};
      char out[16];
      char* in_at = code.data();
      char* out_at = out;
      std::size_t in_left = code.size();
      std::size_t out_left = sizeof out;
      ::iconv(cd, nullptr, nullptr, nullptr, nullptr);
      if (::iconv(cd, &in_at, &in_left, &out_at, &out_left) == static_cast<std::size_t>(-1))
        continue;
      entries.push_back({code, std::to_string(entries.size())});
    }
  }
  ::iconv_close(cd);
  ASSERT_GT(entries.size(), 7000U);
  const scratch_dir work;
  const std::string bytes = builder::build_archive(entries);
  write_file(work / "g.qvx", bytes);
  fs::create_directory(work / "out");
  const run_result extracted =
      run_qvx({"extract", "--charset", "CP932", "-C", "out", "g.qvx"}, work.path());
  ASSERT_EQ(extracted.exit_status, 0) << extracted.err;
  const run_result updated = run_qvx({"update", "--charset", "CP932", "g.qvx", "out"}, work.path());
  ASSERT_EQ(updated.exit_status, 0) << updated.err;
  EXPECT_TRUE(read_file(work / "g.qvx") == bytes);

  // A name that is not valid CP932 means nothing as text there: a file
  // "a" is not taken for its case twin.
  write_file(work / "u.qvx", builder::build_archive(std::vector<entry_content>{{"\xC1\x81", "x"}}));
  write_file(work / "a", "a");
  const run_result added = run_qvx({"update", "--charset", "CP932", "u.qvx", "a"}, work.path());
  EXPECT_EQ(added.exit_status, 0) << added.err;
}

}  // namespace
}  // namespace qvx::test
