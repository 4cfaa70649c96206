#include "archive/directory.h"

#include <gtest/gtest.h>

#include "archive_builder.h"
#include "test_support.h"

namespace qvx {
namespace {

using builder::entry_content;
using namespace std::string_literals;

class DirectoryTest : public ::testing::Test {
 protected:
  directory_result read_bytes(std::string_view bytes) {
    test::write_file(dir_ / "archive.qvx", bytes);
    platform::error_code error = 0;
    const platform::input_file file = platform::input_file::open(dir_ / "archive.qvx", error);
    EXPECT_EQ(error, 0);
    return read_directory(file);
  }

  test::scratch_dir dir_;
};

const std::vector<entry_content> two_entries = {{"first.txt", "hello"}, {"second", "0123456789"}};

TEST_F(DirectoryTest, ReadsRecordsAndNamesInTableOrder) {
  std::string archive = builder::build_archive(two_entries);
  builder::put_u16(archive, 2, 0xBEEF);                // tag of entry 0
  builder::put_u32(archive, 2 + 14 + 10, 0xCAFEF00D);  // spare of entry 1

  const directory_result read = read_bytes(archive);
  ASSERT_TRUE(read.ok()) << read.problem;
  const auto& entries = read.directory.entries;
  ASSERT_EQ(entries.size(), 2U);
  EXPECT_EQ(entries[0].tag, 0xBEEF);
  EXPECT_EQ(entries[0].offset, 2U + 2 * 14);
  EXPECT_EQ(entries[0].size, 5U);
  EXPECT_EQ(entries[1].offset, 2U + 2 * 14 + 5);
  EXPECT_EQ(entries[1].size, 10U);
  EXPECT_EQ(entries[1].spare, 0xCAFEF00DU);
  EXPECT_EQ(entry_name(read.directory.names[0]), "first.txt");
  EXPECT_EQ(entry_name(read.directory.names[1]), "second");
}

TEST_F(DirectoryTest, CountZeroIgnoresEverythingAfterIt) {
  const directory_result read = read_bytes("\0\0garbage that is not a table"s);
  ASSERT_TRUE(read.ok()) << read.problem;
  EXPECT_TRUE(read.directory.entries.empty());
}

TEST_F(DirectoryTest, NameTableFollowsTheLastRecordNotTheLastData) {
  // Entry 1's data lies before entry 0's, so entry 0's data ends last; the
  // names still start where entry 1 (the last record) ends.
  std::string archive(2 + 2 * 14, '\0');
  builder::put_u16(archive, 0, 2);
  builder::put_u32(archive, builder::offset_field_position(0), 40);
  builder::put_u32(archive, builder::size_field_position(0), 10);
  builder::put_u32(archive, builder::offset_field_position(1), 30);
  builder::put_u32(archive, builder::size_field_position(1), 10);
  archive += std::string(10, 'b') + std::string(10, 'a');  // 30..39 and 40..49
  archive.replace(40, 10, "one\0\0\0\0\0\0\0"s);
  archive += "\0\0\0\0\0two\0\0"s + std::string(10, '\0');

  const directory_result read = read_bytes(archive);
  ASSERT_TRUE(read.ok()) << read.problem;
  EXPECT_EQ(entry_name(read.directory.names[0]), "one");
  EXPECT_EQ(entry_name(read.directory.names[1]), "two");
}

TEST_F(DirectoryTest, FailsWhenTheFileEndsBeforeAnyPartOfTheDirectory) {
  // The name table closes the file, so every cut, in the count, the table,
  // the data or the names, leaves some part of the directory unread. None may
  // be read as zeros.
  const std::string archive = builder::build_archive(two_entries);
  for (std::size_t length = 0; length < archive.size(); ++length) {
    EXPECT_FALSE(read_bytes(archive.substr(0, length)).ok()) << "length " << length;
  }
  EXPECT_TRUE(read_bytes(archive).ok());
  // The message says how far the part that was cut reaches.
  EXPECT_EQ(read_bytes(archive.substr(0, 1)).problem,
            "the file ends inside the entry count (1 bytes, 2 needed)");
  EXPECT_EQ(read_bytes(archive.substr(0, 20)).problem,
            "the file ends inside the entry table (20 bytes, 30 needed)");
  EXPECT_EQ(read_bytes(archive.substr(0, 60)).problem,
            "the file ends inside the name table (60 bytes, 75 needed)");
}

TEST_F(DirectoryTest, NameTablePositionBeyond4GiBIsNotWrappedBackIntoTheFile) {
  // offset + size wraps to 8 in 32 bits, which would land inside the file.
  const std::vector<entry_content> one_entry = {{"x", "data"}};
  std::string archive = builder::build_archive(one_entry);
  archive += std::string(64, 'n');
  builder::put_u32(archive, builder::offset_field_position(0), 0xFFFFFFF0);
  builder::put_u32(archive, builder::size_field_position(0), 0x18);
  const directory_result read = read_bytes(archive);
  EXPECT_FALSE(read.ok());
  EXPECT_NE(read.problem.find("at or beyond the end"), std::string::npos) << read.problem;
}

TEST_F(DirectoryTest, NameTableStartingExactlyAtTheEndIsReportedWithItsPosition) {
  // Data end at byte 45 and the file too: the position is the size, not past it.
  const std::string archive = builder::build_archive(two_entries).substr(0, 2 + 2 * 14 + 15);
  const directory_result read = read_bytes(archive);
  EXPECT_EQ(read.problem,
            "the name table's position 45 lies at or beyond the end of the file (45 bytes)");
}

TEST_F(DirectoryTest, ADirectoryIsNotAnArchive) {
  platform::error_code error = 0;
  const platform::input_file file = platform::input_file::open(dir_.path().string(), error);
  EXPECT_NE(error, 0);
  EXPECT_FALSE(file.is_open());
}

}  // namespace
}  // namespace qvx
