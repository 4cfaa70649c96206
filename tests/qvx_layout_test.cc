// Edits keep the archive's layout: on archives that create did not lay out
// (aligned, with padding and bytes of unknown meaning, data out of table
// order, a trailer), update and delete move only what they must, and an
// update in place changes the archive's own file at the cost of the change.
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <thread>

#include "archive_builder.h"
#include "cli_test.h"

namespace qvx::test {
namespace {

std::uint32_t u32_at(const std::string& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (std::size_t i = 4; i-- > 0;) value = value << 8U | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

// One entry as an archive's bytes give it.
struct read_entry {
  std::string name;
  std::uint32_t offset = 0;
  std::string data;
  std::uint16_t tag = 0;
  std::uint32_t spare = 0;
};

// The entries of the archive `bytes`, read as the format says; the name
// table is where the last record's data end.
std::vector<read_entry> entries_of(const std::string& bytes, std::uint64_t* names_at = nullptr) {
  const std::size_t count = static_cast<unsigned char>(bytes[0]) |
                            static_cast<std::size_t>(static_cast<unsigned char>(bytes[1])) << 8U;
  std::vector<read_entry> entries(count);
  std::uint64_t names = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t record = 2 + 14 * i;
    read_entry& entry = entries[i];
    entry.tag = static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[record]) |
                                           static_cast<unsigned char>(bytes[record + 1]) << 8U);
    entry.offset = u32_at(bytes, record + 2);
    const std::uint32_t size = u32_at(bytes, record + 6);
    entry.spare = u32_at(bytes, record + 10);
    // An empty entry is whole wherever it points.
    if (size > 0) {
      EXPECT_LE(std::uint64_t{entry.offset} + size, bytes.size()) << "entry " << i + 1;
    }
    if (std::uint64_t{entry.offset} + size <= bytes.size())
      entry.data = bytes.substr(entry.offset, size);
    names = std::uint64_t{entry.offset} + size;
  }
  EXPECT_LE(names + 15 * count, bytes.size());
  for (std::size_t i = 0; i < count && names + 15 * count <= bytes.size(); ++i) {
    const std::string field = bytes.substr(names + 15 * i, 15);
    entries[i].name = field.substr(0, field.find('\0'));
  }
  if (names_at != nullptr) *names_at = names;
  return entries;
}

// What an edit was asked to do to an archive: `after` holds `expected`,
// entries that were not changed are where they were unless the grown table
// or the name table needed their place, and every byte outside what was
// changed, the two heads and the two name tables is where it was.
void expect_only_the_asked_changes(const std::string& before, const std::string& after,
                                   const std::vector<read_entry>& expected,
                                   const std::vector<std::optional<std::size_t>>& unchanged_from) {
  std::uint64_t old_names = 0;
  std::uint64_t new_names = 0;
  const std::vector<read_entry> old_entries = entries_of(before, &old_names);
  const std::vector<read_entry> now = entries_of(after, &new_names);
  ASSERT_EQ(now.size(), expected.size());
  const std::size_t head = 2 + 14 * std::max(old_entries.size(), now.size());
  std::vector<bool> may_differ(std::max(before.size(), after.size()), false);
  const auto mark = [&](std::uint64_t from, std::uint64_t length) {
    for (std::uint64_t p = from; p < from + length && p < may_differ.size(); ++p)
      may_differ[p] = true;
  };
  mark(0, head);
  mark(old_names, 15 * old_entries.size());
  mark(new_names, 15 * now.size());
  std::vector<bool> old_kept(old_entries.size(), false);
  for (std::size_t i = 0; i < now.size(); ++i) {
    SCOPED_TRACE("entry " + std::to_string(i + 1));
    EXPECT_EQ(now[i].name, expected[i].name);
    EXPECT_TRUE(now[i].data == expected[i].data);
    EXPECT_EQ(now[i].tag, expected[i].tag);
    EXPECT_EQ(now[i].spare, expected[i].spare);
    const std::optional<std::size_t> from = unchanged_from[i];
    if (from && now[i].offset == old_entries[*from].offset) {
      old_kept[*from] = true;
      continue;
    }
    if (from) {
      // Only an entry in the grown table's way, or the last, may move.
      EXPECT_TRUE(old_entries[*from].offset < 2 + 14 * now.size() || i + 1 == now.size())
          << "moved from " << old_entries[*from].offset << " to " << now[i].offset;
    }
    mark(now[i].offset, now[i].data.size());
  }
  for (std::size_t i = 0; i < old_entries.size(); ++i) {
    if (!old_kept[i]) mark(old_entries[i].offset, old_entries[i].data.size());
  }
  std::size_t differing = 0;
  for (std::size_t p = 0; p < std::min(before.size(), after.size()); ++p) {
    if (!may_differ[p] && before[p] != after[p]) ++differing;
  }
  EXPECT_EQ(differing, 0U) << "bytes that belong to nothing changed moved or changed";
}

class QvxLayoutTest : public ::testing::Test {
 protected:
  run_result qvx(const std::vector<std::string>& args, run_options options = {}) {
    return run_qvx(args, work_.path(), std::move(options));
  }
  scratch_dir work_;
};

// Four entries at multiples of 2048, "J" in the padding, the names after
// the last entry and a trailer after them: as a game that streams from
// disc sectors has them.
const std::vector<builder::entry_layout> sector_records = {{"title.cfg", 2048, 8, 1, 1000},
                                                           {"hero.png", 4096, 1500, 2, 1001},
                                                           {"music.ogg", 6144, 5000, 3, 1002},
                                                           {"npc12.txt", 12288, 10, 4, 1003}};
