// The bash completion for qvx, run by bash as an interactive shell would:
// the function registered for qvx, given the words on the line.
#include <gtest/gtest.h>

#include "archive_builder.h"
#include "cli_test.h"

namespace qvx::test {
namespace {

class CompletionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (testing_windows_build()) GTEST_SKIP() << "bash completion is for the POSIX program";
    write_file(work_ / "game.qvx",
               builder::build_archive(std::vector<builder::entry_content>{
                   {"alpha", "1"}, {"alpine", "2"}, {"beta", "3"}, {"with space", "4"}}));
    fs::create_directory(work_ / "outdir");
  }

  // What completing the last of `words` offers, one a line, sorted.
  std::string complete(const std::string& words) {
    const std::string script = "source '" + std::string{QVX_COMPLETION} +
                               "'; complete -p qvx >/dev/null || exit 3; COMP_WORDS=(" + words +
                               "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _qvx; "
                               "printf '%s\\n' \"${COMPREPLY[@]}\" | sort";
    run_options options;
    options.environment["PATH"] = fs::path{QVX_EXE}.parent_path().string() + ":/usr/bin:/bin";
    const run_result result = run({"bash", "-c", script}, [&] {
      options.working_directory = work_.path();
      return options;
    }());
    EXPECT_EQ(result.exit_status, 0) << result.err;
    return result.out;
  }

  scratch_dir work_;
};

TEST_F(CompletionTest, CommandsOptionsAndTheArchivesEntryNames) {
  EXPECT_EQ(complete("qvx c"), "cat\ncheck\ncreate\n");
  EXPECT_EQ(complete("qvx create --f"), "--files-from\n--force\n");
  EXPECT_EQ(complete("qvx extract -C out"), "outdir\n");
  // Entry names of the archive on the line, after the options and their values.
  EXPECT_EQ(complete("qvx extract -C outdir -k game.qvx al"), "alpha\nalpine\n");
  EXPECT_EQ(complete("qvx delete game.qvx ''"), "alpha\nalpine\nbeta\nwith space\n");
  EXPECT_EQ(complete("qvx cat game.qvx w"), "with space\n");
  // Before the archive, and for commands that pack, paths.
  EXPECT_EQ(complete("qvx cat ga"), "game.qvx\n");
  EXPECT_EQ(complete("qvx update game.qvx out"), "outdir\n");
  EXPECT_EQ(complete("qvx help up"), "update\n");
}

TEST_F(CompletionTest, EntryNamesComeInTheCharsetOnTheLine) {
  write_file(
      work_ / "sjis.qvx",
      builder::build_archive(std::vector<builder::entry_content>{{"\x95\x5C\x8E\xA6.txt", "1"}}));
  EXPECT_EQ(complete("qvx cat --charset CP932 sjis.qvx ''"), "\u8868\u793A.txt\n");
  EXPECT_EQ(complete("qvx list --charset CP9"), "CP932\nCP936\nCP949\nCP950\n");
}

}  // namespace
}  // namespace qvx::test
