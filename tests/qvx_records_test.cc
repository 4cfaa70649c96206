// End-to-end runs of how qvx picks entries (exact names, patterns,
// --literal, --entry) and of the edits of one record's fields (rename, set,
// update --tag/--spare), which change those bytes and no other.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>

#include "archive_builder.h"
#include "cli_test.h"

namespace qvx::test {
namespace {

using builder::entry_content;

class QvxRecordsTest : public ::testing::Test {
 protected:
  run_result qvx(const std::vector<std::string>& args) { return run_qvx(args, work_.path()); }

  // Runs qvx, expecting status 2, `messages` on standard error and the
  // archive as it was.
  void expect_refusal(const std::vector<std::string>& args,
                      const std::vector<std::string>& messages) {
    const std::string before = read_file(work_ / "a.qvx");
    const run_result result = qvx(args);
    EXPECT_EQ(result.exit_status, 2);
    EXPECT_EQ(result.out, "");
    expect_lines(result.err, messages);
    EXPECT_EQ(read_file(work_ / "a.qvx"), before);
  }

  scratch_dir work_;
};

// Names that read as patterns, a name that reads as an option, and a
// pattern that names no entry; each entry's data are one letter.
const std::vector<entry_content> tricky = {{"a.txt", "A"}, {"[x].txt", "B"}, {"x.txt", "C"},
                                           {"*", "D"},     {"-x", "E"},      {"b.txt", "F"}};

TEST_F(QvxRecordsTest, ExactNamesComeBeforePatternsAndLiteralAllowsNoPattern) {
  write_file(work_ / "a.qvx", builder::build_archive(tricky));
  struct row {
    std::vector<std::string> args;
    std::string out;
    int status;
  };
  const std::vector<row> rows = {
      {{"cat", "a.qvx", "[x].txt"}, "B", 0},
      {{"cat", "a.qvx", "*"}, "D", 0},
      {{"cat", "a.qvx", "--", "-x"}, "E", 0},
      {{"cat", "a.qvx", "[ab].txt"}, "AF", 0},
      {{"cat", "a.qvx", "--literal", "*", "x.txt"}, "CD", 0},
      {{"cat", "a.qvx", "--literal", "[ab].txt"}, "", 2},
      {{"cat", "a.qvx", "--literal", "?.txt"}, "", 2},
      {{"list", "--names", "a.qvx", "[x].txt"}, "[x].txt\n", 0},
      {{"list", "--names", "--literal", "a.qvx", "--", "-x", "*"}, "*\n-x\n", 0},
      {{"list", "--names", "a.qvx", "*", "--exclude", "*"}, "", 0},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.args.back());
    const run_result result = qvx(r.args);
    EXPECT_EQ(result.exit_status, r.status) << result.err;
    EXPECT_EQ(result.out, console_text(r.out));
    if (r.status == 2) expect_lines(result.err, {"qvx: " + r.args.back() + ": not in the archive"});
  }
  // Only the entry called *, not every entry, goes.
  ASSERT_EQ(qvx({"delete", "a.qvx", "*"}).exit_status, 0);
  EXPECT_EQ(qvx({"list", "--names", "a.qvx"}).out,
            console_text("a.txt\n[x].txt\nx.txt\n-x\nb.txt\n"));
  ASSERT_EQ(qvx({"delete", "--literal", "a.qvx", "[ab].txt"}).exit_status, 2);
}

// Two entries of one name, told apart by their numbers.
const std::vector<entry_content> numbered = {
    {"d.txt", "1"}, {"d.txt", "2"}, {"e", "3"}, {"f", "4"}, {"g", "5"}};

TEST_F(QvxRecordsTest, EntryNumbersPickSameNamedEntriesAndRanges) {
  write_file(work_ / "a.qvx", builder::build_archive(numbered));
  struct row {
    std::vector<std::string> entries;
    std::string out;
  };
  const std::vector<row> rows = {{{"1"}, "1"},        {{"2"}, "2"},       {{"3-5"}, "345"},
                                 {{"1,4"}, "14"},     {{"5", "1"}, "15"}, {{"2-2,5"}, "25"},
                                 {{"4", "3-4"}, "34"}};
  for (const row& r : rows) {
    std::vector<std::string> args = {"cat", "a.qvx"};
    for (const std::string& entry : r.entries) args.insert(args.end(), {"--entry", entry});
    SCOPED_TRACE(r.entries.front());
    const run_result result = qvx(args);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.out, r.out);
  }
  // The first of two entries of a name, which unpacking all would replace.
  fs::create_directory(work_ / "out");
  ASSERT_EQ(qvx({"extract", "-C", "out", "--entry", "1", "a.qvx"}).exit_status, 0);
  EXPECT_EQ(read_file(work_ / "out" / "d.txt"), "1");