const std::vector<std::string> sector_data = {"speed=1\n", std::string(1500, 'P'),
                                              std::string(5000, 'M'), "hello npc\n"};

std::string sector_archive() {
  std::vector<std::pair<std::size_t, std::string>> pieces;
  for (std::size_t i = 0; i < sector_records.size(); ++i) {
    const builder::entry_layout& record = sector_records[i];
    pieces.emplace_back(record.offset, sector_data[i]);
    if (i + 1 < sector_records.size()) {
      const std::size_t end = record.offset + record.size;
      pieces.emplace_back(end, std::string(sector_records[i + 1].offset - end, 'J'));
    }
  }
  pieces.emplace_back(12298 + 60, "TRAILER");
  return laid_out(sector_records, pieces, 12298, 12298 + 60 + 7);
}

TEST_F(QvxLayoutTest, AnAlignedArchiveStaysAlignedThroughEveryKindOfEdit) {
  struct edit_case {
    const char* what;
    std::vector<std::string> args;
    std::vector<std::pair<std::string, std::string>> files;  // written first
    std::vector<std::uint32_t> offsets;                      // of the entries after it
    std::vector<std::string> err;
  };
  const std::string more(3000, 'T');
  const std::vector<edit_case> cases = {
      {"a smaller entry stays in its slot",
       {"update", "a.qvx", "in/hero.png"},
       {{"hero.png", "p"}},
       {2048, 4096, 6144, 12288},
       {}},
      {"a larger one grows into its padding",
       {"update", "a.qvx", "in/title.cfg"},
       {{"title.cfg", std::string(2000, 't')}},
       {2048, 4096, 6144, 12288},
       {}},
      {"one larger than its slot goes to the end, aligned",
       {"update", "a.qvx", "in/title.cfg"},
       {{"title.cfg", more}},
       {14336, 4096, 6144, 12288},
       {}},
      {"the last grows, and with the trailer after the name table it moves to the end",
       {"update", "a.qvx", "in/npc12.txt"},
       {{"npc12.txt", "hello npc, again\n"}},
       {2048, 4096, 6144, 14336},
       {"qvx: a.qvx: the name table moved from byte 12298 to 14353"}},
      {"an added entry takes the padding's room in the table",
       {"update", "a.qvx", "in/new.txt"},
       {{"new.txt", "new"}},
       {2048, 4096, 6144, 12288, 14336},
       {"qvx: a.qvx: the name table moved from byte 12298 to 14339"}},
      {"a deleted one leaves the others",
       {"delete", "a.qvx", "hero.png"},
       {},
       {2048, 6144, 12288},
       {}},
  };
  fs::create_directory(work_ / "in");
  for (const edit_case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string before = sector_archive();
    write_file(work_ / "a.qvx", before);
    std::vector<read_entry> expected;
    for (std::size_t i = 0; i < sector_records.size(); ++i) {
      expected.push_back({sector_records[i].name, 0, sector_data[i], sector_records[i].tag,
                          sector_records[i].spare});
    }
    std::vector<std::optional<std::size_t>> unchanged = {0, 1, 2, 3};
    for (const auto& file : c.files) {
      write_file(work_ / "in" / file.first, file.second);
      const auto same = std::find_if(expected.begin(), expected.end(),
                                     [&](const read_entry& e) { return e.name == file.first; });
      if (same == expected.end()) {
        expected.push_back({file.first, 0, file.second, 0, 0});
        unchanged.emplace_back();
      } else {
        same->data = file.second;
        unchanged[static_cast<std::size_t>(same - expected.begin())].reset();
      }
    }
    if (c.args[0] == "delete") {
      expected.erase(expected.begin() + 1);
      unchanged = {0, 2, 3};
    }
    const run_result result = qvx(c.args);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    expect_lines(result.err, c.err);
    const std::string after = read_file(work_ / "a.qvx");
    std::vector<std::uint32_t> offsets;
    for (const read_entry& entry : entries_of(after)) offsets.push_back(entry.offset);
    EXPECT_EQ(offsets, c.offsets);
    expect_only_the_asked_changes(before, after, expected, unchanged);
    EXPECT_NE(after.find("TRAILER"), std::string::npos);
  }
}

