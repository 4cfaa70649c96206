// End-to-end runs of qvx's editing commands: update and delete keep every
// entry they were not asked to change, byte for byte with its fields and its
// place, and create, update and delete never replace what an archive path
// must not.
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <thread>

#include "archive_builder.h"
#include "cli_test.h"

namespace qvx::test {
namespace {

using builder::entry_content;
using builder::record_fields;

// `directory` and `name` joined as the program under test joins them.
std::string joined(const std::string& directory, const std::string& name) {
  return directory + (testing_windows_build() ? "\\" : "/") + name;
}

class QvxEditTest : public ::testing::Test {
 protected:
  // Writes the archive of `entries` and `fields` as `name` in the working
  // directory, and returns its bytes.
  std::string put(const std::vector<entry_content>& entries,
                  const std::vector<record_fields>& fields, const std::string& name = "a.qvx") {
    std::string bytes = builder::build_archive(entries, fields);
    write_file(work_ / name, bytes);
    return bytes;
  }
  std::string put(const std::vector<entry_content>& entries, const std::string& name = "a.qvx") {
    return put(entries, std::vector<record_fields>(entries.size()), name);
  }
  run_result qvx(const std::vector<std::string>& args, run_options options = {}) {
    return run_qvx(args, work_.path(), std::move(options));
  }
  // Runs qvx and expects it to refuse with `messages`, changing nothing.
  void expect_refusal(const std::vector<std::string>& args,
                      const std::vector<std::string>& messages) {
    SCOPED_TRACE(args.front() + " " + args.back());
    const std::set<std::string> before = list_dir(work_.path());
    const std::string archive =
        fs::is_regular_file(work_ / "a.qvx") ? read_file(work_ / "a.qvx") : "";
    const run_result result = qvx(args);
    EXPECT_EQ(result.exit_status, 2);
    EXPECT_EQ(result.out, "");
    expect_lines(result.err, messages);
    EXPECT_EQ(list_dir(work_.path()), before);
    if (!archive.empty()) {
      EXPECT_EQ(read_file(work_ / "a.qvx"), archive);
    }
  }

