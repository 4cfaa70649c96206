// End-to-end runs of qvx's commands: their output, diagnostics, exit status
// and the files they leave, including every refusal of create and every
// failure of extract.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "archive_builder.h"
#include "cli_test.h"

namespace qvx::test {
namespace {

using builder::entry_content;

class QvxTest : public ::testing::Test {
 protected:
  std::string put_archive(const std::vector<entry_content>& entries) {
    return put_archive_bytes(builder::build_archive(entries));
  }
  std::string put_archive_bytes(const std::string& bytes) {
    write_file(place_ / "input.qvx", bytes);
    return (place_ / "input.qvx").string();
  }

  scratch_dir place_;
  scratch_dir work_;
};

const std::vector<entry_content> three = {{"a.txt", "A"}, {"b.txt", "BB"}, {"-dash", "D"}};

TEST_F(QvxTest, HelpVersionAndUsageErrors) {
  EXPECT_EQ(run_qvx({"--version"}, work_.path()).out, console_text("qvx 1.1\n"));
  EXPECT_EQ(run_qvx({"help"}, work_.path()).out, run_qvx({"--help"}, work_.path()).out);
  for (const char* command : {"list", "check", "extract", "create", "update", "delete"}) {
    const run_result help = run_qvx({command, "--help"}, work_.path());
    EXPECT_EQ(help.exit_status, 0);
    EXPECT_NE(help.out.find(std::string{"Usage: qvx "} + command), std::string::npos) << help.out;
    // The help of `help COMMAND` is the command's own, without parser words.
    EXPECT_EQ(run_qvx({"help", command}, work_.path()).out, help.out);
    EXPECT_EQ(help.out.find("REQUIRED"), std::string::npos) << help.out;
    EXPECT_EQ(help.out.find("TEXT"), std::string::npos) << help.out;
    EXPECT_EQ(run_qvx({command, "--version"}, work_.path()).out, console_text("qvx 1.1\n"));
  }
  const std::pair<std::vector<std::string>, std::string> errors[] = {
      {{}, "qvx: no command given (see qvx --help)"},
      // Other archivers' words, and typing mistakes, get the command meant.
      {{"ls", "a.qvx"}, "qvx: 'ls' is not a command; did you mean 'list'? (see qvx --help)"},
      {{"add", "a.qvx"}, "qvx: 'add' is not a command; did you mean 'update'? (see qvx --help)"},
      {{"rm", "a.qvx"}, "qvx: 'rm' is not a command; did you mean 'delete'? (see qvx --help)"},
      {{"x", "a.qvx"}, "qvx: 'x' is not a command; did you mean 'extract'? (see qvx --help)"},
      {{"udpate"}, "qvx: 'udpate' is not a command; did you mean 'update'? (see qvx --help)"},
      {{"extarct"}, "qvx: 'extarct' is not a command; did you mean 'extract'? (see qvx --help)"},
      {{"crate"}, "qvx: 'crate' is not a command; did you mean 'create'? (see qvx --help)"},
      {{"rnemae"}, "qvx: 'rnemae' is not a command; did you mean 'rename'? (see qvx --help)"},
      {{"lxyz"}, "qvx: 'lxyz' is not a command (see qvx --help)"},
      {{"zip", "a.qvx"}, "qvx: 'zip' is not a command (see qvx --help)"},
      {{"a.qvx", "list"}, "qvx: the command comes first: qvx list a.qvx ... (see qvx --help)"},
      {{"help", "ls"}, "qvx: 'ls' is not a command; did you mean 'list'? (see qvx --help)"},
      {{"list"}, "qvx: list needs ARCHIVE (see qvx list --help)"},
      {{"create", "a.qvx"}, "qvx: create needs FILE (see qvx create --help)"},
      {{"update", "a.qvx"}, "qvx: update needs FILE (see qvx update --help)"},
      {{"delete", "a.qvx"}, "qvx: delete needs NAME (see qvx delete --help)"},
      {{"extract", "a.qvx", "-C"}, "qvx: --directory needs a value (see qvx extract --help)"},
      {{"extract", "a.qvx", "--bogus"},
       "qvx: extract does not take --bogus (see qvx extract --help)"},
      // An unknown option is what is wrong, not the ARCHIVE or NAME after it.
      {{"list", "-x"}, "qvx: list does not take -x (see qvx list --help)"},
      {{"cat", "a.qvx", "-k"}, "qvx: cat does not take -k (see qvx cat --help)"},
      {{"check", "a.qvx", "b", "[x]"}, "qvx: check does not take b [x] (see qvx check --help)"},
      {{"list", "--hex", "--json", "a.qvx"},
       "qvx: --json and --hex cannot be given together (see qvx list --help)"},
      {{"extract", "-C", ".", "-C", ".", "a.qvx"},
       "qvx: --directory may be given only once (see qvx extract --help)"},
      {{"create", "-T", "-", "-T", "list", "a.qvx"},
       "qvx: --files-from may be given only once (see qvx create --help)"},
      {{"list", "--json", "--names", "a.qvx"},
       "qvx: --json and --names cannot be given together (see qvx list --help)"},
  };
  for (const auto& [args, message] : errors) {
    const run_result result = run_qvx(args, work_.path());
    EXPECT_EQ(result.exit_status, 2);
    expect_lines(result.err, {message});
  }
  EXPECT_TRUE(list_dir(work_.path()).empty());
}

TEST_F(QvxTest, ListShowsEveryEntrySafelyAndWritesNothing) {
  const std::string archive =
      put_archive({{"hello.txt", "Hello"}, {"\x1B[2Jx", "ab"}, {"caf\xE9", ""}});
  const run_result text = run_qvx({"list", archive}, work_.path());
  EXPECT_EQ(text.exit_status, 0) << text.err;
  EXPECT_EQ(text.out,
            console_text("    #  name                 offset        size    tag       spare\n"
                         "    1  hello.txt                44           5      0           0\n"
                         "    2  ?[2Jx                    49           2      0           0\n"
                         "    3  caf\xE9                     51           0      0           0\n"
                         "3 entries, 7 bytes\n"));

  const run_result json = run_qvx({"list", "--json", archive}, work_.path());
  EXPECT_EQ(json.exit_status, 0) << json.err;
  EXPECT_EQ(json.out.find('\x1B'), std::string::npos);
  const nlohmann::json entries = nlohmann::json::parse(json.out);
  ASSERT_EQ(entries.size(), 3U) << json.out;
  EXPECT_EQ(entries[1]["number"], 2);
  EXPECT_EQ(entries[1]["name"], "\x1B[2Jx");
  EXPECT_EQ(entries[1]["name_hex"], "1b5b324a78");
  EXPECT_EQ(entries[2]["name"], "caf\xEF\xBF\xBD");  // U+FFFD for the lone byte
  EXPECT_EQ(entries[2]["name_hex"], "636166e9");
  EXPECT_EQ(entries[2]["offset"], 51);
  EXPECT_EQ(entries[2]["size"], 0);
  EXPECT_TRUE(list_dir(work_.path()).empty());
}

TEST_F(QvxTest, CheckReportsEveryProblemAndNotesOverlaps) {
  std::string bytes = builder::build_archive(std::vector<entry_content>{{"ok", "data1"},
                                                                        {"../up", "x"},
                                                                        {"CON", "y"},
                                                                        {"ok", "z"},
                                                                        {"OK", "w"},
                                                                        {"past", ""},
                                                                        {"last", ""}});
  builder::put_u32(bytes, builder::offset_field_position(3), 100);  // inside entry 1's data
  builder::put_u32(bytes, builder::size_field_position(3), 2);
  builder::put_u32(bytes, builder::size_field_position(5), 1000);  // 105 bytes follow it
  const run_result result = run_qvx({"check", put_archive_bytes(bytes)}, work_.path());
  EXPECT_EQ(result.exit_status, 1) << result.err;
  EXPECT_EQ(result.out,
            console_text(
                "entry 2 \"../up\": name would be refused: name contains a path separator\n"
                "entry 3 \"CON\": name would be refused on Windows: name is a Windows device name\n"
                "entry 4 \"ok\": same name as entry 1; only the later one is left when unpacked\n"
                "entry 5 \"OK\": same name as entry 1 when case is ignored, as on Windows\n"
                "entry 6 \"past\": runs past the end of the archive: 895 of its 1000 bytes are "
                "missing\n"
                "note: entry 1 \"ok\" overlaps entry 4 \"ok\" by 2 bytes\n"
                "7 entries, 5 problems, 1 overlap\n"));

  // Overlaps alone are no problem, nor is data that ends where the file does.
  std::string overlapping = builder::build_archive(three);
  builder::put_u32(overlapping, builder::size_field_position(0), 2);   // a.txt reaches into b.txt
  builder::put_u32(overlapping, builder::size_field_position(1), 48);  // b.txt to the last byte
  // Every pair is noted, also one that lies inside a third entry, and of
  // pairs that end at one byte.
  const std::string same_end =
      laid_out({{"one", 44, 10}, {"six", 49, 1}, {"two", 46, 8}}, {}, 54, 99);
  const std::string nested =
      laid_out({{"o1", 50, 150}, {"o2", 100, 150}, {"o3", 50, 200}}, {}, 250, 295);
  // Pairs beyond the first thousand are counted, not shown.
  std::vector<builder::entry_layout> crowd;
  for (std::size_t i = 0; i < 47; ++i) crowd.push_back({"c" + std::to_string(i), 1000, 2});
  const std::string crowded = laid_out(crowd, {}, 1002, 1002 + 15 * crowd.size());
  std::string first_thousand;
  std::size_t noted = 0;
  for (std::size_t i = 1; i < crowd.size(); ++i) {
    for (std::size_t j = 0; j < i && noted++ < 1000; ++j) {
      first_thousand += "note: entry " + std::to_string(j + 1) + " \"c" + std::to_string(j) +
                        "\" overlaps entry " + std::to_string(i + 1) + " \"c" + std::to_string(i) +
                        "\" by 2 bytes\n";
    }
  }
  const struct {
    std::string archive;
    std::string notes;
  } overlaps[] = {
      {overlapping,
       "note: entry 1 \"a.txt\" overlaps entry 2 \"b.txt\" by 1 byte\n"
       "note: entry 2 \"b.txt\" overlaps entry 3 \"-dash\" by 1 byte\n"
       "3 entries, 0 problems, 2 overlaps\n"},
      {same_end,
       "note: entry 1 \"one\" overlaps entry 3 \"two\" by 8 bytes\n"
       "note: entry 1 \"one\" overlaps entry 2 \"six\" by 1 byte\n"
       "note: entry 2 \"six\" overlaps entry 3 \"two\" by 1 byte\n"
       "3 entries, 0 problems, 3 overlaps\n"},
      {nested,
       "note: entry 1 \"o1\" overlaps entry 3 \"o3\" by 150 bytes\n"
       "note: entry 1 \"o1\" overlaps entry 2 \"o2\" by 100 bytes\n"
       "note: entry 2 \"o2\" overlaps entry 3 \"o3\" by 150 bytes\n"
       "3 entries, 0 problems, 3 overlaps\n"},
      {crowded, first_thousand + "note: 81 more overlaps not shown\n"
                                 "47 entries, 0 problems, 1081 overlaps\n"},
  };
  for (const auto& [archive, notes] : overlaps) {
    const run_result only_overlap = run_qvx({"check", put_archive_bytes(archive)}, work_.path());
    EXPECT_EQ(only_overlap.exit_status, 0);
    EXPECT_EQ(only_overlap.out, console_text(notes));
  }

  const run_result unreadable =
      run_qvx({"check", put_archive_bytes(bytes.substr(0, 50))}, work_.path());
  EXPECT_EQ(unreadable.exit_status, 2);
  EXPECT_EQ(unreadable.out, "");
  expect_lines(unreadable.err, {"qvx: " + (place_ / "input.qvx").string() + ": "});
  EXPECT_TRUE(list_dir(work_.path()).empty());
}

// A file whose directory cannot be there is said to be no archive, with the
// reason, by every command that reads one.
TEST_F(QvxTest, AFileThatCannotBeAnArchiveIsSaidToBeNone) {
  const std::string archive = builder::build_archive(three);
  std::string far_names = archive;
  builder::put_u32(far_names, builder::offset_field_position(2), 5000);
  const std::string text(300, '#');  // 0x2323 = 8995 entries: 125932 bytes of records
  // Whole records without their names: most likely an archive cut short.
  const std::string salvage_hint =
      "; if it was cut short, list --salvage and extract --salvage read what it holds";
  const std::pair<std::string, std::string> cases[] = {
      {"", "the file ends inside the entry count (0 bytes, 2 needed)"},
      {text, "the file ends inside the entry table (300 bytes, 125932 needed)"},
      {archive.substr(0, archive.size() - 5),
       "the file ends inside the name table (" + std::to_string(archive.size() - 5) + " bytes, " +
           std::to_string(archive.size()) + " needed)" + salvage_hint},
      {far_names,
       "the name table's position " + std::to_string(5000 + 1) +  // "-dash" holds one byte
           " lies at or beyond the end of the file (" + std::to_string(archive.size()) + " bytes)" +
           salvage_hint},
  };
  for (const auto& [bytes, reason] : cases) {
    const std::string path = put_archive_bytes(bytes);
    for (const char* command : {"list", "extract"}) {
      const run_result result = run_qvx({command, path}, work_.path());
      EXPECT_EQ(result.exit_status, 2);
      EXPECT_EQ(result.err, console_text("qvx: " + path +
                                         ": not a QVX archive: " + std::string{reason} + "\n"));
    }
  }
  EXPECT_TRUE(list_dir(work_.path()).empty());
}

// --salvage reads what an archive cut short in each of its parts still
// holds: the records that are whole, the names that are, and for the rest
// names made of their numbers.
TEST_F(QvxTest, SalvageReadsWhatACutArchiveStillHolds) {
  // Count and records end at 44; data "A", "BB", "D" at 44, 45, 47; names at 48.
  const std::string archive = builder::build_archive(three);
  ASSERT_EQ(archive.size(), 93U);
  const std::string table = "    #  name                 offset        size    tag       spare\n";
  const struct {
    std::size_t length;
    std::string out;
    std::vector<std::string> err;
  } cuts[] = {
      {30,
       table + "    1  entry-00001              44           1      0           0\n"
               "    2  entry-00002              45           2      0           0\n"
               "2 entries, 3 bytes\n",
       {": salvaging: the file ends inside the entry table (30 bytes, 44 needed): 2 of 3 records "
        "and 0 names read; the entries without a name are called entry-NNNNN",
        "entry-00001: cut short: 0 of its 1 bytes are in the archive",
        "entry-00002: cut short: 0 of its 2 bytes are in the archive",
        ": salvaged 0 of 3 entries whole, 2 cut short"}},
      {46,
       table + "    1  entry-00001              44           1      0           0\n"
               "    2  entry-00002              45           2      0           0\n"
               "    3  entry-00003              47           1      0           0\n"
               "3 entries, 4 bytes\n",
       {": salvaging: the name table's position 48 lies at or beyond the end of the file (46 "
        "bytes): 3 of 3 records and 0 names read; the entries without a name are called "
        "entry-NNNNN",
        "entry-00002: cut short: 1 of its 2 bytes are in the archive",
        "entry-00003: cut short: 0 of its 1 bytes are in the archive",
        ": salvaged 1 of 3 entries whole, 2 cut short"}},
      {47,
       table + "    1  entry-00001              44           1      0           0\n"
               "    2  entry-00002              45           2      0           0\n"
               "    3  entry-00003              47           1      0           0\n"
               "3 entries, 4 bytes\n",
       {": salvaging: the name table's position 48 lies at or beyond the end of the file (47 "
        "bytes): 3 of 3 records and 0 names read; the entries without a name are called "
        "entry-NNNNN",
        "entry-00003: cut short: 0 of its 1 bytes are in the archive",
        ": salvaged 2 of 3 entries whole, 1 cut short"}},
      // The second name is cut after its NUL, so it is whole.
      {70,
       table + "    1  a.txt                    44           1      0           0\n"
               "    2  b.txt                    45           2      0           0\n"
               "    3  entry-00003              47           1      0           0\n"
               "3 entries, 4 bytes\n",
       {": salvaging: the file ends inside the name table (70 bytes, 93 needed): 3 of 3 records "
        "and 2 names read; the entries without a name are called entry-NNNNN",
        ": salvaged 3 of 3 entries whole"}},
      {92,
       table + "    1  a.txt                    44           1      0           0\n"
               "    2  b.txt                    45           2      0           0\n"
               "    3  -dash                    47           1      0           0\n"
               "3 entries, 4 bytes\n",
       {": salvaging: the file ends inside the name table (92 bytes, 93 needed): 3 of 3 records "
        "and 3 names read",
        ": salvaged 3 of 3 entries whole"}},
      {93,
       table + "    1  a.txt                    44           1      0           0\n"
               "    2  b.txt                    45           2      0           0\n"
               "    3  -dash                    47           1      0           0\n"
               "3 entries, 4 bytes\n",
       {}},
  };
  for (const auto& [length, out, err] : cuts) {
    SCOPED_TRACE(length);
    const std::string path = put_archive_bytes(archive.substr(0, length));
    const run_result listed = run_qvx({"list", "--salvage", path}, work_.path());
    EXPECT_EQ(listed.exit_status, err.empty() ? 0 : 1);
    EXPECT_EQ(listed.out, console_text(out));
    std::vector<std::string> lines;
    lines.reserve(err.size());
    for (const std::string& line : err) {
      lines.push_back("qvx: " + (line.starts_with(":") ? path + line : line));
    }
    expect_lines(listed.err, lines);
  }
  const run_result nothing =
      run_qvx({"list", "--salvage", put_archive_bytes(archive.substr(0, 1))}, work_.path());
  EXPECT_EQ(nothing.exit_status, 2);
  EXPECT_EQ(nothing.out, "");
  // With the table cut short there is no name table to read, even where the
  // last whole record points inside the file.
  const std::string early =
      laid_out({{"a.txt", 2, 2}, {"b.txt", 4, 2}, {"c.txt", 44, 1}}, {}, 45, 90);
  const run_result unnamed = run_qvx(
      {"list", "--salvage", "--names", put_archive_bytes(early.substr(0, 30))}, work_.path());
  EXPECT_EQ(unnamed.exit_status, 1);
  EXPECT_EQ(unnamed.out, console_text("entry-00001\nentry-00002\n"));
  // A name that fills its field holds no NUL and is whole all the same.
  const std::string full = laid_out({{"fifteen-letters", 30, 1}, {"b.txt", 31, 1}}, {}, 32, 62);
  const run_result named = run_qvx(
      {"list", "--salvage", "--names", put_archive_bytes(full.substr(0, 50))}, work_.path());
  EXPECT_EQ(named.exit_status, 1);
  EXPECT_EQ(named.out, console_text("fifteen-letters\nentry-00002\n"));

  // Extracted, an entry cut short goes only where no file has its name.
  write_file(work_ / "entry-00002", "kept");
  const run_result extracted =
      run_qvx({"extract", "--salvage", put_archive_bytes(archive.substr(0, 46))}, work_.path());
  EXPECT_EQ(extracted.exit_status, 1);
  EXPECT_EQ(read_file(work_ / "entry-00001"), "A");
  EXPECT_EQ(read_file(work_ / "entry-00002"), "kept");
  EXPECT_EQ(read_file(work_ / "entry-00003"), "");
}

TEST_F(QvxTest, ExtractWritesTheNamedEntriesIntoTheDirectory) {
  const std::string archive = put_archive(three);
  fs::create_directory(work_ / "out");
  const run_result some =
      run_qvx({"extract", "-v", archive, "-C", "out", "--", "a.txt", "-dash"}, work_.path());
  EXPECT_EQ(some.exit_status, 0) << some.err;
  EXPECT_EQ(some.out, console_text("a.txt\n-dash\n"));
  EXPECT_EQ(list_dir(work_ / "out"), (std::set<std::string>{"a.txt", "-dash"}));
  EXPECT_EQ(read_file(work_ / "out" / "-dash"), "D");

  const run_result all = run_qvx({"extract", archive}, work_ / "out");
  EXPECT_EQ(all.exit_status, 0) << all.err;
  EXPECT_EQ(all.out, "");
  EXPECT_EQ(read_file(work_ / "out" / "b.txt"), "BB");
  EXPECT_EQ(list_dir(work_.path()), (std::set<std::string>{"out"}));
}

TEST_F(QvxTest, ExtractFailuresAndTheirStatus) {
  const std::string archive = put_archive(three);
  write_file(work_ / "a.txt", "mine");

  const run_result missing_dir = run_qvx({"extract", archive, "-C", "nowhere"}, work_.path());
  EXPECT_EQ(missing_dir.exit_status, 2);
  expect_lines(missing_dir.err, {"qvx: nowhere: cannot unpack into it: "});
  const run_result file_as_dir = run_qvx({"extract", archive, "-C", "a.txt"}, work_.path());
  EXPECT_EQ(file_as_dir.exit_status, 2);
  expect_lines(file_as_dir.err, {"qvx: a.txt: cannot unpack into it: "});

  const run_result unknown = run_qvx({"extract", archive, "b.txt", "nope", "A.TXT"}, work_.path());
  EXPECT_EQ(unknown.exit_status, 2);
  expect_lines(unknown.err, {"qvx: nope: not in the archive", "qvx: A.TXT: not in the archive",
                             "qvx: " + archive + ": nothing unpacked"});
  EXPECT_EQ(list_dir(work_.path()), (std::set<std::string>{"a.txt"}));

  const run_result kept = run_qvx({"extract", "-k", archive}, work_.path());
  EXPECT_EQ(kept.exit_status, 1);
  expect_lines(kept.err, {"qvx: a.txt: not written: a file of that name exists"});
  EXPECT_EQ(read_file(work_ / "a.txt"), "mine");
  EXPECT_EQ(read_file(work_ / "b.txt"), "BB");

  // An entry that runs past the end of the archive is written as far as it
  // goes and reported; -v names it, since a file now has its name. Over an
  // existing file it is not placed, so not named.
  std::string cut_bytes = builder::build_archive(three);
  builder::put_u32(cut_bytes, builder::size_field_position(0), 1000);  // 49 bytes are there
  const std::string cut = put_archive_bytes(cut_bytes);
  fs::create_directory(work_ / "out");
  const run_result short_entry = run_qvx({"extract", "-v", "-C", "out", cut}, work_.path());
  EXPECT_EQ(short_entry.exit_status, 1);
  EXPECT_EQ(short_entry.out, console_text("a.txt\nb.txt\n-dash\n"));
  expect_lines(short_entry.err, {"qvx: a.txt: incomplete: the archive ends 951 bytes short of "
                                 "this entry (49 of 1000 bytes written)"});
  EXPECT_EQ(read_file(work_ / "out" / "a.txt"), cut_bytes.substr(44));
  const run_result over_file = run_qvx({"extract", "-v", cut, "a.txt"}, work_.path());
  EXPECT_EQ(over_file.exit_status, 1);
  EXPECT_EQ(over_file.out, "");
  expect_lines(over_file.err, {"qvx: a.txt: not written: the archive ends 951 bytes short of "
                               "this entry; the existing file is kept"});
  EXPECT_EQ(read_file(work_ / "a.txt"), "mine");
}

TEST_F(QvxTest, ExtractIntoTheArchivesOwnDirectoryNeverReplacesIt) {
  const std::string bytes = builder::build_archive(std::vector<entry_content>{{"input.qvx", "x"}});
  const std::string archive = put_archive_bytes(bytes);
  const run_result result =
      run_qvx({"extract", archive, "-C", place_.path().string()}, work_.path());
  EXPECT_EQ(result.exit_status, 1);
  expect_lines(result.err, {"qvx: input.qvx: not written: it is the archive being read"});
  EXPECT_EQ(read_file(archive), bytes);
}

// Runs create in `dir` and expects it to refuse with `messages`, leaving
// `dir` as it was.
void expect_refusal(const fs::path& dir, const std::vector<std::string>& args,
                    std::vector<std::string> messages) {
  SCOPED_TRACE(args.back());
  const std::set<std::string> before = list_dir(dir);
  std::vector<std::string> command = {"create", "out.qvx"};
  command.insert(command.end(), args.begin(), args.end());
  const run_result result = run_qvx(command, dir);
  EXPECT_EQ(result.exit_status, 2);
  messages.emplace_back("qvx: out.qvx: not written");
  expect_lines(result.err, messages);
  EXPECT_EQ(list_dir(dir), before);
}

TEST_F(QvxTest, CreateRefusesBeforeWritingAnything) {
  const fs::path& dir = work_.path();
  write_file(dir / "a.txt", "hello");
  fs::create_directory(dir / "sub");
  write_file(dir / "sub" / "a.txt", "again");
  write_file(dir / "sixteen-bytes-xx", "");
  expect_refusal(dir, {"a.txt", "nothere", "sub"},
                 {"qvx: nothere: cannot read: ",
                  std::string{"qvx: sub"} + (testing_windows_build() ? "\\" : "/") +
                      "a.txt: its entry name \"a.txt\" is taken by a.txt"});
  expect_refusal(dir, {"sixteen-bytes-xx"},
                 {"qvx: sixteen-bytes-xx: its entry name \"sixteen-bytes-xx\" is 16 bytes long; "
                  "at most 15 fit"});
  expect_refusal(dir, {"a.txt", "sub/a.txt"},
                 {"qvx: sub/a.txt: its entry name \"a.txt\" is taken by a.txt"});
  // The path would end at the NUL: "x" would be packed as "a.txt".
  write_file(dir / "x", "not a.txt");
  write_file(dir / "nul-list", std::string("\nx\0/a.txt\n", 10));
  expect_refusal(dir, {"-T", "nul-list"},
                 {"qvx: nul-list: line 2 holds a NUL byte, which no path can: x?/a.txt"});

  // Sparse files: only their sizes are read before the refusal.
  { std::ofstream{dir / "4GiB"}; }
  fs::resize_file(dir / "4GiB", std::uint64_t{1} << 32U);
  expect_refusal(dir, {"4GiB"},
                 {"qvx: 4GiB: is 4294967296 bytes long; an entry holds at most 4294967295"});
  { std::ofstream{dir / "fill"}; }
  fs::resize_file(dir / "fill", 0xFFFFFFFFU - 44);  // a.txt then starts at the last 32-bit offset
  expect_refusal(dir, {"fill", "a.txt", "sub/../sixteen-bytes-xx"},
                 {"qvx: sub/../sixteen-bytes-xx: its entry name \"sixteen-bytes-xx\" is 16 bytes "
                  "long; at most 15 fit",
                  "qvx: sub/../sixteen-bytes-xx: would start at byte 4294967300 of the archive, "
                  "beyond the 4294967295 an entry's offset can reach"});
}

TEST_F(QvxTest, CreateRefusesNamesQvxreaderWouldRefuse) {
  if (testing_windows_build()) GTEST_SKIP() << "such files cannot be opened on Windows";
  const fs::path& dir = work_.path();
  for (const char* name : {"A.TXT", "a.txt", "CON", "a\\b", "tab\tname", "trail.", "a:b"}) {
    write_file(dir / name, "");
  }
  ::mkfifo((dir / "fifo").c_str(), 0600);
  expect_refusal(dir, {"a.txt", "A.TXT"},
                 {"qvx: A.TXT: its entry name \"A.TXT\" differs from that of a.txt only in case, "
                  "which Windows ignores"});
  expect_refusal(dir, {"CON"},
                 {"qvx: CON: its entry name \"CON\" would be refused on Windows: "
                  "name is a Windows device name"});
  expect_refusal(dir, {"a\\b"},
                 {"qvx: a\\b: its entry name \"a\\b\" would be refused: name "
                  "contains a path separator"});
  expect_refusal(dir, {"tab\tname"},
                 {"qvx: tab?name: its entry name \"tab?name\" would be "
                  "refused: name contains a control character"});
  expect_refusal(dir, {"trail."},
                 {"qvx: trail.: its entry name \"trail.\" would be refused on "
                  "Windows: name ends in a dot or a blank"});
  expect_refusal(dir, {"a:b"},
                 {"qvx: a:b: its entry name \"a:b\" would be refused on Windows: "
                  "name contains ':'"});
  expect_refusal(dir, {"fifo"}, {"qvx: fifo: is not a regular file"});
  expect_refusal(dir, std::vector<std::string>(65536, "a.txt"),
                 {"qvx: out.qvx: too many files: 65536; an archive holds at most 65535"});
}

TEST_F(QvxTest, CreateThatFailsWritingLeavesTheOldArchive) {
  if (testing_windows_build()) GTEST_SKIP() << "RLIMIT_FSIZE is POSIX";
  write_file(work_ / "out.qvx", "the old archive");
  write_file(work_ / "big", std::string(std::size_t{200} * 1024, 'B'));
  run_options limited;
  limited.file_size_limit = 16 * 1024;
  const run_result result = run_qvx({"create", "-f", "out.qvx", "big"}, work_.path(), limited);
  EXPECT_EQ(result.exit_status, 2);
  expect_lines(result.err, {"qvx: big: cannot copy it into the archive: File too large",
                            "qvx: out.qvx: not written"});
  EXPECT_EQ(read_file(work_ / "out.qvx"), "the old archive");
  EXPECT_EQ(list_dir(work_.path()), (std::set<std::string>{"out.qvx", "big"}));
}

TEST_F(QvxTest, PathsAndNamesOutsideTheAnsiCodePage) {
  // Every path below is in a directory whose name Windows' ANSI code page
  // cannot spell, so each must go through the wide functions there. The file
  // name fits the code page: on Windows the entry carries it in that code
  // page (0xE9 in 1252), as qvxreader expects; on POSIX its bytes unchanged.
  const fs::path dir = work_ / foreign_name;
  fs::create_directories(dir / "out");
  const std::string file_name = "caf\u00e9.txt";
  write_file(dir / file_name, "accent");
  const std::string archive = (dir / "new.qvx").string();
  const std::string entry = testing_windows_build() ? "caf\xE9.txt" : file_name;

  const run_result created =
      run_qvx({"create", archive, (dir / file_name).string()}, work_.path(), in_utf8_locale());
  EXPECT_EQ(created.err, "");
  EXPECT_EQ(created.exit_status, 0);
  EXPECT_EQ(read_file(archive),
            builder::build_archive(std::vector<entry_content>{{entry, "accent"}}));
  EXPECT_EQ(list_dir(dir), (std::set<std::string>{file_name, "new.qvx", "out"}));

  const run_result extracted =
      run_qvx({"extract", archive, "-C", (dir / "out").string(), file_name}, work_.path(),
              in_utf8_locale());
  EXPECT_EQ(extracted.err, "");
  EXPECT_EQ(extracted.exit_status, 0);
  EXPECT_EQ(list_dir(dir / "out"), (std::set<std::string>{file_name}));
  EXPECT_EQ(read_file(dir / "out" / file_name), "accent");

  if (!testing_windows_build()) return;
  // A name the code page lacks could only be stored as '?' or a look-alike.
  const std::string foreign_file = "\u65E5.txt";
  write_file(dir / foreign_file, "x");
  const run_result refused = run_qvx({"create", "-f", archive, (dir / foreign_file).string()},
                                     work_.path(), in_utf8_locale());
  EXPECT_EQ(refused.exit_status, 2);
  const std::string shown = (work_ / "????? ??").string();
  expect_lines(refused.err, {"qvx: " + shown +
                                 "/?.txt: its name has characters that entry "
                                 "names, in the system's code page, cannot hold",
                             "qvx: " + shown + "/new.qvx: not written"});
  EXPECT_EQ(read_file(archive),
            builder::build_archive(std::vector<entry_content>{{entry, "accent"}}));
}

// Names that Windows cannot hold, or takes as one file, are problems for
// check and refused by create on every system, since archives are made to
// be read on Windows.
TEST_F(QvxTest, NamesWindowsCannotHoldOrTakesAsOneAreProblemsEverywhere) {
  std::vector<entry_content> entries;
  for (const char* name : {"a*b", "a?b", "a<b", "a>b", "a|b", "a\"b"})
    entries.push_back({name, ""});
  entries.push_back({"\xE9.txt", "1"});
  entries.push_back({"\xC9.TXT", "2"});
  entries.push_back({"A*B", ""});  // refused, so not also the same name as a*b
  const run_result checked = run_qvx({"check", put_archive(entries)}, work_.path());
  EXPECT_EQ(checked.exit_status, 1);
  // Less the notes on names that are not UTF-8, which are no problems.
  std::string findings;
  std::istringstream lines(checked.out);
  for (std::string line; std::getline(lines, line);) {
    if (!line.starts_with("note: ")) findings += line + "\n";
  }
  EXPECT_EQ(findings,
            console_text("entry 1 \"a*b\": name would be refused on Windows: name contains '*'\n"
                         "entry 2 \"a?b\": name would be refused on Windows: name contains '?'\n"
                         "entry 3 \"a<b\": name would be refused on Windows: name contains '<'\n"
                         "entry 4 \"a>b\": name would be refused on Windows: name contains '>'\n"
                         "entry 5 \"a|b\": name would be refused on Windows: name contains '|'\n"
                         "entry 6 \"a\"b\": name would be refused on Windows: name contains '\"'\n"
                         "entry 8 \"\xC9.TXT\": same name as entry 7 when case is ignored, as on "
                         "Windows\n"
                         "entry 9 \"A*B\": name would be refused on Windows: name contains '*'\n"
                         "9 entries, 8 problems, 0 overlaps\n"));
  if (testing_windows_build()) return;  // such files cannot be made there
  write_file(work_ / "a*b", "");
  write_file(work_ / "\xE9.txt", "");
  write_file(work_ / "\xC9.TXT", "");
  const run_result created =
      run_qvx({"create", "out.qvx", "a*b", "\xE9.txt", "\xC9.TXT"}, work_.path());
  EXPECT_EQ(created.exit_status, 2);
  expect_lines(created.err,
               {"qvx: a*b: its entry name \"a*b\" would be refused on Windows: name contains '*'",
                "qvx: \xC9.TXT: its entry name \"\xC9.TXT\" differs from that of \xE9.txt only in "
                "case, which Windows ignores",
                "qvx: out.qvx: not written"});
}

// Windows opens a device instead of a file for each of its reserved names,
// in any case, also with an extension and with blanks or dots before it;
// the superscript digits are digits there (in UTF-8 and in code page 1252).
TEST_F(QvxTest, EveryFormOfAWindowsDeviceNameIsRefused) {
  const std::vector<std::string> devices = {
      "CON",     "prn",       "Aux",         "NUL",       "COM0",      "com9",      "LPT0",
      "lpt9",    "COM\u00B9", "COM\u00B2",   "COM\u00B3", "LPT\u00B9", "lpt\u00B2", "LPT\u00B3",
      "COM\xB9", "CONIN$",    "conout$.log", "nul.txt",   "CON .txt",  "AUX. .txt", "PRN  "};
  const std::vector<std::string> files = {"CONSOLE", "COM10", "LPT", "NULL.txt", "xCON", "COM1x"};
  const std::string refused = " would be refused on Windows: name is a Windows device name";
  std::vector<entry_content> entries;
  std::string findings;
  std::vector<std::string> refusals;
  for (const std::string& name : devices) {
    entries.push_back({name, ""});
    findings += "entry " + std::to_string(entries.size()) + " \"" + name + "\": name";
    findings += refused + "\n";
    std::string& refusal = refusals.emplace_back("qvx: " + name + ": its entry name \"");
    refusal += name;
    refusal += "\"" + refused;
  }
  for (const std::string& name : files) entries.push_back({name, ""});
  const run_result checked = run_qvx({"check", put_archive(entries)}, work_.path());
  EXPECT_EQ(checked.exit_status, 1);
  std::string problems;
  std::istringstream lines(checked.out);
  for (std::string line; std::getline(lines, line);) {
    if (!line.starts_with("note: ")) problems += line + "\n";
  }
  EXPECT_EQ(problems, console_text(findings + "27 entries, 21 problems, 0 overlaps\n"));

  if (testing_windows_build()) return;  // such files cannot be made there
  std::vector<std::string> paths = devices;
  paths.insert(paths.end(), files.begin(), files.end());
  for (const std::string& name : paths) write_file(work_ / name, "");
  expect_refusal(work_.path(), paths, refusals);
}

// Control characters reach the terminal as '?' in every listing, also when
// UTF-8 encodes them (C1 controls, bidirectional overrides) on POSIX.
TEST_F(QvxTest, NamesNeverSendControlsToTheTerminal) {
  if (testing_windows_build()) GTEST_SKIP() << "there such bytes are ANSI letters";
  const std::string archive = put_archive({{"a\x1B[2J", "1"},
                                           {"b\xC2\x9B"
                                            "1m",
                                            "2"},
                                           {"r\xE2\x80\xAEtxt.exe", "3"},
                                           {"caf\xC3\xA9", "4"}});
  const run_result listed = run_qvx({"list", archive}, work_.path());
  EXPECT_NE(listed.out.find("a?[2J "), std::string::npos) << listed.out;
  EXPECT_NE(listed.out.find("b?1m "), std::string::npos);
  EXPECT_NE(listed.out.find("r?txt.exe "), std::string::npos);
  EXPECT_NE(listed.out.find("caf\xC3\xA9 "), std::string::npos);  // other UTF-8 unchanged
  fs::create_directory(work_ / "out");
  const run_result verbose = run_qvx({"extract", "-v", "-C", "out", archive}, work_.path());
  // The first name is refused, so it is reported, not named as written.
  EXPECT_EQ(verbose.out, "b?1m\nr?txt.exe\ncaf\xC3\xA9\n");
}

// With -k, files from before the run are kept; within the run, the last
// entry of a name is left, as without -k; and naming one name of two
// entries unpacks both, leaving the later.
TEST_F(QvxTest, KeepingProtectsOnlyFilesFromBeforeTheRun) {
  const std::string archive =
      put_archive({{"a", "first"}, {"b", "new b"}, {"a", "second"}, {"c", "new c"}});
  // Two entries of one name after others, the earlier one slow to copy.
  const std::string pair = (place_ / "pair.qvx").string();
  write_file(pair, builder::build_archive(
                       std::vector<entry_content>{{"x", "x"},
                                                  {"y", "y"},
                                                  {"a", std::string(std::size_t{16} << 20U, 'L')},
                                                  {"a", "small"}}));
  for (const char* jobs : {"1", "4"}) {
    SCOPED_TRACE(std::string{"QVXREADER_JOBS="} + jobs);
    const scratch_dir out;
    write_file(out / "b", "old b");
    run_options options;
    options.environment["QVXREADER_JOBS"] = jobs;
    const run_result kept = run_qvx({"extract", "-k", archive}, out.path(), options);
    EXPECT_EQ(kept.exit_status, 1);
    expect_lines(kept.err, {"qvx: b: not written: a file of that name exists"});
    EXPECT_EQ(read_file(out / "a"), "second");
    EXPECT_EQ(read_file(out / "b"), "old b");
    EXPECT_EQ(read_file(out / "c"), "new c");
    const scratch_dir named;
    EXPECT_EQ(run_qvx({"extract", archive, "a"}, named.path(), options).exit_status, 0);
    EXPECT_EQ(read_file(named / "a"), "second");
    EXPECT_EQ(list_dir(named.path()), std::set<std::string>{"a"});

    const scratch_dir named_pair;
    EXPECT_EQ(run_qvx({"extract", pair, "a"}, named_pair.path(), options).exit_status, 0);
    const std::string left = read_file(named_pair / "a");
    EXPECT_TRUE(left == "small") << "a holds " << left.size() << " bytes";
    // An entry that was kept out did not write its name: the next one of
    // that name meets the file from before the run, and is kept out too.
    const scratch_dir kept_pair;
    write_file(kept_pair / "a", "old a");
    const run_result both_kept = run_qvx({"extract", "-k", pair, "a"}, kept_pair.path(), options);
    EXPECT_EQ(both_kept.exit_status, 1);
    expect_lines(both_kept.err, {"qvx: a: not written: a file of that name exists",
                                 "qvx: a: not written: a file of that name exists"});
    EXPECT_EQ(read_file(kept_pair / "a"), "old a");

    // Where case makes two files, "A" written in this run does not make "a"
    // this run's own: the file "a" from before is kept.
    if (testing_windows_build()) continue;
    const scratch_dir cased;
    write_file(cased / "a", "old a");
    const std::string upper_then_lower = (place_ / "cased.qvx").string();
    write_file(upper_then_lower,
               builder::build_archive(std::vector<entry_content>{{"A", "upper"}, {"a", "lower"}}));
    const run_result kept_lower =
        run_qvx({"extract", "-k", upper_then_lower}, cased.path(), options);
    EXPECT_EQ(kept_lower.exit_status, 1);
    expect_lines(kept_lower.err, {"qvx: a: not written: a file of that name exists"});
    EXPECT_EQ(read_file(cased / "a"), "old a");
    EXPECT_EQ(read_file(cased / "A"), "upper");
  }
}

// Every output that cannot be written makes the exit status 1, with one line
// saying so, whatever the command.
TEST_F(QvxTest, AnOutputThatCannotBeWrittenIsAFailure) {
  if (testing_windows_build()) GTEST_SKIP() << "/dev/full";
  const std::string archive = put_archive(three);
  run_options full;
  full.stdout_path = "/dev/full";
  const std::vector<std::vector<std::string>> commands = {
      {"--help"},         {"--version"},
      {"list", "--help"}, {"update", "--version"},
      {"help"},           {"help", "list"},
      {"list", archive},  {"list", "--json", archive},
      {"check", archive}, {"extract", "-v", "-C", (work_ / "out").string(), archive}};
  fs::create_directory(work_ / "out");
  for (const std::vector<std::string>& args : commands) {
    SCOPED_TRACE(args.front() + " " + args.back());
    const run_result result = run_qvx(args, work_.path(), full);
    EXPECT_EQ(result.exit_status, 1);
    expect_lines(result.err, {"qvx: standard output: write error"});
  }
  EXPECT_EQ(read_file(work_ / "out" / "b.txt"), "BB");  // extract did its work all the same
}

// NAME arguments may be patterns for extract, delete and cat; --exclude
// leaves entries out of extract and list. A pattern that matches nothing is
// an error, as an unknown name is.
TEST_F(QvxTest, PatternsPickEntriesAndExcludesLeaveThemOut) {
  const std::string archive = put_archive(
      {{"GAME.CFG", "c"}, {"game.dat", "d"}, {"level1", "1"}, {"level2", "2"}, {"[x]", "x"}});
  fs::create_directory(work_ / "out");
  const run_result some = run_qvx(
      {"extract", "-C", "out", "--exclude", "*2", archive, "G*", "level?", "[[]x]"}, work_.path());
  EXPECT_EQ(some.exit_status, 0) << some.err;
  // On Windows patterns ignore case, so G* also takes game.dat there.
  std::set<std::string> expected = {"GAME.CFG", "level1", "[x]"};
  if (testing_windows_build()) expected.insert("game.dat");
  EXPECT_EQ(list_dir(work_ / "out"), expected);

  const run_result none = run_qvx({"extract", archive, "*.bak", "level1"}, work_.path());
  EXPECT_EQ(none.exit_status, 2);
  expect_lines(none.err,
               {"qvx: *.bak: no entry matches", "qvx: " + archive + ": nothing unpacked"});

  const run_result listed =
      run_qvx({"list", "--exclude", "level*", "--exclude", "*.*", archive}, work_.path());
  EXPECT_EQ(listed.out,
            console_text("    #  name                 offset        size    tag       spare\n"
                         "    5  [x]                      76           1      0           0\n"
                         "1 entry, 1 byte\n"));
  const nlohmann::json json = nlohmann::json::parse(
      run_qvx({"list", "--json", "--exclude", "[!l]*", archive}, work_.path()).out);
  ASSERT_EQ(json.size(), 2U);
  EXPECT_EQ(json[1]["number"], 4);

  const run_result cat = run_qvx({"cat", archive, "level[0-9]", "[[]*"}, work_.path());
  EXPECT_EQ(cat.exit_status, 0) << cat.err;
  EXPECT_EQ(cat.out, "12x");  // table order, not argument order

  // The others stay where they are.
  EXPECT_EQ(run_qvx({"delete", archive, "level*"}, work_.path()).exit_status, 0);
  EXPECT_EQ(read_file(archive), laid_out({{"GAME.CFG", 72, 1}, {"game.dat", 73, 1}, {"[x]", 76, 1}},
                                         {{72, "cd"}, {76, "x"}}, 77, 122));

  // "[]" is a file name and an entry name like any other: no empty list.
  write_file(work_ / "[]", "brackets");
  const run_result packed = run_qvx({"create", "brackets.qvx", "[]"}, work_.path());
  EXPECT_EQ(packed.exit_status, 0) << packed.err;
  const run_result unpacked = run_qvx({"cat", "brackets.qvx", "[]"}, work_.path());
  EXPECT_EQ(unpacked.exit_status, 0) << unpacked.err;
  EXPECT_EQ(unpacked.out, "brackets");
}

// cat writes the entries' bytes and nothing else; an entry cut short is
// reported after the bytes there are; a reader that goes away ends it.
TEST_F(QvxTest, CatWritesExactlyTheBytesOfTheEntries) {
  std::string binary(300000, '\0');
  for (std::size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<char>(i * 7 % 256);
  binary += "\r\n\n\x1A";  // what a text-mode stream would change
  std::string bytes = builder::build_archive(
      std::vector<entry_content>{{"bin", binary}, {"cut", "0123456789"}, {"text", "a\nb\n"}});
  const std::string whole = put_archive_bytes(bytes);
  const run_result both = run_qvx({"cat", whole, "text", "bin"}, work_.path());
  EXPECT_EQ(both.exit_status, 0) << both.err;
  EXPECT_TRUE(both.out == binary + "a\nb\n");

  // "cut" now starts 3 bytes before the end of the file, and holds 10.
  builder::put_u32(bytes, builder::offset_field_position(1),
                   static_cast<std::uint32_t>(bytes.size() - 3));
  const std::string cut = put_archive_bytes(bytes);
  const run_result short_entry = run_qvx({"cat", cut, "cut"}, work_.path());
  EXPECT_EQ(short_entry.exit_status, 1);
  EXPECT_EQ(short_entry.out, bytes.substr(bytes.size() - 3));
  expect_lines(short_entry.err, {"qvx: cut: cut short: 7 of its 10 bytes are not in the archive"});
  if (testing_windows_build()) return;  // a pipe without a reader, /dev/full, UTF-8 names
  // A name the console would show as something else goes with its number
  // (its UTF-8 bytes are no name in Windows' ANSI code page).
  std::string bidi =
      builder::build_archive(std::vector<entry_content>{{"r\u202Etxt", "0123456789"}, {"end", ""}});
  builder::put_u32(bidi, builder::offset_field_position(0),
                   static_cast<std::uint32_t>(bidi.size() - 3));
  write_file(place_ / "bidi.qvx", bidi);
  const run_result odd_name = run_qvx({"cat", (place_ / "bidi.qvx").string(), "r\u202Etxt"},
                                      work_.path(), in_utf8_locale());
  EXPECT_EQ(odd_name.exit_status, 1);
  expect_lines(odd_name.err,
               {"qvx: entry 1 \"r?txt\": cut short: 7 of its 10 bytes are not in the archive"});

  run_options closed;
  closed.stdout_closed = true;
  const run_result gone = run_qvx({"cat", whole, "bin"}, work_.path(), closed);
  EXPECT_EQ(gone.exit_status, 1);
  expect_lines(gone.err, {"qvx: standard output: write error"});
  // Nothing is read once the output has failed: the entry cut short after
  // "bin" is not reached, so not reported.
  run_options full;
  full.stdout_path = "/dev/full";
  const run_result failed = run_qvx({"cat", cut, "bin", "cut"}, work_.path(), full);
  EXPECT_EQ(failed.exit_status, 1);
  expect_lines(failed.err, {"qvx: standard output: write error"});
}

}  // namespace
}  // namespace qvx::test