// Random layouts: alignment, padding of random bytes, data in another order
// than the table, a trailer. Unpacking one and putting every file back
// changes no byte; a random update and delete change only what they must.
TEST_F(QvxLayoutTest, RandomLayoutsComeBackByteForByteAndEditsChangeOnlyWhatTheyMust) {
  const char* given = std::getenv("QVX_TEST_SEED");
  const unsigned seed = given != nullptr ? static_cast<unsigned>(std::strtoul(given, nullptr, 10))
                                         : std::random_device{}();
  std::printf("seed %u\n", seed);
  SCOPED_TRACE("QVX_TEST_SEED=" + std::to_string(seed));
  std::mt19937 random{seed};
  const auto below = [&](std::uint32_t n) {
    return std::uniform_int_distribution<std::uint32_t>{0, n - 1}(random);
  };
  const auto junk = [&](std::size_t n) {
    std::string bytes(n, '\0');
    for (char& c : bytes) c = static_cast<char>(below(256));
    return bytes;
  };
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const std::size_t count = 1 + below(30);
    const std::uint32_t alignment = std::array<std::uint32_t, 4>{1, 16, 512, 2048}[below(4)];
    std::vector<builder::entry_layout> records(count);
    std::vector<std::string> data(count);
    for (std::size_t i = 0; i < count; ++i) {
      records[i].name = "e" + std::to_string(i) + ".bin";
      data[i] = junk(below(4) == 0 ? 0 : below(3000));
      records[i].size = static_cast<std::uint32_t>(data[i].size());
      records[i].tag = static_cast<std::uint16_t>(below(65536));
      records[i].spare = static_cast<std::uint32_t>(random());
    }
    // The data in a random order, the last record's followed by the names.
    std::vector<std::size_t> order(count);
    for (std::size_t i = 0; i < count; ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), random);
    std::string bytes(builder::head_size(count), '\0');
    std::size_t names_at = 0;
    for (const std::size_t i : order) {
      bytes += junk(below(3) == 0 ? below(40) : 0);
      bytes.resize((bytes.size() + alignment - 1) / alignment * alignment, 'J');
      records[i].offset = static_cast<std::uint32_t>(bytes.size());
      bytes += data[i];
      if (i + 1 == count) {
        names_at = bytes.size();
        bytes += std::string(15 * count, '\0');
      }
    }
    bytes += junk(below(2) == 0 ? below(100) : 0);
    bytes.replace(0, builder::head_size(count), builder::encode_head(records));
    bytes.replace(names_at, 15 * count, builder::encode_names(records));
    write_file(work_ / "a.qvx", bytes);

    fs::create_directory(work_ / "out");
    ASSERT_EQ(qvx({"extract", "-C", "out", "a.qvx"}).exit_status, 0);
    const run_result back = qvx({"update", "a.qvx", "out"});
    ASSERT_EQ(back.exit_status, 0) << back.err;
    EXPECT_EQ(back.err, "");
    ASSERT_TRUE(read_file(work_ / "a.qvx") == bytes);

    // Some entries replaced by smaller, equal or larger data, one added.
    std::vector<read_entry> expected;
    std::vector<std::optional<std::size_t>> unchanged;
    std::vector<std::string> args = {"update", "a.qvx"};
    for (std::size_t i = 0; i < count; ++i) {
      expected.push_back({records[i].name, 0, data[i], records[i].tag, records[i].spare});
      unchanged.emplace_back(i);
      if (below(4) != 0) continue;
      expected.back().data = junk(below(5000));
      unchanged.back().reset();
      write_file(work_ / "out" / records[i].name, expected.back().data);
      args.push_back("out/" + records[i].name);
    }
    if (below(2) == 0) {
      expected.push_back({"added.bin", 0, junk(below(3000)), 0, 0});
      unchanged.emplace_back();
      write_file(work_ / "added.bin", expected.back().data);
      args.emplace_back("added.bin");
    }
    if (args.size() > 2) {
      const run_result updated = qvx(args);
      ASSERT_EQ(updated.exit_status, 0) << updated.err;
    }
    const std::string updated = read_file(work_ / "a.qvx");
    expect_only_the_asked_changes(bytes, updated, expected, unchanged);

    // Then some deleted.
    std::vector<read_entry> kept;
    std::vector<std::optional<std::size_t>> kept_from;
    args = {"delete", "a.qvx"};
    for (std::size_t i = 0; i < expected.size(); ++i) {
      if (below(3) == 0) {
        args.push_back(expected[i].name);
      } else {
        kept.push_back(expected[i]);
        kept_from.emplace_back(i);
      }
    }
    if (args.size() > 2) {
      const run_result deleted = qvx(args);
      ASSERT_EQ(deleted.exit_status, 0) << deleted.err;
      expect_only_the_asked_changes(updated, read_file(work_ / "a.qvx"), kept, kept_from);
    }
    fs::remove_all(work_ / "out");
  }
}