  scratch_dir work_;
};

// Two entries of one name, fields at their extremes, an entry large enough
// to be copied rather than read, and an empty one.
const std::vector<entry_content> game = {{"title.cfg", "speed=1\n"},
                                         {"hero.png", "PNG1"},
                                         {"title.cfg", "speed=2\n"},
                                         {"music.ogg", std::string(100000, 'm')},
                                         {"empty", ""}};
const std::vector<record_fields> game_fields = {
    {7, 0xDEADBEEF}, {65535, 1}, {3, 0xFFFFFFFF}, {0, 42}, {12, 0}};

// Entries stay at their offsets unless they must move: a replacement that
// fits its slot stays there, one that does not goes to the end at the
// archive's alignment (4 here), and the first entries make way for the
// grown table. What is freed and not reused becomes zeros.
TEST_F(QvxEditTest, UpdateKeepsEntriesWhereTheyAreAndMovesOnlyWhatMust) {
  put(game, game_fields);  // at 72, 80, 84, 92 and 100092; the names at 100092
  fs::create_directory(work_ / "new");
  const std::string longer = "speed=3, and longer\n";
  write_file(work_ / "new" / "title.cfg", longer);
  write_file(work_ / "extra.txt", "x");
  const run_result first = qvx({"update", "a.qvx", "new/title.cfg", "extra.txt"});
  EXPECT_EQ(first.exit_status, 0) << first.err;
  expect_lines(first.err,
               {"qvx: a.qvx: entry \"title.cfg\" moved from byte 72 to 100092: the grown entry "
                "table needs its place",
                "qvx: a.qvx: entry \"hero.png\" moved from byte 80 to 100100: the grown entry "
                "table needs its place",
                "qvx: a.qvx: the name table moved from byte 100092 to 100125"});
  const std::string music(100000, 'm');
  std::vector<builder::entry_layout> records = {{"title.cfg", 100092, 8, 7, 0xDEADBEEF},
                                                {"hero.png", 100100, 4, 65535, 1},
                                                {"title.cfg", 100104, 20, 3, 0xFFFFFFFF},
                                                {"music.ogg", 92, 100000, 0, 42},
                                                {"empty", 100092, 0, 12, 0},
                                                {"extra.txt", 100124, 1, 0, 0}};
  EXPECT_EQ(
      read_file(work_ / "a.qvx"),
      laid_out(
          records,
          {{100092, "speed=1\n"}, {100100, "PNG1"}, {100104, longer}, {92, music}, {100124, "x"}},
          100125, 100215));

  // Smaller data stay in their slots, the rest of which is cleared; a file
  // that holds what its entry holds changes nothing.
  write_file(work_ / "new" / "hero.png", "P");
  write_file(work_ / "new" / "music.ogg", std::string(70000, 'M'));
  const run_result second = qvx({"update", "a.qvx", "new"});
  EXPECT_EQ(second.exit_status, 0) << second.err;
  EXPECT_EQ(second.err, "");
  records[1].size = 1;
  records[3].size = 70000;
  EXPECT_EQ(read_file(work_ / "a.qvx"), laid_out(records,
                                                 {{100092, "speed=1\n"},
                                                  {100100, "P"},
                                                  {100104, longer},
                                                  {92, std::string(70000, 'M')},
                                                  {100124, "x"}},
                                                 100125, 100215));
  EXPECT_EQ(list_dir(work_.path()), (std::set<std::string>{"a.qvx", "extra.txt", "new"}));
}

TEST_F(QvxEditTest, ListShowsTagAndSpare) {
  put(game, game_fields);
  put({{"b1023", std::string(1023, 'b')},
       {"k1024", std::string(1024, 'k')},
       {"almost-1m", std::string(1048575, 'm')},
       {"1m", std::string(1048576, 'M')}},
      "units.qvx");
  const run_result text = qvx({"list", "a.qvx"});
  EXPECT_EQ(text.exit_status, 0) << text.err;
  EXPECT_EQ(text.out,
            console_text("    #  name                 offset        size    tag       spare\n"
                         "    1  title.cfg                72           8      7  3735928559\n"
                         "    2  hero.png                 80           4  65535           1\n"
                         "    3  title.cfg                84           8      3  4294967295\n"
                         "    4  music.ogg                92      100000      0          42\n"
                         "    5  empty                100092           0     12           0\n"
                         "5 entries, 100020 bytes\n"));
  // Names and patterns pick entries, which keep their numbers; the total
  // is theirs. --hex gives every digit, --human-readable the sizes' units.
  const struct {
    std::vector<std::string> args;
    std::string out;
  } views[] = {
      {{"list", "a.qvx", "title.cfg", "*.ogg"},
       "    #  name                 offset        size    tag       spare\n"
       "    1  title.cfg                72           8      7  3735928559\n"
       "    3  title.cfg                84           8      3  4294967295\n"
       "    4  music.ogg                92      100000      0          42\n"
       "3 entries, 100016 bytes\n"},
      {{"list", "--hex", "a.qvx", "hero.png", "e*"},
       "    #  name                 offset        size     tag       spare\n"
       "    2  hero.png         0x00000050  0x00000004  0xFFFF  0x00000001\n"
       "    5  empty            0x000186FC  0x00000000  0x000C  0x00000000\n"
       "2 entries, 4 bytes\n"},
      {{"list", "--human-readable", "a.qvx", "m*", "hero.png"},
       "    #  name                 offset        size    tag       spare\n"
       "    2  hero.png                 80         4 B  65535           1\n"
       "    4  music.ogg                92    97.7 KiB      0          42\n"
       "2 entries, 97.7 KiB\n"},
      {{"list", "--human-readable", "units.qvx"},
       "    #  name                 offset        size    tag       spare\n"
       "    1  b1023                    58      1023 B      0           0\n"
       "    2  k1024                  1081     1.0 KiB      0           0\n"
       "    3  almost-1m              2105  1024.0 KiB      0           0\n"
       "    4  1m                  1050680     1.0 MiB      0           0\n"
       "4 entries, 2.0 MiB\n"},
      {{"list", "a.qvx", "empty"},
       "    #  name                 offset        size    tag       spare\n"
       "    5  empty                100092           0     12           0\n"
       "1 entry, 0 bytes\n"},
  };
  for (const auto& [args, out] : views) {
    const run_result view = qvx(args);
    EXPECT_EQ(view.exit_status, 0) << view.err;
    EXPECT_EQ(view.out, console_text(out));
  }
  const run_result unmatched = qvx({"list", "a.qvx", "*.png", "*.wav"});
  EXPECT_EQ(unmatched.exit_status, 2);
  EXPECT_EQ(unmatched.out, "");
  expect_lines(unmatched.err, {"qvx: *.wav: no entry matches"});
  const run_result json = qvx({"list", "--json", "a.qvx"});
  const nlohmann::json entries = nlohmann::json::parse(json.out);
  ASSERT_EQ(entries.size(), game.size()) << json.out;
  for (std::size_t i = 0; i < game.size(); ++i) {
    EXPECT_EQ(entries[i]["tag"], game_fields[i].tag);
    EXPECT_EQ(entries[i]["spare"], game_fields[i].spare);
  }
}

TEST_F(QvxEditTest, DeleteRemovesEveryEntryOfEachNameOrNothing) {
  const std::string before = put(game, game_fields);
  expect_refusal({"delete", "a.qvx", "nope", "hero.png", "Hero.png"},
                 {"qvx: nope: not in the archive", "qvx: Hero.png: not in the archive",
                  "qvx: a.qvx: not changed"});

  // The others stay where they are, and the name table follows the last.
  const run_result deleted = qvx({"delete", "a.qvx", "title.cfg", "empty"});
  EXPECT_EQ(deleted.exit_status, 0) << deleted.err;
  EXPECT_EQ(deleted.err, "");
  EXPECT_EQ(read_file(work_ / "a.qvx"),
            laid_out({{"hero.png", 80, 4, 65535, 1}, {"music.ogg", 92, 100000, 0, 42}},
                     {{80, "PNG1"}, {92, game[3].data}}, 100092, 100122));
  EXPECT_EQ(qvx({"delete", "a.qvx", "--", "music.ogg", "hero.png"}).exit_status, 0);
  EXPECT_EQ(read_file(work_ / "a.qvx"), std::string(2, '\0'));
  EXPECT_EQ(list_dir(work_.path()), std::set<std::string>{"a.qvx"});
}

TEST_F(QvxEditTest, UpdateRefusesBadInputAndChangesNothing) {
  put(game, game_fields);
  fs::create_directory(work_ / "one");
  fs::create_directory(work_ / "two");
  write_file(work_ / "one" / "hero.png", "1");
  write_file(work_ / "two" / "hero.png", "2");
  write_file(work_ / "HERO.PNG", "case");
  write_file(work_ / "sixteen-bytes-xx", "");
  write_file(work_ / "notes.txt", "not an archive");
  expect_refusal({"update", "a.qvx", "one/hero.png", "two/hero.png"},
                 {"qvx: two/hero.png: its entry name \"hero.png\" is that of an earlier file",
                  "qvx: a.qvx: not changed"});
  if (!testing_windows_build()) {  // where HERO.PNG and hero.png are one file
    expect_refusal({"update", "a.qvx", "HERO.PNG"},
                   {"qvx: HERO.PNG: its entry name \"HERO.PNG\" differs from that of entry "
                    "\"hero.png\" only in case, which Windows ignores",
                    "qvx: a.qvx: not changed"});
  }
  write_file(work_ / "Case.txt", "1");
  write_file(work_ / "one" / "case.TXT", "2");
  expect_refusal({"update", "a.qvx", "Case.txt", "one/case.TXT"},
                 {"qvx: one/case.TXT: its entry name \"case.TXT\" differs from that of entry "
                  "\"Case.txt\" only in case, which Windows ignores",
                  "qvx: a.qvx: not changed"});
  expect_refusal(
      {"update", "a.qvx", "nothere", "sixteen-bytes-xx", "gone"},
      {"qvx: nothere: cannot read: ", "qvx: gone: cannot read: ", "qvx: a.qvx: not changed"});
  expect_refusal({"update", "a.qvx", "sixteen-bytes-xx"},
                 {"qvx: sixteen-bytes-xx: its entry name \"sixteen-bytes-xx\" is 16 bytes long; "
                  "at most 15 fit",
                  "qvx: a.qvx: not changed"});
  expect_refusal({"update", "notes.txt", "one/hero.png"}, {"qvx: notes.txt: "});
  expect_refusal({"delete", "a.qvx", ""},
                 {"qvx: \"\": not in the archive", "qvx: a.qvx: not changed"});
  if (!testing_windows_build()) {  // a file whose size says nothing of its bytes
    expect_refusal({"update", "a.qvx", "/proc/self/status"},
                   {"qvx: /proc/self/status: changed size while the archive was written (it had 0 "
                    "bytes)",
                    "qvx: a.qvx: not changed"});
  }
  expect_refusal({"update", "missing.qvx", "one/hero.png"}, {"qvx: missing.qvx: cannot open: "});
  expect_refusal({"delete", "missing.qvx", "x"}, {"qvx: missing.qvx: cannot open: "});
}

// Random archives, as create lays them out, with random fields: unpacking
// one and putting every file back must give the same bytes.
TEST_F(QvxEditTest, ExtractThenUpdateGivesBackTheArchiveByteForByte) {
  // QVX_TEST_SEED repeats a run; the seed is printed either way.
  const char* given = std::getenv("QVX_TEST_SEED");
  const unsigned seed = given != nullptr ? static_cast<unsigned>(std::strtoul(given, nullptr, 10))
                                         : std::random_device{}();
  std::printf("seed %u\n", seed);
  SCOPED_TRACE("QVX_TEST_SEED=" + std::to_string(seed));
  std::mt19937 random{seed};
  const auto below = [&](std::uint32_t n) {
    return std::uniform_int_distribution<std::uint32_t>{0, n - 1}(random);
  };
  const std::string letters = "abcdefghijklmnopqrstuvwxyz0123456789_-";
  // 1000 entries of small files fill more than one 1 MiB batch.
  for (const std::size_t count : {0, 1, 2, 37, 200, 1000}) {
    SCOPED_TRACE(count);
    std::vector<entry_content> entries;
    std::vector<record_fields> fields;
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < count; ++i) {
      entry_content entry;
      if (i > 0 && count < 1000 && below(8) == 0) {
        entry.name = entries[below(static_cast<std::uint32_t>(i))].name;  // a duplicate
      } else {
        entry.name = "e" + std::to_string(i) + "-";
        while (entry.name.size() < 15 && below(3) != 0) entry.name += letters[below(38)];
      }
      // The largest archive has only small files, and no duplicate (whose
      // earlier entries would be copied from the archive between them), so
      // that they fill several of the 1 MiB batches in which they are written.
      const bool large = count < 1000 && below(10) == 0 && total < (8U << 20U);
      const std::uint32_t size = large ? below(3U << 20U) : below(3000);
      entry.data.resize(size);
      for (char& c : entry.data) c = static_cast<char>(below(256));
      total += size;
      entries.push_back(std::move(entry));
      fields.push_back(
          {static_cast<std::uint16_t>(below(65536)), static_cast<std::uint32_t>(random())});
    }
    const std::string bytes = put(entries, fields);
    fs::create_directory(work_ / "out");
    const run_result extracted = qvx({"extract", "-C", "out", "a.qvx"});
    ASSERT_EQ(extracted.exit_status, 0) << extracted.err;
    if (count > 0) {
      const run_result updated = qvx({"update", "a.qvx", "out"});
      ASSERT_EQ(updated.exit_status, 0) << updated.err;
      EXPECT_EQ(updated.err, "");
    }
    EXPECT_TRUE(read_file(work_ / "a.qvx") == bytes);
    fs::remove_all(work_ / "out");
  }
}

// Gaps, overlapping entries and the bytes after the name table stay where
// they are. The name table must follow the last entry, but not over the
// trailer: the entry moves to the end instead.
TEST_F(QvxEditTest, GapsOverlapsAndTheTrailerStayWhereTheyAre) {
  std::vector<builder::entry_layout> layout = {
      {"a", 0, 5, 1, 2}, {"b", 0, 6, 3, 4}, {"c", 0, 4, 5, 6}};
  const auto head = static_cast<std::uint32_t>(builder::head_size(3));
  layout[0].offset = head + 10;              // 10 bytes of gap after the table
  layout[1].offset = layout[0].offset + 2;   // b overlaps the end of a
  layout[2].offset = layout[0].offset + 20;  // 12 bytes of gap before c
  const std::string data = std::string(10, 'g') + "AAbbbbBBB" + std::string(11, 'g');
  std::string bytes =
      builder::encode_head(layout) + data + "CCCC" + builder::encode_names(layout) + "trailer";
  ASSERT_EQ(bytes.size(), head + 34 + 45 + 7);
  write_file(work_ / "a.qvx", bytes);
  write_file(work_ / "c", "new c");
  const run_result result = qvx({"update", "a.qvx", "c"});
  EXPECT_EQ(result.exit_status, 0) << result.err;
  expect_lines(result.err, {"qvx: a.qvx: the name table moved from byte 78 to 135"});
  EXPECT_EQ(read_file(work_ / "a.qvx"),
            laid_out({{"a", 54, 5, 1, 2}, {"b", 56, 6, 3, 4}, {"c", 130, 5, 5, 6}},
                     {{44, data}, {123, "trailer"}, {130, "new c"}}, 135, 180));

  // An entry that runs past the end cannot be kept whole, but can go.
  layout[1].offset = 1000;
  bytes = builder::encode_head(layout) + std::string(10, 'g') + "AAbbb" + std::string(15, 'g') +
          "CCCC" + builder::encode_names(layout);
  write_file(work_ / "a.qvx", bytes);
  expect_refusal({"update", "a.qvx", "c"},
                 {"qvx: a.qvx: entry \"b\" has only 0 of its 6 bytes in the archive, so it "
                  "cannot be kept whole",
                  "qvx: a.qvx: not changed"});
  EXPECT_EQ(qvx({"delete", "a.qvx", "b"}).exit_status, 0);
  EXPECT_EQ(read_file(work_ / "a.qvx"), laid_out({{"a", 54, 5, 1, 2}, {"c", 74, 4, 5, 6}},
                                                 {{44, bytes.substr(44, 34)}}, 78, 108));
}

// Name fields keep their bytes after the NUL, for kept and replaced
// entries; an entry that ends exactly at the end of the file is whole; a
// single byte of gap stays.
TEST_F(QvxEditTest, NameFieldsAndEntriesAtTheEndAreKeptByteForByte) {
  std::vector<builder::entry_layout> layout = {{"a", 0, 3}, {"tail", 0, 4}, {"b", 0, 2}};
  const auto head = static_cast<std::uint32_t>(builder::head_size(3));
  layout[0].offset = head;
  layout[2].offset = head + 4;  // one byte of gap before b
  std::string names = builder::encode_names(layout);
  names[2] = 'X';            // "a\0X...": bytes after the NUL of a kept entry's field
  names[15 + 15 + 2] = 'Y';  // and of the entry to be replaced
  // "tail" holds the last 4 bytes of the file: the end of the name table.
  layout[1].offset = static_cast<std::uint32_t>(head + 6 + names.size() - 4);
  const std::string bytes = builder::encode_head(layout) + "AAA" + "g" + "BB" + names;
  write_file(work_ / "a.qvx", bytes);
  write_file(work_ / "b", "new");
  // b grows, and the name table cannot follow it where it is: "tail" is there.
  const run_result result = qvx({"update", "a.qvx", "b"});
  EXPECT_EQ(result.exit_status, 0) << result.err;
  expect_lines(result.err, {"qvx: a.qvx: the name table moved from byte 50 to 98"});
  std::string expected = laid_out(
      {{"a", 44, 3}, {"tail", 91, 4}, {"b", 95, 3}},
      {{44, "AAA"}, {47, "g"}, {91, names.substr(names.size() - 4)}, {95, "new"}}, 98, 143);
  expected[98 + 2] = 'X';
  expected[98 + 32] = 'Y';
  EXPECT_EQ(read_file(work_ / "a.qvx"), expected);
}

TEST_F(QvxEditTest, TheArchivePathIsNeverSomethingElse) {
  const std::string archive = put({{"f", "old"}});
  write_file(work_ / "f", "new");
  write_file(work_ / "notes.txt", "not an archive");
  fs::create_directory(work_ / "dir");
  expect_refusal({"create", "dir", "f"}, {"qvx: dir: not a regular file"});
  expect_refusal({"create", "", "f"}, {"qvx: ARCHIVE: the path is empty"});
  expect_refusal({"update", "dir", "f"}, {"qvx: dir: not a regular file"});
  expect_refusal({"create", "notes.txt", "f"},
                 {"qvx: notes.txt: exists and is not an archive; give -f to replace it"});
  // Two zero bytes read as a count of no entries, but then nothing may follow.
  write_file(work_ / "disk.img", std::string(2, '\0') + "data");
  expect_refusal({"create", "disk.img", "f"},
                 {"qvx: disk.img: exists and is not an archive; give -f to replace it"});
  // A directory that reads, but whose entry lies past the end of the file.
  std::string truncated =
      builder::build_archive(std::vector<entry_content>{{"x", "x"}, {"y", "y"}});
  builder::put_u32(truncated, builder::offset_field_position(0), 1000);
  write_file(work_ / "odd.bin", truncated);
  expect_refusal({"create", "odd.bin", "f"},
                 {"qvx: odd.bin: exists and is not an archive; give -f to replace it"});
  expect_refusal({"extract", "-C", "", "a.qvx"}, {"qvx: -C: the directory's name is empty"});

  // The archive among its own inputs, by its name, a hard link or a directory.
  fs::create_hard_link(work_ / "a.qvx", work_ / "hard.qvx");
  for (const char* input : {"a.qvx", "hard.qvx"}) {
    expect_refusal({"create", "-f", "a.qvx", "f", input},
                   {std::string{"qvx: "} + input + ": is the archive being written",
                    "qvx: a.qvx: not written"});
    expect_refusal({"update", "a.qvx", input},
                   {std::string{"qvx: "} + input + ": is the archive being written",
                    "qvx: a.qvx: not changed"});
  }
  fs::remove(work_ / "hard.qvx");
  fs::create_directory(work_ / "mod");
  write_file(work_ / "mod" / "g", "g");
  fs::rename(work_ / "a.qvx", work_ / "mod" / "a.qvx");
  expect_refusal({"update", "mod/a.qvx", "mod"},
                 {"qvx: " + joined("mod", "a.qvx") + ": is the archive being written",
                  "qvx: mod/a.qvx: not changed"});
  fs::rename(work_ / "mod" / "a.qvx", work_ / "a.qvx");

  // An archive that exists is more likely a mistyped update than one to
  // lose; an empty file holds nothing to lose; another file is replaced only
  // by force.
  expect_refusal(
      {"create", "a.qvx", "f"},
      {"qvx: a.qvx: is an archive already; 'qvx update' changes it, and -f replaces it"});
  write_file(work_ / "empty.qvx", "");
  EXPECT_EQ(qvx({"create", "empty.qvx", "f"}).exit_status, 0);
  EXPECT_EQ(qvx({"create", "-f", "notes.txt", "f"}).exit_status, 0);
  const std::string packed = builder::build_archive(std::vector<entry_content>{{"f", "new"}});
  EXPECT_EQ(read_file(work_ / "empty.qvx"), packed);
  EXPECT_EQ(read_file(work_ / "notes.txt"), packed);
  EXPECT_EQ(read_file(work_ / "a.qvx"), archive);
  EXPECT_EQ(read_file(work_ / "disk.img"), std::string(2, '\0') + "data");
}

// A write that fails leaves the archive as it was, names the archive as the
// user gave it, and says nothing of gaps it would have dropped.
TEST_F(QvxEditTest, AFailedWriteLeavesTheArchiveAndNamesThePathGiven) {
  if (testing_windows_build()) GTEST_SKIP() << "RLIMIT_FSIZE and links made here are POSIX";
  std::string bytes =
      builder::build_archive(std::vector<entry_content>{{"big", std::string(40000, 'b')}});
  bytes += "gap";
  write_file(work_ / "a.qvx", bytes);
  fs::create_symlink("a.qvx", work_ / "link.qvx");
  write_file(work_ / "big", std::string(50000, 'B'));
  run_options limited;
  limited.file_size_limit = 16 * 1024;
  // In place too: what was written past the old end is cut off again, and
  // -v tells of nothing that did not happen.
  for (const char* mode : {"--verbose", "--in-place"}) {
    SCOPED_TRACE(mode);
    const run_result result = qvx({"update", "-v", mode, "link.qvx", "big"}, limited);
    EXPECT_EQ(result.exit_status, 2);
    EXPECT_EQ(result.out, "");
    expect_lines(result.err,
                 {"qvx: link.qvx: cannot write: File too large", "qvx: link.qvx: not changed"});
    EXPECT_EQ(read_file(work_ / "a.qvx"), bytes);
    EXPECT_EQ(list_dir(work_.path()), (std::set<std::string>{"a.qvx", "big", "link.qvx"}));
  }

  // Set-id bits are not carried over to a file this process wrote.
  ::chmod((work_ / "a.qvx").c_str(), 06755);
  EXPECT_EQ(qvx({"update", "a.qvx", "big"}).exit_status, 0);
  struct stat st {};
  ASSERT_EQ(::stat((work_ / "a.qvx").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777U, 0755U);
}

TEST_F(QvxEditTest, SymbolicLinksFifosAndDevicesAsTheArchivePath) {
  if (testing_windows_build()) GTEST_SKIP() << "links, FIFOs and devices made here are POSIX";
  const std::string archive = put({{"f", "old"}});
  write_file(work_ / "f", "new");
  fs::create_directory(work_ / "real");
  fs::rename(work_ / "a.qvx", work_ / "real" / "a.qvx");
  fs::create_symlink("real/a.qvx", work_ / "link.qvx");
  fs::create_symlink("link.qvx", work_ / "chain.qvx");
  fs::create_symlink("real/nothing.qvx", work_ / "dangling.qvx");
  fs::create_symlink("a.qvx", work_ / "real" / "self.qvx");

  // The link stays and its target, in the target's directory, is replaced.
  ::chmod((work_ / "real" / "a.qvx").c_str(), 0640);
  const run_result updated = qvx({"update", "chain.qvx", "f"});
  EXPECT_EQ(updated.exit_status, 0) << updated.err;
  EXPECT_TRUE(fs::is_symlink(work_ / "link.qvx"));
  EXPECT_TRUE(fs::is_symlink(work_ / "chain.qvx"));
  const std::string packed = builder::build_archive(std::vector<entry_content>{{"f", "new"}});
  EXPECT_EQ(read_file(work_ / "real" / "a.qvx"), packed);
  EXPECT_EQ(list_dir(work_ / "real"), (std::set<std::string>{"a.qvx", "self.qvx"}));
  struct stat st {};
  ASSERT_EQ(::stat((work_ / "real" / "a.qvx").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777U, 0640U);  // an edit keeps who may read the archive

  expect_refusal({"create", "dangling.qvx", "f"},
                 {"qvx: dangling.qvx: is a symbolic link that leads to no file: "});
  expect_refusal(
      {"update", "link.qvx", "real/self.qvx"},
      {"qvx: real/self.qvx: is the archive being written", "qvx: link.qvx: not changed"});

  // Refused at once: opening a FIFO for writing would wait for a reader.
  ASSERT_EQ(::mkfifo((work_ / "fifo").c_str(), 0600), 0);
  for (const char* command : {"create", "update", "delete"}) {
    expect_refusal({command, "fifo", "f"}, {"qvx: fifo: not a regular file"});
  }
  if (::geteuid() == 0) {
    ASSERT_EQ(::mknod((work_ / "null").c_str(), S_IFCHR | 0666, ::makedev(1, 3)), 0);
    expect_refusal({"create", "null", "f"}, {"qvx: null: not a regular file"});
    EXPECT_TRUE(fs::is_character_file(work_ / "null"));
  }
  EXPECT_EQ(read_file(work_ / "real" / "a.qvx"), packed);
}

TEST_F(QvxEditTest, InputsFromDirectoriesAndListsAllCheckedFirst) {
  fs::create_directory(work_ / "mod");
  for (const char* name : {"b.txt", "a.txt", "C.txt"}) write_file(work_ / "mod" / name, name);
  fs::create_directory(work_ / "mod" / "sub");
  write_file(work_ / "one", "1");
  write_file(work_ / "two", "2");
  expect_refusal({"create", "out.qvx", "nothere", "mod"},
                 {"qvx: nothere: cannot read: ",
                  "qvx: " + joined("mod", "sub") +
                      ": is a directory inside a directory: an archive has no folders",
                  "qvx: out.qvx: not written"});
  fs::remove(work_ / "mod" / "sub");
  // The FILEs in order, then the list's lines; a directory's files in byte order.
  write_file(work_ / "list", "two\r\n\none\n");
  const run_result created = qvx({"create", "-T", "list", "out.qvx", "mod"});
  EXPECT_EQ(created.exit_status, 0) << created.err;
  EXPECT_EQ(
      read_file(work_ / "out.qvx"),
      builder::build_archive(std::vector<entry_content>{
          {"C.txt", "C.txt"}, {"a.txt", "a.txt"}, {"b.txt", "b.txt"}, {"two", "2"}, {"one", "1"}}));

  // Three lines in a row and no final newline; a list that cannot be read,
  // and one that is a FIFO, read as a stream.
  write_file(work_ / "three", "one\ntwo\none");
  expect_refusal({"update", "-T", "nothere", "out.qvx"},
                 {"qvx: nothere: cannot read the list of files: ", "qvx: out.qvx: not changed"});
  if (!testing_windows_build()) {
    ASSERT_EQ(::mkfifo((work_ / "fifo").c_str(), 0600), 0);
    std::thread writer([&] { write_file(work_ / "fifo", "two\n"); });
    const run_result from_fifo = qvx({"create", "-f", "fifo.qvx", "-T", "fifo"});
    writer.join();
    EXPECT_EQ(from_fifo.exit_status, 0) << from_fifo.err;
    EXPECT_EQ(read_file(work_ / "fifo.qvx"),
              builder::build_archive(std::vector<entry_content>{{"two", "2"}}));
    fs::remove(work_ / "fifo");
    fs::remove(work_ / "fifo.qvx");
  }
  const run_result repeated = qvx({"create", "three.qvx", "-T", "three"});
  EXPECT_EQ(repeated.exit_status, 2);
  expect_lines(repeated.err,
               {"qvx: one: its entry name \"one\" is taken by one", "qvx: three.qvx: not written"});
  fs::remove(work_ / "three");

  write_file(work_ / "one", "uno");
  run_options from_stdin;
  from_stdin.stdin_path = work_ / "list";
  const run_result updated = qvx({"update", "--files-from", "-", "out.qvx"}, from_stdin);
  EXPECT_EQ(updated.exit_status, 0) << updated.err;
  EXPECT_EQ(read_file(work_ / "out.qvx"),
            builder::build_archive(std::vector<entry_content>{{"C.txt", "C.txt"},
                                                              {"a.txt", "a.txt"},
                                                              {"b.txt", "b.txt"},
                                                              {"two", "2"},
                                                              {"one", "uno"}}));
}

TEST_F(QvxEditTest, WildcardsAreExpandedOnWindows) {
  if (!testing_windows_build()) GTEST_SKIP() << "on POSIX the shell expands patterns";
  for (const char* name : {"b.txt", "a.txt", "c.dat"}) write_file(work_ / name, name);
  const run_result created = qvx({"create", "out.qvx", "*.txt", "?.dat"});
  EXPECT_EQ(created.exit_status, 0) << created.err;
  EXPECT_EQ(read_file(work_ / "out.qvx"),
            builder::build_archive(std::vector<entry_content>{
                {"a.txt", "a.txt"}, {"b.txt", "b.txt"}, {"c.dat", "c.dat"}}));
  write_file(work_ / "a.txt", "changed");
  EXPECT_EQ(qvx({"update", "out.qvx", "a*"}).exit_status, 0);
  // Longer than its slot: a.txt goes to the end, after the names.
  EXPECT_EQ(read_file(work_ / "out.qvx"),
            laid_out({{"a.txt", 104, 7}, {"b.txt", 49, 5}, {"c.dat", 54, 5}},
                     {{49, "b.txtc.dat"}, {104, "changed"}}, 59, 111));
}

// The user nobody, when the tests run as root; those checks are skipped
// otherwise.
std::optional<unsigned> nobody() {
  if (::geteuid() != 0) return std::nullopt;
  const passwd* user = ::getpwnam("nobody");
  return user == nullptr ? std::nullopt : std::optional<unsigned>{user->pw_uid};
}

// Killed or interrupted at any moment, update leaves the old archive or the
// new one, and nothing beside it. Run as a user who cannot write in the
// working directory, the temporary file still goes beside the archive.
TEST_F(QvxEditTest, AnInterruptedUpdateLeavesTheOldArchiveAndNothingElse) {
  if (testing_windows_build()) GTEST_SKIP() << "the signals are POSIX";
  const bool portable = std::getenv("QVXREADER_PORTABLE_IO") != nullptr;
  const fs::path place = work_ / "archives";
  fs::create_directory(place);
  std::vector<entry_content> entries;
  entries.reserve(5);
  for (const char fill : {'a', 'b', 'c', 'd'}) {
    entries.push_back({std::string{"big-"} + fill, std::string(std::size_t{40} << 20U, fill)});
  }
  entries.push_back({"small", "old"});
  const std::string old_bytes = builder::build_archive(entries);
  entries.back().data = "new";
  const std::string new_bytes = builder::build_archive(entries);
  write_file(place / "small", "new");
  run_options options;
  const std::optional<unsigned> user = nobody();
  const auto put_old = [&] {
    write_file(place / "a.qvx", old_bytes);
    if (user) ::chown((place / "a.qvx").c_str(), *user, *user);
  };
  put_old();
  if (user) {
    fs::permissions(work_.path(),
                    fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    ::chown(place.c_str(), *user, *user);
    options.user_id = user;
    options.working_directory = "/";  // not theirs to write in
  }
  int interrupted = 0;
  // A named temporary file (portable mode) cannot outlive SIGINT or SIGTERM,
  // but nothing can remove it on SIGKILL.
  std::vector<int> signals = {SIGINT, SIGTERM};
  if (!portable) signals.push_back(SIGKILL);
  for (const int signal : signals) {
    for (const int delay : {1, 5, 20, 60}) {
      SCOPED_TRACE(std::to_string(signal) + " after " + std::to_string(delay) + " ms");
      options.kill_after_ms = delay;
      options.kill_signal = signal;
      const run_result result =
          run_qvx({"update", (place / "a.qvx").string(), (place / "small").string()}, work_.path(),
                  options);
      const std::string now = read_file(place / "a.qvx");
      EXPECT_EQ(list_dir(place), (std::set<std::string>{"a.qvx", "small"}));
      // Whole, old or new: a signal after the rename finds the new one.
      EXPECT_TRUE(now == old_bytes || now == new_bytes);
      if (result.signal == signal) {
        if (now == old_bytes) ++interrupted;
      } else {
        EXPECT_EQ(result.exit_status, 0) << result.err;
        EXPECT_TRUE(now == new_bytes);
      }
      put_old();
    }
  }
  EXPECT_GT(interrupted, 0);  // some signal came before the rename
}

// What the archive's owner set stays: its owner, its group, and its being
// read-only.
TEST_F(QvxEditTest, AnEditKeepsTheArchivesOwnerAndRefusesAReadOnlyOne) {
  const std::optional<unsigned> user = nobody();
  if (testing_windows_build() || !user) GTEST_SKIP() << "needs root and the user nobody";
  put({{"f", "old"}});
  write_file(work_ / "f", "new");
  ASSERT_EQ(::chown((work_ / "a.qvx").c_str(), *user, *user), 0);
  EXPECT_EQ(qvx({"update", "a.qvx", "f"}).exit_status, 0);
  struct stat st {};
  ASSERT_EQ(::stat((work_ / "a.qvx").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, *user);
  EXPECT_EQ(st.st_gid, *user);

  // Its owner made it read-only: renaming over it is allowed by the
  // directory, but not what they meant. Root, whom access() lets write
  // anything, is held to the mode too: no write bit for anyone.
  ::chown(work_.path().c_str(), *user, *user);
  ::chmod((work_ / "a.qvx").c_str(), 0444);
  run_options as_owner;
  as_owner.user_id = user;
  for (const run_options& options : {as_owner, run_options{}}) {
    for (const char* command : {"update", "delete", "create"}) {
      SCOPED_TRACE(std::string{command} + (options.user_id ? " as its owner" : " as root"));
      const std::string before = read_file(work_ / "a.qvx");
      const run_result refused = qvx({command, "a.qvx", "f"}, options);
      EXPECT_EQ(refused.exit_status, 2);
      expect_lines(refused.err, {"qvx: a.qvx: is read-only; not replaced"});
      EXPECT_EQ(read_file(work_ / "a.qvx"), before);
    }
  }
  // One its group may write is root's to replace, as it is the group's.
  ::chmod((work_ / "a.qvx").c_str(), 0460);
  EXPECT_EQ(qvx({"delete", "a.qvx", "f"}).exit_status, 0);
  EXPECT_EQ(read_file(work_ / "a.qvx"), builder::build_archive(std::vector<entry_content>{}));
}

// Another program that replaces the archive while update rewrites it does
// not lose its work: update refuses instead of renaming over it.
TEST_F(QvxEditTest, AnArchiveReplacedDuringAnUpdateIsNotLost) {
  if (testing_windows_build()) GTEST_SKIP() << "the timing is driven from here";
  std::vector<entry_content> entries;
  entries.reserve(5);
  for (const char fill : {'a', 'b', 'c', 'd'}) {
    entries.push_back({std::string{"big-"} + fill, std::string(std::size_t{40} << 20U, fill)});
  }
  entries.push_back({"small", "old"});
  const std::string old_bytes = put(entries);
  write_file(work_ / "small", "new");
  const std::string theirs = builder::build_archive(std::vector<entry_content>{{"theirs", "x"}});
  // Its one entry at 16 makes way for the grown table, at the alignment 16.
  const std::string theirs_updated =
      laid_out({{"theirs", 32, 1}, {"small", 48, 3}}, {{32, "x"}, {48, "new"}}, 51, 81);
  for (const int delay_ms : {5, 20, 60}) {
    write_file(work_ / "a.qvx", old_bytes);
    write_file(work_ / "theirs.qvx", theirs);
    std::thread other([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
      fs::rename(work_ / "theirs.qvx", work_ / "a.qvx");
    });
    const run_result result = qvx({"update", "a.qvx", "small"});
    other.join();
    // Whenever their rename came, their archive stays: before the update
    // opened the archive, it is updated; while the update ran, the update
    // refuses; after it, it replaces the update's result.
    const std::string now = read_file(work_ / "a.qvx");
    EXPECT_TRUE(now == theirs || now == theirs_updated) << delay_ms << " ms: " << result.err;
    if (result.exit_status != 0) {
      expect_lines(result.err,
                   {"qvx: a.qvx: was changed by another program while it was being rewritten",
                    "qvx: a.qvx: not changed"});
    }
  }
}

}  // namespace
}  // namespace qvx::test
