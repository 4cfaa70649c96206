// The library's encoding of records and names, and the archive writer's
// failures after it has started writing, which no command line can time.
#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <utility>

#include "archive/archive_edit.h"
#include "archive/archive_format.h"
#include "archive/archive_writer.h"
#include "archive/directory.h"
#include "archive/edit_layout.h"
#include "archive/edit_writer.h"
#include "test_support.h"

namespace qvx {
namespace {

using test::list_dir;
using test::read_file;
using test::scratch_dir;
using test::write_file;

TEST(ArchiveEncoding, RecordsAreLittleEndianAndNamesPaddedWithNul) {
  const auto record =
      encode_entry({.tag = 0x0102, .offset = 0x03040506, .size = 0xA0B0C0D0, .spare = 0xFFFFFFFF});
  const std::array<unsigned, entry_record_size> expected = {
      0x02, 0x01, 0x06, 0x05, 0x04, 0x03, 0xD0, 0xC0, 0xB0, 0xA0, 0xFF, 0xFF, 0xFF, 0xFF};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(std::to_integer<unsigned>(record[i]), expected[i]) << "byte " << i;
  }

  const name_field short_name = encode_name("a.b");
  EXPECT_EQ(std::string(short_name.data(), short_name.size()),
            std::string("a.b\0\0\0\0\0\0\0\0\0\0\0\0", 15));
  const name_field full = encode_name("fifteen-bytes-x");
  EXPECT_EQ(entry_name(full), "fifteen-bytes-x");
}

// The count field holds 65535: so many members make an archive, one more
// is the only problem reported.
TEST(PlanArchive, TakesUpTo65535MembersAndNoMore) {
  std::vector<archive_member> members;
  members.reserve(max_entries + 1);
  for (std::size_t i = 0; i < max_entries; ++i) {
    members.push_back(file_member("f" + std::to_string(i), "f", 1));
  }
  const archive_plan most = plan_archive(members);
  EXPECT_TRUE(most.ok()) << most.problems.front().reason;
  EXPECT_EQ(most.entries.size(), max_entries);
  members.push_back(file_member("one-more", "f", 1));
  const archive_plan too_many = plan_archive(members);
  ASSERT_EQ(too_many.problems.size(), 1U);
  EXPECT_EQ(too_many.problems[0].member, whole_archive);
  EXPECT_EQ(too_many.problems[0].reason, "too many files: 65536; an archive holds at most 65535");
}

class WriteArchiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    write_file(place_ / "out.qvx", "the old archive");
    write_file(place_ / "a", "first");
    write_file(place_ / "b", "second");
    members_ = {file_member("a", (place_ / "a").string(), 5),
                file_member("b", (place_ / "b").string(), 6)};
  }

  // Writes the members and expects a failure about `subject` that leaves the
  // old archive and no other file behind.
  void expect_failure(const std::string& subject, const std::string& problem) {
    const std::set<std::string> before = list_dir(place_.path());
    const write_result result = write_archive((place_ / "out.qvx").string(), members_, {});
    EXPECT_EQ(result.subject, subject);
    EXPECT_EQ(result.problem.substr(0, problem.size()), problem) << result.problem;
    EXPECT_EQ(read_file(place_ / "out.qvx"), "the old archive");
    EXPECT_EQ(list_dir(place_.path()), before);
  }

  scratch_dir place_;
  std::vector<archive_member> members_;
};

TEST_F(WriteArchiveTest, AFileThatChangedOrWentAwayLeavesTheOldArchive) {
  write_file(place_ / "b", "second, longer");
  expect_failure((place_ / "b").string(),
                 "changed size while the archive was written (it had 6 bytes)");
  write_file(place_ / "b", "short");
  expect_failure((place_ / "b").string(),
                 "changed size while the archive was written (it had 6 bytes)");

  std::filesystem::remove(place_ / "b");
  expect_failure((place_ / "b").string(), "cannot read: ");

  // A file too large to be read whole is checked as it is opened.
  write_file(place_ / "b", std::string(100001, 'b'));
  members_[1].size = 100000;
  expect_failure((place_ / "b").string(),
                 "changed size while the archive was written (from 100000 to 100001 bytes)");
}

TEST_F(WriteArchiveTest, ARefusedPlanWritesNothing) {
  members_[1].name = "a";
  expect_failure((place_ / "b").string(), "its entry name \"a\" is taken by ");
}

TEST_F(WriteArchiveTest, ReportsProgressAfterEachFile) {
  std::vector<std::pair<std::size_t, std::uint64_t>> calls;
  const write_result result = write_archive(
      (place_ / "out.qvx").string(), members_,
      [&](std::size_t files, std::uint64_t bytes) { calls.emplace_back(files, bytes); });
  ASSERT_TRUE(result.ok()) << result.problem;
  EXPECT_EQ(calls, (std::vector<std::pair<std::size_t, std::uint64_t>>{{1, 5}, {2, 11}}));
  EXPECT_EQ(list_dir(place_.path()), (std::set<std::string>{"a", "b", "out.qvx"}));
}

// An edit that copies the old archive's bytes finds it cut short by another
// program meanwhile, and says so.
TEST_F(WriteArchiveTest, AnArchiveCutShortWhileAnEditCopiesItIsNoted) {
  const std::string path = (place_ / "out.qvx").string();
  write_file(place_ / "a", std::string(100, 'a'));
  members_[0].size = 100;
  ASSERT_TRUE(write_archive(path, members_, {}).ok());
  platform::error_code error = 0;
  platform::input_file archive = platform::input_file::open(path, error);
  ASSERT_EQ(error, 0);
  const directory_result read = read_directory(archive);
  ASSERT_TRUE(read.ok()) << read.problem;
  write_file(place_ / "b", "new b");
  const std::vector<archive_member> b = {file_member("b", (place_ / "b").string(), 5)};
  const edit_plan plan = plan_update(read.directory, archive.size(), b, {}, false);
  const edit_layout layout =
      lay_out_edit(read.directory, archive.size(), plan.members, 1, layout_mode::copy, {});
  ASSERT_TRUE(layout.ok()) << layout.problem;
  bool cut = false;
  const write_result result = write_edit(path, archive, read.directory, plan.members, layout,
                                         [&](std::size_t, std::uint64_t) {
                                           if (!std::exchange(cut, true))
                                             std::filesystem::resize_file(path, 20);
                                         });
  EXPECT_EQ(result.problem, "changed while it was rewritten");
  EXPECT_EQ(std::filesystem::file_size(path), 20U);
}

// Another program that appends to the archive in its own file while it is
// rewritten keeps its bytes: the same file grown is a changed archive.
TEST_F(WriteArchiveTest, AnArchiveGrownMeanwhileIsKept) {
  const std::string path = (place_ / "out.qvx").string();
  platform::error_code error = 0;
  platform::input_file source = platform::input_file::open(path, error);
  ASSERT_EQ(error, 0);
  const write_result result = write_archive(
      path, members_,
      [&](std::size_t files, std::uint64_t) {
        if (files == 1) std::ofstream{path, std::ios::binary | std::ios::app} << " and theirs";
      },
      &source, 1);
  EXPECT_EQ(result.problem, "was changed by another program while it was being rewritten");
  EXPECT_EQ(read_file(place_ / "out.qvx"), "the old archive and theirs");
  EXPECT_EQ(list_dir(place_.path()), (std::set<std::string>{"a", "b", "out.qvx"}));
}

}  // namespace
}  // namespace qvx