// -n says what would happen and changes nothing, -v says what happened;
// --no-add, a name in the wrong code page, and create over an archive are
// refused with nothing changed; repack lays the archive out as create does.
TEST_F(QvxLayoutTest, AskFirstSeeWhatWasDoneAndTheRefusals) {
  const std::string before = sector_archive();
  write_file(work_ / "a.qvx", before);
  fs::create_directory(work_ / "in");
  write_file(work_ / "in" / "title.cfg", std::string(3000, 't'));
  write_file(work_ / "in" / "hero.png", "p");
  write_file(work_ / "in" / "new.txt", "new");
  const fs::file_time_type stamp = fs::last_write_time(work_ / "a.qvx") - std::chrono::hours(5);
  fs::last_write_time(work_ / "a.qvx", stamp);
  const std::vector<std::string> update = {"update", "a.qvx", "in/title.cfg", "in/hero.png",
                                           "in/new.txt"};
  const std::string lines = console_text(
      "replaced and moved: title.cfg (entry 1, from 2048 to 14336)\n"
      "replaced in place: hero.png (entry 2, at 4096)\n"
      "added: new.txt (entry 5, at 18432)\n");
  std::vector<std::string> dry = update;
  dry.insert(dry.begin() + 1, "-n");
  const run_result asked = qvx(dry);
  EXPECT_EQ(asked.exit_status, 0) << asked.err;
  EXPECT_EQ(asked.out, lines);
  EXPECT_TRUE(read_file(work_ / "a.qvx") == before);
  EXPECT_EQ(fs::last_write_time(work_ / "a.qvx"), stamp);
  std::vector<std::string> verbose = update;
  verbose.insert(verbose.begin() + 1, "-v");
  const run_result done = qvx(verbose);
  EXPECT_EQ(done.exit_status, 0) << done.err;
  EXPECT_EQ(done.out, lines);
  const run_result deleted = qvx({"delete", "-v", "a.qvx", "new.txt"});
  EXPECT_EQ(deleted.out, console_text("deleted: new.txt (entry 5)\n"));

  const std::string now = read_file(work_ / "a.qvx");
  struct refusal {
    std::vector<std::string> args;
    std::vector<std::string> err;
  };
  write_file(work_ / "in" / "zz.txt", "z");
  const std::vector<refusal> refusals = {
      {{"update", "--no-add", "a.qvx", "in/hero.png", "in/zz.txt"},
       {"qvx: in/zz.txt: no entry is named \"zz.txt\", and --no-add is given",
        "qvx: a.qvx: not changed"}},
      {{"update", "--align", "3", "a.qvx", "in/zz.txt"},
       {"qvx: --align: must be a power of two from 1 to 65536 (see qvx update --help)"}},
      {{"create", "--align", "131072", "b.qvx", "in/zz.txt"},
       {"qvx: --align: must be a power of two from 1 to 65536 (see qvx create --help)"}},
      {{"create", "--align", "010", "b.qvx", "in/zz.txt"},
       {"qvx: --align: must be a power of two from 1 to 65536 (see qvx create --help)"}},
      {{"create", "a.qvx", "in/zz.txt"},
       {"qvx: a.qvx: is an archive already; 'qvx update' changes it, and -f replaces it"}},
      {{"delete", "--in-place", "a.qvx", "hero.png"},
       {"qvx: --in-place: delete cannot work in place: every record after a deleted one "
        "moves, which no single write can do safely; run it without --in-place"}},
  };
  for (const refusal& r : refusals) {
    SCOPED_TRACE(r.args[0] + " " + r.args[1]);
    const run_result result = qvx(r.args);
    EXPECT_EQ(result.exit_status, 2);
    expect_lines(result.err, r.err);
    EXPECT_TRUE(read_file(work_ / "a.qvx") == now);
    EXPECT_FALSE(fs::exists(work_ / "b.qvx"));
  }

  // Names in a code page, and a name that is not ASCII added without
  // --charset: the game would never find it. (The Windows program cannot
  // take that name from the ANSI code page at all.)
  if (testing_windows_build()) return;
  const std::string sjis = builder::build_archive(
      std::vector<builder::entry_content>{{"\x95\x5C.txt", "1"}, {"plain.txt", "2"}});
  write_file(work_ / "sjis.qvx", sjis);
  write_file(work_ / "in" / "\u8868.txt", "new");
  const run_result trapped = qvx({"update", "sjis.qvx", "in/\u8868.txt"}, in_utf8_locale());
  EXPECT_EQ(trapped.exit_status, 2);
  expect_lines(trapped.err,
               {"qvx: in/\u8868.txt: its name is not plain ASCII, and the archive's names are "
                "not UTF-8: they look like those of a code page; give --charset with it (CP932, "
                "CP1252...) to convert the name",
                "qvx: sjis.qvx: not changed"});
  EXPECT_TRUE(read_file(work_ / "sjis.qvx") == sjis);
  // The trap is for names brought in: an entry that keeps its own bytes may change.
  const run_result tagged = qvx({"set", "--entry", "1", "--tag", "7", "sjis.qvx"});
  EXPECT_EQ(tagged.exit_status, 0) << tagged.err;
  EXPECT_EQ(entries_of(read_file(work_ / "sjis.qvx"))[0].tag, 7);

  // repack: create's layout, order, names and fields kept, padding dropped.
  write_file(work_ / "a.qvx", before);
  const run_result repacked = qvx({"repack", "a.qvx"});
  EXPECT_EQ(repacked.exit_status, 0) << repacked.err;
  // 2048 - 58 before the first entry, 3 gaps of padding, and the trailer.
  expect_lines(repacked.err, {"qvx: a.qvx: 5729 bytes that belonged to no entry were dropped"});
  std::vector<builder::entry_content> contents;
  std::vector<builder::record_fields> fields;
  for (std::size_t i = 0; i < sector_records.size(); ++i) {
    contents.push_back({sector_records[i].name, sector_data[i]});
    fields.push_back({sector_records[i].tag, sector_records[i].spare});
  }
  EXPECT_TRUE(read_file(work_ / "a.qvx") == builder::build_archive(contents, fields));
  const run_result again = qvx({"repack", "a.qvx"});
  expect_lines(again.err, {"qvx: a.qvx: 0 bytes that belonged to no entry were dropped"});
  ASSERT_EQ(qvx({"repack", "--align", "512", "a.qvx"}).exit_status, 0);
  const std::vector<read_entry> aligned = entries_of(read_file(work_ / "a.qvx"));
  ASSERT_EQ(aligned.size(), 4U);
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(aligned[i].offset % 512, 0U);
    EXPECT_TRUE(aligned[i].data == sector_data[i]);
  }
  ASSERT_EQ(qvx({"create", "--align", "4096", "c.qvx", "in/hero.png", "in/new.txt"}).exit_status,
            0);
  EXPECT_EQ(read_file(work_ / "c.qvx"), laid_out({{"hero.png", 4096, 1}, {"new.txt", 8192, 3}},
                                                 {{4096, "p"}, {8192, "new"}}, 8195, 8195 + 30));
  // The largest alignment there is.
  ASSERT_EQ(qvx({"create", "--align", "65536", "d.qvx", "in/hero.png"}).exit_status, 0);
  EXPECT_EQ(read_file(work_ / "d.qvx"),
            laid_out({{"hero.png", 65536, 1}}, {{65536, "p"}}, 65537, 65537 + 15));
}