  for (const std::string wrong : {"6", "4-6"}) {
    expect_refusal({"delete", "a.qvx", "--entry", wrong},
                   {"qvx: --entry " + wrong + ": no entry 6: the archive has 5 entries",
                    "qvx: a.qvx: not changed"});
  }
  for (const std::string wrong : {"0", "3-1", "x", "", "1,", "01", "-2"}) {
    SCOPED_TRACE(wrong);
    expect_refusal({"delete", "a.qvx", "--entry", wrong}, {"qvx: --entry: not entry numbers: "});
  }

  // A number removes that entry alone; a name, every entry of the name.
  ASSERT_EQ(qvx({"delete", "a.qvx", "--entry", "1"}).exit_status, 0);
  EXPECT_EQ(qvx({"cat", "a.qvx", "d.txt"}).out, "2");
  write_file(work_ / "new.bin", "replaced");
  const std::vector<std::string> wrong_count = {
      "qvx: --entry: update --entry replaces one entry with one file: give one entry number and "
      "one FILE",
      "qvx: a.qvx: not changed"};
  expect_refusal({"update", "a.qvx", "--entry", "1-2", "new.bin"}, wrong_count);
  expect_refusal({"update", "a.qvx", "--entry", "1", "new.bin", "new.bin"}, wrong_count);
  expect_refusal(
      {"update", "a.qvx", "--entry", "5", "new.bin"},
      {"qvx: --entry 5: no entry 5: the archive has 4 entries", "qvx: a.qvx: not changed"});
  ASSERT_EQ(qvx({"update", "a.qvx", "--entry", "2", "new.bin"}).exit_status, 0);
  EXPECT_EQ(qvx({"list", "--names", "a.qvx"}).out, console_text("d.txt\ne\nf\ng\n"));
  EXPECT_EQ(qvx({"cat", "a.qvx", "--entry", "2"}).out, "replaced");
}

TEST_F(QvxRecordsTest, AnEntryWithAnEmptyNameIsReportedByItsNumber) {
  write_file(work_ / "a.qvx", builder::build_archive(std::vector<entry_content>{
                                  {"ok.txt", "1"}, {"", "2"}, {"bad/name", "3"}}));
  const run_result extracted = qvx({"extract", "a.qvx"});
  EXPECT_EQ(extracted.exit_status, 1);
  expect_lines(extracted.err, {"qvx: entry 2 (empty name): ", "qvx: entry 3 \"bad/name\": "});
  const run_result checked = qvx({"check", "a.qvx"});
  EXPECT_NE(checked.out.find("entry 2 (empty name): "), std::string::npos) << checked.out;
}

// Entries out of table order, bytes of unknown meaning between them and a
// trailer: what rename and set must leave as it is.
//   44 "gap!"  48 three.txt  52 names (45 bytes)  97 "zz"  100 one.txt
//   105 "padding"  112 two.txt  115 trailer
const std::vector<builder::entry_layout> odd_records = {
    {"one.txt", 100, 5, 1, 2}, {"two.txt", 112, 3, 0xFFFF, 0xFFFFFFFF}, {"three.txt", 48, 4, 0, 0}};
