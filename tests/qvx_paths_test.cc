// --paths: names with '\' or '/' unpacked into folders below the target
// directory and never outside it, and folders packed back into such names.
#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "archive_builder.h"
#include "cli_test.h"

namespace qvx::test {
namespace {

using builder::entry_content;

// Every regular file below `root`, by its path relative to it ('/'), with
// its bytes.
std::map<std::string, std::string> tree_of(const fs::path& root) {
  std::map<std::string, std::string> files;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    if (item.is_regular_file()) {
      files[item.path().lexically_relative(root).generic_string()] = read_file(item.path());
    }
  }
  return files;
}

// The separator in the paths that qvx reports.
std::string separator() { return testing_windows_build() ? "\\" : "/"; }

struct refusal_case {
  std::string name;
  std::string why;
  bool windows_only = false;
  bool without_paths = false;
};

TEST(QvxPathsTest, ExtractRefusesEachUnsafePathAndGoesOn) {
  const refusal_case cases[] = {
      {"..\\x.txt", "name has a '..' part"},
      {"a/../../x.txt", "name has a '..' part"},
      {"a\\..", "name has a '..' part"},
      {".\\x.txt", "name has a '.' part"},
      {"a\\\\x.txt", "name has an empty part"},
      {"a\\", "name has an empty part"},
      {"\\x.txt", "name is an absolute path"},
      {"/tmp/x.txt", "name is an absolute path"},
      {R"(\\srv\s\x)", "name is an absolute path"},
      {"C:x.txt", "name begins with a drive"},
      {"c:\\x.txt", "name begins with a drive"},
      {"a\\b\x01.txt", "name contains a control character"},
      {"a\\nul.txt", "name is a Windows device name", true},
      {"a\\b:c", "name contains ':'", true},
      {"a.\\b", "name ends in a dot or a blank", true},
      {"a\\b.txt", "name contains a path separator", false, true},
  };
  for (const refusal_case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.windows_only && !testing_windows_build()) continue;
    scratch_dir dir;
    write_file(dir / "in.qvx", builder::build_archive(std::vector<entry_content>{
                                   {c.name, "bad"}, {"ok.txt", "fine"}}));
    fs::create_directory(dir / "out");
    std::vector<std::string> args = {"extract", "in.qvx", "-C", "out"};
    if (!c.without_paths) args.emplace_back("--paths");
    const run_result result = run_qvx(args, dir.path());
    EXPECT_EQ(result.exit_status, 1);
    std::string shown = c.name;
    for (char& ch : shown) {
      if (ch == '\x01') ch = '?';
    }
    // A name with a separator is named with its number, as other odd names are.
    expect_lines(result.err, {"qvx: entry 1 \"" + shown + "\": not written: " + c.why});
    EXPECT_EQ(tree_of(dir.path()),
              (std::map<std::string, std::string>{{"in.qvx", read_file(dir / "in.qvx")},
                                                  {"out/ok.txt", "fine"}}));
  }
}

TEST(QvxPathsTest, ExtractNeverGoesThroughASymbolicLink) {
  scratch_dir dir;
  fs::create_directories(dir / "out" / "d");
  fs::create_directory(dir / "outside");
  std::error_code error;
  fs::create_directory_symlink(dir / "outside", dir / "out" / "sub", error);
  if (!error) fs::create_directory_symlink(dir / "outside", dir / "out" / "d" / "l", error);
  if (error) GTEST_SKIP() << "no symbolic links here: " << error.message();
  write_file(dir / "in.qvx",
             builder::build_archive(std::vector<entry_content>{
                 {"sub\\x.txt", "out!"}, {"d/l\\deep\\y", "out!"}, {"ok\\z.txt", "fine"}}));
  const run_result result = run_qvx({"extract", "--paths", "-C", "out", "in.qvx"}, dir.path());
  EXPECT_EQ(result.exit_status, 1);
  expect_lines(result.err,
               {R"(qvx: entry 1 "sub\x.txt": not written: sub goes through a symbolic link)",
                R"(qvx: entry 2 "d/l\deep\y": not written: d/l goes through a symbolic link)"});
  EXPECT_TRUE(fs::is_empty(dir / "outside"));
  EXPECT_EQ(read_file(dir / "out" / "ok" / "z.txt"), "fine");
}