// Odd layouts, by hand: an empty entry is whole wherever its offset points,
// even past the end (check finds nothing wrong, an edit keeps the offset);
// an entry whose bytes lie in the table stays when nothing changes; an
// entry emptied inside another that moves does not shift the name table.
TEST_F(QvxLayoutTest, OddLayoutsByHand) {
  struct odd_case {
    const char* what;
    std::string before;
    std::vector<std::pair<std::string, std::string>> files;
    std::string after;
    bool in_place = false;
    std::vector<std::string> deleted = {};  // a delete of these instead of an update
  };
  const std::string in_table = laid_out({{"h", 0, 30}, {"b", 40, 10}, {"c", 50, 2}},
                                        {{40, std::string(10, 'b')}, {50, "cc"}}, 52, 97);
  const std::vector<odd_case> cases = {
      {"an empty entry past the end",
       laid_out({{"e", 9999, 0}, {"a", 30, 1}}, {{30, "1"}}, 31, 61),
       {{"a", "2"}},
       laid_out({{"e", 9999, 0}, {"a", 30, 1}}, {{30, "2"}}, 31, 61)},
      {"an entry in the table, nothing changed",
       laid_out({{"h", 0, 30}, {"b", 40, 10}}, {{40, std::string(10, 'b')}}, 50, 80),
       {{"b", std::string(10, 'b')}},
       laid_out({{"h", 0, 30}, {"b", 40, 10}}, {{40, std::string(10, 'b')}}, 50, 80)},
      {"new data that fill their slot exactly stay in it",
       laid_out({{"a", 30, 36}, {"b", 66, 4}}, {{30, std::string(36, 'x')}, {66, "bbbb"}}, 70, 100),
       {{"a", std::string(36, 'y')}},
       laid_out({{"a", 30, 36}, {"b", 66, 4}}, {{30, std::string(36, 'y')}, {66, "bbbb"}}, 70,
                100)},
      {"an entry that another overlaps moves, and the other keeps its bytes",
       laid_out({{"a", 30, 10}, {"b", 35, 10}}, {{30, "aaaaaoooooBBBBB"}}, 45, 75),
       {{"a", "zzzzzzzzzz"}},
       laid_out({{"a", 75, 10}, {"b", 35, 10}}, {{35, "oooooBBBBB"}, {75, "zzzzzzzzzz"}}, 45, 85)},
      {"an empty entry does not count for the alignment",
       laid_out({{"e", 13, 0}, {"d", 4096, 5}}, {{4096, "ddddd"}}, 4101, 4131),
       {{"n", "nnn"}},
       laid_out({{"e", 13, 0}, {"d", 4096, 5}, {"n", 8192, 3}}, {{4096, "ddddd"}, {8192, "nnn"}},
                8195, 8240)},
      {"an unchanged entry in the grown table's way moves with its own bytes",
       laid_out({{"a", 30, 4}, {"b", 34, 4}}, {{30, "aaaabbbb"}}, 38, 68),
       {{"a", "aaaa"}, {"c", "cc"}},
       laid_out({{"a", 44, 4}, {"b", 48, 4}, {"c", 52, 2}},
                {{44, "aaaa"}, {48, "bbbb"}, {52, "cc"}}, 54, 99)},
      {"an entry emptied inside the last, which shrinks and moves",
       laid_out({{"n0", 79, 1}, {"n1", 60, 100}}, {{60, std::string(100, 'x')}}, 160, 190),
       {{"n0", ""}, {"n1", std::string(20, 'y')}},
       laid_out({{"n0", 79, 0}, {"n1", 60, 20}}, {{60, std::string(20, 'y')}}, 80, 110)},
      {"in place, new data that fill a gap exactly go into it",
       laid_out({{"a", 40, 4}, {"b", 50, 5}}, {{40, "aaaa"}, {50, "bbbbb"}}, 55, 85),
       {{"a", std::string(10, 'y')}},
       laid_out({{"a", 30, 10}, {"b", 50, 5}},
                {{30, std::string(10, 'y')}, {40, "aaaa"}, {50, "bbbbb"}}, 55, 85),
       true},
      {"an entry before the name table of an empty last one moves, not over the names",
       laid_out({{"a", 30, 5}, {"b", 40, 0}}, {{30, "aaaaa"}}, 40, 70),
       {{"a", std::string(20, 'z')}},
       laid_out({{"a", 70, 20}, {"b", 40, 0}}, {{70, std::string(20, 'z')}}, 40, 90)},
      {"an entry that ends where the name table begins moves, not over the names",
       laid_out({{"a", 30, 10}, {"b", 40, 0}}, {{30, std::string(10, 'a')}}, 40, 70),
       {{"a", std::string(20, 'z')}},
       laid_out({{"a", 70, 20}, {"b", 40, 0}}, {{70, std::string(20, 'z')}}, 40, 90)},
      {"an entry before the name table grows into it when the last entry moves it",
       laid_out({{"a", 44, 10}, {"c", 99, 2}, {"b", 54, 0}},
                {{44, std::string(10, 'a')}, {99, "cc"}}, 54, 101),
       {{"a", std::string(20, 'z')}, {"b", "bbb"}},
       laid_out({{"a", 44, 20}, {"c", 99, 2}, {"b", 101, 3}},
                {{44, std::string(20, 'z')}, {99, "cc"}, {101, "bbb"}}, 104, 149)},
      {"what is added to an archive without data is not aligned",
       laid_out({{"e", 16, 0}}, {}, 16, 31),
       {{"n", "nnn"}},
       laid_out({{"e", 16, 0}, {"n", 30, 3}}, {{30, "nnn"}}, 33, 63)},
      {"in place, the name table of an emptied last entry takes a gap at any byte",
       laid_out({{"a", 64, 4}, {"b", 128, 4}}, {{64, "aaaa"}, {128, "bbbb"}}, 132, 162),
       {{"b", ""}},
       laid_out({{"a", 64, 4}, {"b", 30, 0}}, {{64, "aaaa"}}, 30, 68),
       true},
      {"an empty entry added at the end is not aligned",
       laid_out({{"d", 4096, 5}}, {{4096, "ddddd"}}, 4101, 4116),
       {{"e", ""}},
       laid_out({{"d", 4096, 5}, {"e", 4101, 0}}, {{4096, "ddddd"}}, 4101, 4131)},
      {"a delete moves an entry that lies in the table with its own bytes",
       in_table,
       {},
       laid_out({{"h", 80, 30}, {"b", 40, 10}},
                {{40, std::string(10, 'b')}, {80, in_table.substr(0, 30)}}, 50, 110),
       false,
       {"c"}},
  };
  fs::create_directory(work_ / "in");
  for (const odd_case& c : cases) {
    SCOPED_TRACE(c.what);
    write_file(work_ / "a.qvx", c.before);
    std::vector<std::string> args = {"update", "a.qvx"};
    if (c.in_place) args.insert(args.begin() + 1, "--in-place");
    if (!c.deleted.empty()) {
      args[0] = "delete";
      args.insert(args.end(), c.deleted.begin(), c.deleted.end());
    }
    for (const auto& file : c.files) {
      write_file(work_ / "in" / file.first, file.second);
      args.push_back("in/" + file.first);
    }
    EXPECT_EQ(qvx({"check", "a.qvx"}).exit_status, 0);
    const run_result updated = qvx(args);
    EXPECT_EQ(updated.exit_status, 0) << updated.err;
    EXPECT_TRUE(read_file(work_ / "a.qvx") == c.after);
    EXPECT_EQ(qvx({"check", "a.qvx"}).exit_status, 0);
  }
}