std::string odd_archive() {
  return laid_out(odd_records,
                  {{44, "gap!"},
                   {48, "3333"},
                   {97, "zz"},
                   {100, "11111"},
                   {105, "padding"},
                   {112, "222"},
                   {115, "TRAILER-JUNK"}},
                  52, 127);
}

// Little-endian `value` of `width` bytes over `bytes` at `at`.
void patch(std::string& bytes, std::size_t at, std::uint32_t value, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
}

constexpr std::size_t names_at = 52;
std::size_t tag_at(std::size_t i) { return 2 + 14 * i; }
std::size_t spare_at(std::size_t i) { return 2 + 14 * i + 10; }

TEST_F(QvxRecordsTest, RenameAndSetChangeOnlyTheirBytes) {
  struct row {
    std::vector<std::string> args;  // after the command and -v
    std::function<void(std::string&)> expected;
    std::string out;
  };
  const std::vector<row> rows = {
      {{"rename", "a.qvx", "one.txt", "uno.txt"},
       [](std::string& b) {
         b.replace(names_at, 15, std::string{"uno.txt"} + std::string(8, '\0'));
       },
       "renamed one.txt -> uno.txt (entry 1)\n"},
      // 15 bytes fill the field, with no NUL.
      {{"rename", "a.qvx", "--entry", "3", "fifteen-chars.x"},
       [](std::string& b) { b.replace(names_at + 30, 15, "fifteen-chars.x"); },
       "renamed three.txt -> fifteen-chars.x (entry 3)\n"},
      {{"set", "a.qvx", "two.txt", "--tag", "0x1234"},
       [](std::string& b) { patch(b, tag_at(1), 0x1234, 2); },
       "set tag of two.txt: 0xFFFF -> 0x1234 (entry 2)\n"},
      {{"set", "a.qvx", "--entry", "1-3", "--spare", "0"},
       [](std::string& b) {
         patch(b, spare_at(0), 0, 4);
         patch(b, spare_at(1), 0, 4);
       },
       "set spare of one.txt: 0x2 -> 0x0 (entry 1)\nset spare of two.txt: 0xFFFFFFFF -> 0x0 "
       "(entry 2)\n"},
      {{"set", "a.qvx", "three.txt", "--tag", "65535", "--spare", "0xFFFFFFFF"},
       [](std::string& b) {
         patch(b, tag_at(2), 0xFFFF, 2);
         patch(b, spare_at(2), 0xFFFFFFFF, 4);
       },
       "set tag of three.txt: 0x0 -> 0xFFFF (entry 3)\nset spare of three.txt: 0x0 -> "
       "0xFFFFFFFF (entry 3)\n"},
  };
  for (const bool in_place : {false, true}) {
    for (const row& r : rows) {
      SCOPED_TRACE(r.args[0] + " " + r.args.back() + (in_place ? " in place" : ""));
      const std::string original = odd_archive();
      write_file(work_ / "a.qvx", original);
      std::vector<std::string> args = r.args;
      args.insert(args.begin() + 1, in_place ? "--in-place" : "-v");
      if (in_place) args.insert(args.begin() + 1, "-v");

      std::vector<std::string> dry = r.args;
      dry.insert(dry.begin() + 1, "-n");
      const run_result asked = qvx(dry);
      EXPECT_EQ(asked.exit_status, 0) << asked.err;
      EXPECT_EQ(asked.out, console_text(r.out));
      EXPECT_EQ(read_file(work_ / "a.qvx"), original);

      const run_result result = qvx(args);
      EXPECT_EQ(result.exit_status, 0) << result.err;
      EXPECT_EQ(result.err, "");
      EXPECT_EQ(result.out, console_text(r.out));
      std::string expected = original;
      r.expected(expected);
      EXPECT_EQ(read_file(work_ / "a.qvx"), expected);
    }
  }
}