TEST(QvxPathsTest, ExtractWritesNestedPathsWithAnyNumberOfJobs) {
  std::vector<entry_content> entries = {
      {"a\\b\\c.txt", "abc"}, {"a/b.txt", "ab"}, {"top.txt", "top"}};
  std::map<std::string, std::string> expected = {
      {"a/b/c.txt", "abc"}, {"a/b.txt", "ab"}, {"top.txt", "top"}};
  for (int i = 0; i < 48; ++i) {
    const std::string name = "d" + std::to_string(i % 4) + "\\e" + std::to_string(i % 3) + "\\" +
                             std::to_string(i) + ".bin";
    const std::string data(static_cast<std::size_t>(i) * 997, static_cast<char>('a' + i % 26));
    entries.push_back({name, data});
    expected["d" + std::to_string(i % 4) + "/e" + std::to_string(i % 3) + "/" + std::to_string(i) +
             ".bin"] = data;
  }
  // Two names of one path: the later entry is left, also with -k. The
  // earlier is large, so that a writer that took them for two files would
  // mostly finish it last.
  entries.push_back({"d0\\same.txt", std::string(std::size_t{8} << 20U, 'f')});
  entries.push_back({"d0/same.txt", "second"});
  expected["d0/same.txt"] = "second";
  const std::string archive = builder::build_archive(entries);

  for (const char* jobs : {"1", "4"}) {
    for (const bool keep : {false, true}) {
      SCOPED_TRACE(std::string{"jobs "} + jobs + (keep ? ", -k" : ""));
      scratch_dir dir;
      write_file(dir / "in.qvx", archive);
      fs::create_directory(dir / "out");
      run_options options;
      options.environment["QVXREADER_JOBS"] = jobs;
      std::vector<std::string> args = {"extract", "--paths", "-C", "out", "in.qvx"};
      if (keep) args.emplace_back("-k");
      const run_result result = run_qvx(args, dir.path(), options);
      EXPECT_EQ(result.exit_status, 0) << result.err;
      EXPECT_EQ(result.err, "");
      EXPECT_EQ(tree_of(dir / "out"), expected);
    }
  }
}

// A tree whose byte order of paths differs from a walk in name order: '.'
// sorts before '\', so "a.txt" comes before the files in "a".
void plant_tree(const fs::path& root) {
  fs::create_directories(root / "a" / "b");
  fs::create_directories(root / "empty");
  write_file(root / "a" / "b" / "c.txt", "abc");
  write_file(root / "a" / "x", "ax");
  write_file(root / "a.txt", "a.txt");
  write_file(root / "z.bin", std::string(70000, 'z'));
}

TEST(QvxPathsTest, CreateAndExtractMakeTheSameTree) {
  scratch_dir dir;
  plant_tree(dir / "tree");
  const run_result created = run_qvx({"create", "--paths", "t.qvx", "tree"}, dir.path());
  ASSERT_EQ(created.exit_status, 0) << created.err;
  const run_result listed = run_qvx({"list", "--names", "t.qvx"}, dir.path());
  EXPECT_EQ(listed.out, console_text("a.txt\na\\b\\c.txt\na\\x\nz.bin\n"));

  fs::create_directory(dir / "back");
  const run_result extracted = run_qvx({"extract", "--paths", "-C", "back", "t.qvx"}, dir.path());
  EXPECT_EQ(extracted.exit_status, 0) << extracted.err;
  EXPECT_EQ(tree_of(dir / "back"), tree_of(dir / "tree"));

  // The same tree again replaces every entry with the same bytes.
  fs::copy_file(dir / "t.qvx", dir / "u.qvx");
  const run_result updated = run_qvx({"update", "--paths", "u.qvx", "tree"}, dir.path());
  EXPECT_EQ(updated.exit_status, 0) << updated.err;
  EXPECT_EQ(read_file(dir / "u.qvx"), read_file(dir / "t.qvx"));

  // A changed file replaces its entry by its path; a new one is added.
  write_file(dir / "tree" / "a" / "x", "changed");
  write_file(dir / "tree" / "a" / "new", "new");
  const run_result changed = run_qvx({"update", "--paths", "u.qvx", "tree"}, dir.path());
  EXPECT_EQ(changed.exit_status, 0) << changed.err;
  const run_result relisted = run_qvx({"list", "--names", "u.qvx"}, dir.path());
  EXPECT_EQ(relisted.out, console_text("a.txt\na\\b\\c.txt\na\\x\nz.bin\na\\new\n"));
  const run_result shown = run_qvx({"cat", "u.qvx", "a\\x"}, dir.path());
  EXPECT_EQ(shown.out, "changed");
}

TEST(QvxPathsTest, CreateRefusesWhatNoPathNameCanHold) {
  struct packing_case {
    const char* what;
    std::function<void(const fs::path&)> plant;
    std::string message;
  };
  const std::string sep = separator();
  const packing_case cases[] = {
      {"a name over 15 bytes",
       [](const fs::path& root) {
         fs::create_directory(root / "abcdefgh");
         write_file(root / "abcdefgh" / "ijklmno.txt", "x");
       },
       "qvx: tree" + sep + "abcdefgh" + sep +
           "ijklmno.txt: its entry name \"abcdefgh\\ijklmno.txt\" is 20 bytes long; at most 15 "
           "fit"},
      {"a symbolic link",
       [](const fs::path& root) {
         fs::create_directory(root / "d");
         write_file(root / "d" / "f", "f");
         fs::create_directory_symlink(root / "d", root / "link");
       },
       "qvx: tree" + sep + "link: is a symbolic link, which --paths does not follow"},
  };
  for (const packing_case& c : cases) {
    SCOPED_TRACE(c.what);
    scratch_dir dir;
    fs::create_directory(dir / "tree");
    c.plant(dir / "tree");
    const run_result result = run_qvx({"create", "--paths", "t.qvx", "tree"}, dir.path());
    EXPECT_EQ(result.exit_status, 2);
    expect_lines(result.err, {c.message, "qvx: t.qvx: not written"});
    EXPECT_FALSE(fs::exists(dir / "t.qvx"));
  }
}

}  // namespace
}  // namespace qvx::test