std::uint64_t inode_of(const fs::path& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0);
  return st.st_ino;
}

// In place: the archive's own file changes, new data go only where nothing
// lives (a slot freed before, or the end), the end is cut back when it
// frees, and what cannot be done so is refused.
TEST_F(QvxLayoutTest, InPlaceUpdatesKeepTheFileAndReuseFreedSlots) {
  const std::string before = sector_archive();
  write_file(work_ / "a.qvx", before);
  const std::uint64_t inode = inode_of(work_ / "a.qvx");
  std::vector<read_entry> expected;
  for (std::size_t i = 0; i < sector_records.size(); ++i) {
    expected.push_back({sector_records[i].name, 0, sector_data[i], sector_records[i].tag,
                        sector_records[i].spare});
  }
  fs::create_directory(work_ / "in");
  std::string previous = before;
  for (int round = 0; round < 8; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    // No gap holds 1100 bytes at 2048, but hero.png's own old slot does,
    // once it has moved out of it.
    expected[1].data = std::string(1100 + round, static_cast<char>('a' + round));
    write_file(work_ / "in" / "hero.png", expected[1].data);
    const run_result result = qvx({"update", "--in-place", "a.qvx", "in/hero.png"});
    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    const std::string now = read_file(work_ / "a.qvx");
    expect_only_the_asked_changes(previous, now, expected, {0, std::nullopt, 2, 3});
    const std::uint32_t hero = entries_of(now)[1].offset;
    EXPECT_EQ(hero, round % 2 == 0 ? 14336U : 4096U);
    EXPECT_EQ(now.size(), round % 2 == 0 ? 14336U + 1100 + round : before.size());
    EXPECT_EQ(inode_of(work_ / "a.qvx"), inode);
    previous = now;
  }
  EXPECT_EQ(list_dir(work_.path()), (std::set<std::string>{"a.qvx", "in"}));

  // Adding needs room after the table: here the first entry is right there.
  const std::string tight =
      builder::build_archive(std::vector<builder::entry_content>{{"a", "1"}, {"b", "2"}});
  write_file(work_ / "t.qvx", tight);
  write_file(work_ / "in" / "c", "3");
  const run_result refused = qvx({"update", "--in-place", "t.qvx", "in/c"});
  EXPECT_EQ(refused.exit_status, 2);
  expect_lines(refused.err, {"qvx: t.qvx: entry 1 lies where the grown entry table must go, and "
                             "cannot be moved in place; without --in-place it can be done",
                             "qvx: t.qvx: not changed"});
  EXPECT_TRUE(read_file(work_ / "t.qvx") == tight);
  // Nor may the record go over the old bytes of an entry being replaced:
  // they are live until the records change.
  const std::string one = builder::build_archive(std::vector<builder::entry_content>{{"a", "1"}});
  write_file(work_ / "o.qvx", one);
  write_file(work_ / "in" / "a", "9");
  const run_result in_use = qvx({"update", "--in-place", "o.qvx", "in/a", "in/c"});
  EXPECT_EQ(in_use.exit_status, 2);
  expect_lines(in_use.err, {"qvx: o.qvx: the entry table cannot grow in place: the bytes after it "
                            "are in use; without --in-place it can be done",
                            "qvx: o.qvx: not changed"});
  EXPECT_TRUE(read_file(work_ / "o.qvx") == one);
  // The padding after this table has room for the record.
  write_file(work_ / "in" / "new.txt", "new");
  ASSERT_EQ(qvx({"update", "--in-place", "a.qvx", "in/new.txt"}).exit_status, 0);
  expected.push_back({"new.txt", 0, "new", 0, 0});
  expect_only_the_asked_changes(previous, read_file(work_ / "a.qvx"), expected,
                                {0, 1, 2, 3, std::nullopt});
  EXPECT_EQ(inode_of(work_ / "a.qvx"), inode);
}