TEST_F(QvxRecordsTest, ANewNameMustPassTheNameRules) {
  write_file(work_ / "a.qvx", builder::build_archive(std::vector<entry_content>{
                                  {"a.txt", "1"}, {"b.txt", "2"}, {"b.txt", "3"}}));
  struct row {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<row> rows = {
      {{"a.txt", "sixteen-chars.xy"},
       "qvx: sixteen-chars.xy: cannot be the new name: it is 16 bytes long; at most 15 fit"},
      {{"a.txt", "d/e"}, "qvx: d/e: cannot be the new name: it would be refused: "},
      {{"a.txt", ""}, "qvx: : cannot be the new name: it would be refused: empty name"},
      {{"a.txt", "B.TXT"},
       "qvx: B.TXT: cannot be the new name: it differs from that of entry 2 \"b.txt\" only in "
       "case, which Windows ignores"},
      {{"a.txt", "b.txt"}, "qvx: b.txt: cannot be the new name: entry 2 has it"},
      {{"b.txt", "c.txt"}, "qvx: b.txt: 2 entries have this name; choose one with --entry N"},
      {{"c.txt", "d.txt"}, "qvx: c.txt: not in the archive"},
      {{"--entry", "4", "d.txt"}, "qvx: --entry 4: no entry 4: the archive has 3 entries"},
  };
  for (const row& r : rows) {
    std::vector<std::string> args = {"rename", "a.qvx"};
    args.insert(args.end(), r.args.begin(), r.args.end());
    SCOPED_TRACE(r.message);
    expect_refusal(args, {r.message, "qvx: a.qvx: not changed"});
  }
  // Its own name in other case is no other entry's.
  ASSERT_EQ(qvx({"rename", "a.qvx", "a.txt", "A.TXT"}).exit_status, 0);
  EXPECT_EQ(qvx({"list", "--names", "a.qvx"}).out, console_text("A.TXT\nb.txt\nb.txt\n"));
}

TEST_F(QvxRecordsTest, RecordFieldsTakeDecimalOrHexWithinTheirWidth) {
  write_file(work_ / "a.qvx", builder::build_archive(std::vector<entry_content>{{"a", "1"}}));
  const std::string tag =
      "qvx: --tag: must be a number from 0 to 65535, in decimal or as 0x followed by "
      "hexadecimal digits (see qvx set --help)";
  const std::string spare =
      "qvx: --spare: must be a number from 0 to 4294967295, in decimal or as 0x followed by "
      "hexadecimal digits (see qvx set --help)";
  for (const auto& [option, value] :
       std::vector<std::pair<std::string, std::string>>{{"--tag", "0x1g"},
                                                        {"--tag", "-1"},
                                                        {"--tag", "65536"},
                                                        {"--tag", "010"},
                                                        {"--tag", "1.0"},
                                                        {"--tag", ""},
                                                        {"--spare", "4294967296"},
                                                        {"--spare", "0x100000000"},
                                                        {"--spare", "+5"}}) {
    SCOPED_TRACE(option);
    SCOPED_TRACE(value);
    expect_refusal({"set", "a.qvx", "a", option, value}, {option == "--tag" ? tag : spare});
  }
  expect_refusal({"set", "a.qvx", "a"}, {"qvx: set: give --tag, --spare or both"});

  // update sets them for what it adds, not for what it replaces.
  write_file(work_ / "a", "new");
  write_file(work_ / "b", "added");
  ASSERT_EQ(
      qvx({"update", "a.qvx", "a", "b", "--tag", "0x10", "--spare", "4294967295"}).exit_status, 0);
  const nlohmann::json listed = nlohmann::json::parse(qvx({"list", "--json", "a.qvx"}).out);
  ASSERT_EQ(listed.size(), 2U);
  EXPECT_EQ(listed[0]["tag"], 0);
  EXPECT_EQ(listed[0]["spare"], 0);
  EXPECT_EQ(listed[1]["name"], "b");
  EXPECT_EQ(listed[1]["tag"], 16);
  EXPECT_EQ(listed[1]["spare"], 4294967295U);
}

}  // namespace
}  // namespace qvx::test
