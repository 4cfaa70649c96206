// qvx diff on archives built to differ in one way each: the lines it
// prints, the JSON it gives scripts, and its status, as cmp and diff give it.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "archive_builder.h"
#include "cli_test.h"

namespace qvx::test {
namespace {

using builder::entry_content;
using builder::record_fields;

std::string archive_of(const std::vector<entry_content>& entries) {
  return builder::build_archive(entries);
}

const std::vector<entry_content> base = {{"a.txt", "AAA"}, {"b.txt", "BB"}, {"c.txt", "C"}};

// The same entries as `base` (which has them at 44, 47 and 49), each
// somewhere else, with a gap between them.
std::string base_laid_out_anew() {
  return laid_out({{"a.txt", 64, 3}, {"b.txt", 48, 2}, {"c.txt", 80, 1}},
                  {{64, "AAA"}, {48, "BB"}, {80, "C"}}, 81, 81 + 45);
}

// A large entry differs only in its last byte, well past the first chunk read.
std::string big_data(char last) {
  std::string data(200000, 'x');
  data.back() = last;
  return data;
}

struct diff_case {
  const char* what;
  std::string old_bytes;
  std::string new_bytes;
  std::vector<std::string> options;
  int status;
  std::string out;
};

TEST(QvxDiffTest, EachKindOfDifferenceIsOneLineAndSetsTheStatus) {
  const std::vector<record_fields> plain(3);
  const std::vector<record_fields> fields = {{2, 0}, {0, 0xDEADBEEF}, {0, 0}};
  const diff_case cases[] = {
      {"identical", archive_of(base), archive_of(base), {}, 0, ""},
      {"another layout", archive_of(base), base_laid_out_anew(), {}, 0, ""},
      {"another layout, -v",
       archive_of(base),
       base_laid_out_anew(),
       {"-v"},
       0,
       "moved    a.txt: offset 44 -> 64\n"
       "moved    b.txt: offset 47 -> 48\n"
       "moved    c.txt: offset 49 -> 80\n"},
      // Every offset moves by a record: not a difference.
      {"added",
       archive_of(base),
       archive_of({{"a.txt", "AAA"}, {"b.txt", "BB"}, {"c.txt", "C"}, {"d.txt", "DDDD"}}),
       {},
       1,
       "added    d.txt: 4 bytes\n"},
      {"removed",
       archive_of(base),
       archive_of({{"a.txt", "AAA"}, {"c.txt", "C"}}),
       {},
       1,
       "removed  b.txt: 2 bytes\n"},
      {"same size",
       archive_of(base),
       archive_of({{"a.txt", "AAA"}, {"b.txt", "Bb"}, {"c.txt", "C"}}),
       {},
       1,
       "changed  b.txt: 2 -> 2 bytes\n"},
      {"another size, moved too",
       archive_of(base),
       archive_of({{"a.txt", "A"}, {"b.txt", "BB"}, {"c.txt", "C"}}),
       {"--verbose"},
       1,
       "changed  a.txt: 3 -> 1 bytes\n"
       "moved    b.txt: offset 47 -> 45\n"
       "moved    c.txt: offset 49 -> 47\n"},
      {"tag and spare",
       builder::build_archive(base, plain),
       builder::build_archive(base, fields),
       {},
       1,
       "tag      a.txt: 0x0 -> 0x2\n"
       "spare    b.txt: 0x0 -> 0xdeadbeef\n"},
      // The n-th x by the n-th x: the first alike, the second changed, the
      // third new.
      {"duplicated names",
       archive_of({{"x", "1"}, {"y", "2"}, {"x", "3"}}),
       archive_of({{"x", "1"}, {"x", "4"}, {"x", "5"}}),
       {},
       1,
       "removed  y: 1 bytes\n"
       "changed  x: 1 -> 1 bytes\n"
       "added    x: 1 bytes\n"},
      {"large, last byte",
       archive_of({{"big", big_data('x')}}),
       archive_of({{"big", big_data('y')}}),
       {},
       1,
       "changed  big: 200000 -> 200000 bytes\n"},
      {"large, alike",
       archive_of({{"big", big_data('y')}}),
       archive_of({{"big", big_data('y')}}),
       {},
       0,
       ""},
  };
  for (const diff_case& c : cases) {
    SCOPED_TRACE(c.what);
    const scratch_dir work;
    write_file(work / "old.qvx", c.old_bytes);
    write_file(work / "new.qvx", c.new_bytes);
    std::vector<std::string> args = {"diff", "old.qvx", "new.qvx"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const run_result result = run_qvx(args, work.path());
    EXPECT_EQ(result.exit_status, c.status) << result.err;
    EXPECT_EQ(result.out, console_text(c.out));
    EXPECT_EQ(result.err, "");
  }
}

TEST(QvxDiffTest, JsonGivesOneObjectPerDifferenceWithTheNamesBytes) {
  const scratch_dir work;
  const std::string odd = "\xE9t\xE9";  // not UTF-8
  write_file(work / "old.qvx",
             builder::build_archive(std::vector<entry_content>{{odd, "1"}, {"gone", "22"}},
                                    std::vector<record_fields>{{1, 0}, {0, 0}}));
  write_file(work / "new.qvx",
             builder::build_archive(std::vector<entry_content>{{odd, "1"}, {"new", "333"}},
                                    std::vector<record_fields>{{7, 0}, {0, 0}}));
  const run_result result = run_qvx({"diff", "--json", "old.qvx", "new.qvx"}, work.path());
  EXPECT_EQ(result.exit_status, 1) << result.err;
  std::istringstream lines{result.out};
  std::vector<nlohmann::json> objects;
  for (std::string line; std::getline(lines, line);) objects.push_back(nlohmann::json::parse(line));
  ASSERT_EQ(objects.size(), 3U) << result.out;
  EXPECT_EQ(objects[0], nlohmann::json::parse(R"({"kind": "tag", "name": "\ufffdt\ufffd",
      "name_hex": "e974e9", "old_number": 1, "new_number": 1, "old": 1, "new": 7})"));
  EXPECT_EQ(objects[1], nlohmann::json::parse(R"({"kind": "removed", "name": "gone",
      "name_hex": "676f6e65", "old_number": 2, "old": 2})"));
  EXPECT_EQ(objects[2], nlohmann::json::parse(R"({"kind": "added", "name": "new",
      "name_hex": "6e6577", "new_number": 2, "new": 3})"));
}

TEST(QvxDiffTest, WhatCannotBeComparedIsTroubleAndSaysWhich) {
  const scratch_dir work;
  write_file(work / "good.qvx", archive_of(base));
  write_file(work / "notes.txt", "not an archive, only notes");
  // b.txt claims 1000 bytes; the file holds 48 from its offset on.
  std::string cut = archive_of(base);
  builder::put_u32(cut, builder::size_field_position(1), 1000);
  write_file(work / "cut.qvx", cut);
  const struct {
    std::vector<std::string> args;
    std::string out;
    std::vector<std::string> err;
  } cases[] = {
      {{"diff", "missing.qvx", "good.qvx"}, "", {"qvx: missing.qvx: cannot open: "}},
      {{"diff", "good.qvx", "notes.txt"}, "", {"qvx: notes.txt: "}},
      {{"diff", "good.qvx"}, "", {"qvx: diff needs OTHER (see qvx diff --help)"}},
      // What can be compared still is: the sizes differ without a read.
      {{"diff", "cut.qvx", "good.qvx"},
       "changed  b.txt: 1000 -> 2 bytes\n",
       {"qvx: cut.qvx: entry 2 \"b.txt\": runs past the end of the archive: 952 of its 1000 "
        "bytes are missing"}},
      {{"diff", "cut.qvx", "cut.qvx"},
       "",
       {"qvx: cut.qvx: entry 2 \"b.txt\": runs past the end of the archive: 952 of its 1000 "
        "bytes are missing",
        "qvx: cut.qvx: entry 2 \"b.txt\": runs past the end of the archive: 952 of its 1000 "
        "bytes are missing"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[1] + " " + c.args.back());
    const run_result result = run_qvx(c.args, work.path());
    EXPECT_EQ(result.exit_status, 2);
    EXPECT_EQ(result.out, console_text(c.out));
    expect_lines(result.err, c.err);
  }

  // An entry that ends at the archive's last byte is whole: here b.txt
  // holds the last two bytes of the name table.
  write_file(work / "end.qvx", laid_out({{"a.txt", 44, 3}, {"b.txt", 91, 2}, {"c.txt", 47, 1}},
                                        {{44, "AAA"}, {47, "C"}}, 48, 48 + 45));
  const run_result whole = run_qvx({"diff", "end.qvx", "end.qvx"}, work.path());
  EXPECT_EQ(whole.exit_status, 0) << whole.err;

  if (testing_windows_build()) return;  // a pipe without a reader
  // A report that did not arrive says nothing of the archives.
  write_file(work / "other.qvx", archive_of({{"a.txt", "AAA"}}));
  run_options closed;
  closed.stdout_closed = true;
  const run_result gone = run_qvx({"diff", "good.qvx", "other.qvx"}, work.path(), closed);
  EXPECT_EQ(gone.exit_status, 2);
  expect_lines(gone.err, {"qvx: standard output: write error"});
}

}  // namespace
}  // namespace qvx::test
