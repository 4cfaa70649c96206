#include <sys/stat.h>

#include <gtest/gtest.h>

#include "archive/unpacker.h"
#include "archive_builder.h"
#include "test_support.h"

namespace qvx {
namespace {

namespace fs = std::filesystem;

// Each test runs in a scratch working directory holding archive.qvx, whose
// bytes are the 26 lowercase letters.
class WriteEntryTest : public ::testing::Test {
 protected:
  WriteEntryTest() {
    test::write_file(dir_ / "archive.qvx", letters);
    platform::error_code error = 0;
    archive_ = platform::input_file::open("archive.qvx", error);
    EXPECT_EQ(error, 0);
  }

  static constexpr std::string_view letters = "abcdefghijklmnopqrstuvwxyz";
  test::scratch_dir dir_;
  test::working_dir cwd_{dir_.path()};
  platform::input_file archive_;
};

TEST_F(WriteEntryTest, CopiesTheRangeAndReplacesAnExistingFile) {
  test::write_file("out.txt", "an older, longer file that must go");
  const entry_result result = write_entry("out.txt", archive_, 3, 5);
  EXPECT_TRUE(result.ok()) << result.problem;
  EXPECT_EQ(test::read_file("out.txt"), "defgh");
  EXPECT_EQ(test::list_dir("."), (std::set<std::string>{"archive.qvx", "out.txt"}));
}

TEST_F(WriteEntryTest, ShortArchiveGivesOnlyTheBytesThatExist) {
  entry_result result = write_entry("tail", archive_, 20, 100);
  EXPECT_EQ(test::read_file("tail"), "uvwxyz");
  EXPECT_NE(result.problem.find("94 bytes short"), std::string::npos) << result.problem;

  // A size with the top bit set is a length, not a negative number.
  result = write_entry("huge", archive_, 24, 0x80000000U);
  EXPECT_EQ(test::read_file("huge"), "yz");
  EXPECT_NE(result.problem.find("2147483646 bytes short"), std::string::npos) << result.problem;

  result = write_entry("beyond", archive_, 1000, 4);
  EXPECT_EQ(test::read_file("beyond"), "");
  EXPECT_FALSE(result.ok());

  EXPECT_TRUE(write_entry("empty", archive_, 1000, 0).ok());
  EXPECT_EQ(test::read_file("empty"), "");

  // A progress display is told of the bytes copied, not of those asked for.
  copy_progress progress(2);
  const copied_entry whole = copy_entry("whole", archive_, 0, 26, {&progress, 0});
  const copied_entry cut = copy_entry("cut", archive_, 20, 100, {&progress, 1});
  EXPECT_EQ(whole.bytes, 26U);
  EXPECT_EQ(cut.bytes, 6U);
  EXPECT_EQ(progress.entry_bytes(0), 26U);
  EXPECT_EQ(progress.entry_bytes(1), 6U);
  EXPECT_EQ(progress.all_bytes(), 32U);
}

TEST_F(WriteEntryTest, RefusedNamesWriteNothing) {
  fs::create_directory("sub");
  for (const char* name : {"", ".", "..", "../escape", "sub/inner", "a\\b", "esc\x1B[1A"}) {
    const entry_result result = write_entry(name, archive_, 0, 3);
    EXPECT_FALSE(result.ok()) << name;
  }
  EXPECT_EQ(test::list_dir("."), (std::set<std::string>{"archive.qvx", "sub"}));
  EXPECT_TRUE(test::list_dir("sub").empty());
  EXPECT_FALSE(fs::exists(dir_.path().parent_path() / "escape"));
}

TEST_F(WriteEntryTest, NeverOverwritesTheArchiveBeingRead) {
  fs::create_hard_link("archive.qvx", "alias");
  EXPECT_FALSE(write_entry("archive.qvx", archive_, 0, 3).ok());
  EXPECT_FALSE(write_entry("alias", archive_, 0, 3).ok());
  EXPECT_EQ(test::read_file("archive.qvx"), letters);
}

TEST_F(WriteEntryTest, ReplacesASymbolicLinkWithoutFollowingIt) {
  test::write_file("target", "keep me");
  fs::create_symlink("target", "link");
  EXPECT_TRUE(write_entry("link", archive_, 0, 3).ok());
  EXPECT_FALSE(fs::is_symlink("link"));
  EXPECT_EQ(test::read_file("link"), "abc");
  EXPECT_EQ(test::read_file("target"), "keep me");
}

TEST_F(WriteEntryTest, ADirectoryInTheWayIsAFailureAndLeavesNoTemporaryFile) {
  fs::create_directory("taken");
  const entry_result result = write_entry("taken", archive_, 0, 3);
  EXPECT_FALSE(result.ok());
  EXPECT_TRUE(fs::is_directory("taken"));
  EXPECT_EQ(test::list_dir("."), (std::set<std::string>{"archive.qvx", "taken"}));
}

TEST_F(WriteEntryTest, NewFilesGetTheUsualPermissions) {
  const mode_t previous = ::umask(027);
  const entry_result result = write_entry("perm", archive_, 0, 1);
  ::umask(previous);
  ASSERT_TRUE(result.ok()) << result.problem;
  struct stat st {};
  ASSERT_EQ(::stat("perm", &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640U);
}

}  // namespace
}  // namespace qvx