// In place, the records may point at new data only once those are on the
// disk: a crash between the two writes must not leave records that lead to
// bytes never written. Seen in the system calls, as strace reports them.
TEST_F(QvxLayoutTest, InPlaceTheDataReachTheDiskBeforeTheRecords) {
  if (testing_windows_build()) GTEST_SKIP() << "strace follows Linux processes";
  if (run({"strace", "-V"}, {}).exit_status != 0) GTEST_SKIP() << "no strace";
  write_file(work_ / "a.qvx", sector_archive());
  fs::create_directory(work_ / "in");
  write_file(work_ / "in" / "hero.png", std::string(1100, 'h'));
  // Each call on the archive of a traced qvx run: 'd' data, 'r' the records
  // (before byte 58), 's' a sync.
  const auto calls_of = [&](const std::vector<std::string>& args) {
    const fs::path log = work_ / "calls.txt";
    run_options in_work;
    in_work.working_directory = work_.path();
    // The leak checker cannot run under ptrace; the other checks can.
    in_work.environment["ASAN_OPTIONS"] = "halt_on_error=1:abort_on_error=1:detect_leaks=0";
    const std::string calls_traced =
        "trace=write,pwrite64,pwritev,pwritev2,copy_file_range,sendfile,fdatasync,fsync";
    std::vector<std::string> command = {"strace",     "-f", "-y",         "-o",
                                        log.string(), "-e", calls_traced, QVX_EXE};
    command.insert(command.end(), args.begin(), args.end());
    const run_result traced = run(command, in_work);
    EXPECT_EQ(traced.exit_status, 0) << traced.err;
    const std::string archive = "<" + fs::canonical(work_ / "a.qvx").string() + ">";
    std::string calls;
    std::istringstream lines{read_file(log)};
    for (std::string line; std::getline(lines, line);) {
      if (line.find(archive) == std::string::npos) continue;
      if (line.find("fdatasync(") != std::string::npos ||
          line.find("fsync(") != std::string::npos) {
        calls += 's';
      } else if (line.find("pwrite64(") != std::string::npos) {
        const std::size_t close = line.rfind(") = ");
        const std::size_t comma = line.rfind(", ", close);
        calls += std::stoull(line.substr(comma + 2, close - comma - 2)) < 58 ? 'r' : 'd';
      } else {
        calls += 'd';
      }
    }
    return calls;
  };
  const std::string calls = calls_of({"update", "--in-place", "a.qvx", "in/hero.png"});
  const std::size_t records = calls.find('r');
  ASSERT_NE(records, std::string::npos) << calls;
  EXPECT_NE(calls.find('d'), std::string::npos) << calls;
  EXPECT_EQ(calls.find('d', records), std::string::npos) << calls;
  const std::size_t synced = calls.rfind('s', records);
  ASSERT_NE(synced, std::string::npos) << calls;
  EXPECT_LT(calls.rfind('d', records), synced) << calls;
  // A new name in its field, where the name table stays, is synced too.
  const std::string renamed = calls_of({"rename", "--in-place", "a.qvx", "hero.png", "hero2.png"});
  EXPECT_NE(renamed.find('d'), std::string::npos) << renamed;
  EXPECT_TRUE(renamed.ends_with('s')) << renamed;
}

// A write in place that fails past the old end (a file size limit as a full
// disk) leaves the archive as it was, with nothing of it beyond its end.
TEST_F(QvxLayoutTest, AFailedUpdateInPlaceCutsOffWhatItWrotePastTheEnd) {
  if (testing_windows_build()) GTEST_SKIP() << "a POSIX file size limit";
  const std::string before = sector_archive();
  write_file(work_ / "a.qvx", before);
  fs::create_directory(work_ / "in");
  write_file(work_ / "in" / "hero.png", std::string(3000, 'h'));
  run_options limited;
  limited.file_size_limit = 14336 + 1000;  // where the new data go, and 1000 bytes of them
  const run_result result = qvx({"update", "--in-place", "a.qvx", "in/hero.png"}, limited);
  EXPECT_EQ(result.exit_status, 2);
  expect_lines(result.err, {"qvx: a.qvx: cannot write: ", "qvx: a.qvx: not changed"});
  EXPECT_TRUE(read_file(work_ / "a.qvx") == before);
}

// An entry may be put at the last offset a record holds, 4294967295: here
// an emptied last entry whose name table finds no room where it was.
TEST_F(QvxLayoutTest, AMovedEntryMayStartAtTheLastOffsetARecordHolds) {
  const std::vector<builder::entry_layout> records = {{"big", 30, 0xFFFFFFFFU - 30 - 35},
                                                      {"d", 0xFFFFFFFFU - 35, 5}};
  const fs::path path = work_ / "a.qvx";
  write_file(path, builder::encode_head(records));
  fs::resize_file(path, records[1].offset);
  std::ofstream{path, std::ios::binary | std::ios::app} << "ddddd"
                                                        << builder::encode_names(records);
  ASSERT_EQ(fs::file_size(path), 0xFFFFFFFFU);
  fs::create_directory(work_ / "in");
  write_file(work_ / "in" / "d", "");
  const run_result result = qvx({"update", "--in-place", "a.qvx", "in/d"});
  EXPECT_EQ(result.exit_status, 0) << result.err;
  std::string head(30, '\0');
  std::ifstream{path, std::ios::binary}.read(head.data(), 30);
  EXPECT_EQ(u32_at(head, builder::offset_field_position(1)), 0xFFFFFFFFU);
  EXPECT_EQ(u32_at(head, builder::size_field_position(1)), 0U);
  EXPECT_EQ(qvx({"list", "--names", "a.qvx"}).out, console_text("big\nd\n"));
}

// --dry-run --in-place changes nothing, so it opens the archive only to
// read: no other program sees it opened for writing.
TEST_F(QvxLayoutTest, ADryRunInPlaceOnlyReadsTheArchive) {
  if (testing_windows_build()) GTEST_SKIP() << "inotify is Linux's";
  write_file(work_ / "a.qvx", sector_archive());
  fs::create_directory(work_ / "in");
  write_file(work_ / "in" / "hero.png", "p");
  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, (work_ / "a.qvx").c_str(), IN_CLOSE_WRITE | IN_MODIFY), 0);
  const run_result dry = qvx({"update", "--dry-run", "--in-place", "a.qvx", "in/hero.png"});
  EXPECT_EQ(dry.exit_status, 0) << dry.err;
  alignas(inotify_event) char events[4096];
  EXPECT_LT(::read(watch, events, sizeof events), 0) << "the archive was opened for writing";
  ::close(watch);
}

// SIGKILL at any moment of an update in place leaves the old archive or the
// new one, every entry whole, and no other file.
TEST_F(QvxLayoutTest, AKilledUpdateInPlaceLeavesTheOldArchiveOrTheNew) {
  if (testing_windows_build()) GTEST_SKIP() << "the signals are POSIX";
  const std::vector<builder::entry_content> old_entries = {
      {"a.bin", std::string(std::size_t{4} << 20U, 'a')},
      {"big.bin", std::string(std::size_t{12} << 20U, 'b')},
      {"c.bin", std::string(std::size_t{4} << 20U, 'c')}};
  const std::string old_bytes = builder::build_archive(old_entries);
  std::vector<builder::entry_content> new_entries = old_entries;
  new_entries[1].data = std::string(std::size_t{12} << 20U, 'B');
  write_file(work_ / "big.bin", new_entries[1].data);
  const auto contents = [](const std::string& bytes) {
    std::vector<std::pair<std::string, std::string>> found;
    for (const read_entry& entry : entries_of(bytes)) found.emplace_back(entry.name, entry.data);
    return found;
  };
  const auto pairs = [](const std::vector<builder::entry_content>& entries) {
    std::vector<std::pair<std::string, std::string>> out;
    out.reserve(entries.size());
    for (const auto& entry : entries) out.emplace_back(entry.name, entry.data);
    return out;
  };
  const auto old_contents = pairs(old_entries);
  const auto new_contents = pairs(new_entries);

  // How long a whole update takes here, so that the kills fall inside one.
  write_file(work_ / "a.qvx", old_bytes);
  const auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(qvx({"update", "--in-place", "a.qvx", "big.bin"}).exit_status, 0);
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - started)
                        .count();
  std::mt19937 random{std::random_device{}()};
  int old_seen = 0;
  int new_seen = 0;
  for (int run = 0; run < 24; ++run) {
    write_file(work_ / "a.qvx", old_bytes);
    run_options options;
    options.kill_after_ms = 1 + static_cast<int>(std::uniform_int_distribution<long>{
                                    0, std::max<long>(took * 3 / 2, 2)}(random));
    SCOPED_TRACE("killed after " + std::to_string(*options.kill_after_ms) + " ms");
    const run_result result = qvx({"update", "--in-place", "a.qvx", "big.bin"}, options);
    const auto now = contents(read_file(work_ / "a.qvx"));
    const bool is_old = now == old_contents;
    const bool is_new = now == new_contents;
    EXPECT_TRUE(is_old || is_new);
    if (result.signal == 0) {
      EXPECT_TRUE(is_new) << result.err;
    }
    old_seen += is_old ? 1 : 0;
    new_seen += is_new ? 1 : 0;
    EXPECT_EQ(list_dir(work_.path()), (std::set<std::string>{"a.qvx", "big.bin"}));
  }
  std::printf("%d old, %d new, one update taking %lld ms\n", old_seen, new_seen,
              static_cast<long long>(took));
  EXPECT_GT(old_seen, 0);
}

// Editors of one archive wait for each other: every update that says it
// succeeded is in the archive, and none that failed.
TEST_F(QvxLayoutTest, ConcurrentEditorsLoseNothing) {
  constexpr int editors = 12;
  for (int k = 0; k < editors; ++k)
    write_file(work_ / ("f" + std::to_string(k)), std::to_string(k));
  for (int round = 0; round < 100; ++round) {
    write_file(work_ / "a.qvx",
               builder::build_archive(std::vector<builder::entry_content>{{"base", "x"}}));
    std::vector<run_result> results(editors);
    std::vector<std::thread> threads;
    threads.reserve(editors);
    for (int k = 0; k < editors; ++k) {
      threads.emplace_back([&, k] {
        results[k] = qvx({"update", "a.qvx", "f" + std::to_string(k)});
      });
    }
    for (std::thread& thread : threads) thread.join();
    const std::vector<read_entry> entries = entries_of(read_file(work_ / "a.qvx"));
    for (int k = 0; k < editors; ++k) {
      const std::string name = "f" + std::to_string(k);
      const bool present = std::any_of(entries.begin(), entries.end(), [&](const read_entry& e) {
        return e.name == name && e.data == std::to_string(k);
      });
      EXPECT_EQ(present, results[k].exit_status == 0)
          << "round " << round << ", " << name << ": " << results[k].err;
      EXPECT_EQ(results[k].exit_status, 0) << results[k].err;
    }
    ASSERT_FALSE(::testing::Test::HasFailure()) << "round " << round;
  }
}

}  // namespace
}  // namespace qvx::test
