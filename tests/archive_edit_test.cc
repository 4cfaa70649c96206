// The edit planner: which entries an update or a delete keeps, replaces and
// adds, and how many bytes of an archive belong to no entry.
#include "archive/archive_edit.h"

#include <gtest/gtest.h>

namespace qvx {
namespace {

archive_directory directory_of(const std::vector<std::pair<std::string, archive_entry>>& entries) {
  archive_directory directory;
  for (const auto& [name, entry] : entries) {
    directory.entries.push_back(entry);
    directory.names.push_back(encode_name(name));
  }
  return directory;
}

archive_entry at(std::uint32_t offset, std::uint32_t size) {
  archive_entry entry;
  entry.offset = offset;
  entry.size = size;
  return entry;
}

TEST(UnownedBytes, CountsEveryByteOutsideTheTableTheEntriesAndTheNames) {
  // Empty: the count alone, and anything after it.
  EXPECT_EQ(unowned_bytes(archive_directory{}, 2), 0U);
  EXPECT_EQ(unowned_bytes(archive_directory{}, 9), 7U);
  // The table takes [0,44); a [30,40) lies inside it and b [35,50) runs
  // past it; a 10-byte gap before c [60,61); names [61,106); 4 bytes after.
  const archive_directory directory =
      directory_of({{"a", at(30, 10)}, {"b", at(35, 15)}, {"c", at(60, 1)}});
  EXPECT_EQ(unowned_bytes(directory, 110), 14U);
  // Table [0,58), a [30,50), b inside a, x past the end of the file, the
  // empty c, names [50,110): nothing beyond the file's end is counted.
  const archive_directory nested =
      directory_of({{"a", at(30, 20)}, {"b", at(32, 3)}, {"x", at(500, 10)}, {"c", at(50, 0)}});
  EXPECT_EQ(unowned_bytes(nested, 50 + 60), 0U);
  EXPECT_EQ(unowned_bytes(nested, 50 + 60 + 1), 1U);
}

TEST(PlanUpdate, ReplacesTheLastOfANameKeepsTheRestAndAddsAtTheEnd) {
  archive_entry first = at(58, 3);
  first.tag = 9;
  archive_entry last = at(61, 4);
  last.spare = 77;
  const archive_directory directory =
      directory_of({{"x", first}, {"y", at(61, 0)}, {"x", last}, {"Z", at(65, 0)}});
  const std::vector<archive_member> files = {file_member("x", "dir/x", 5),
                                             file_member("new", "new", 2)};
  const edit_plan plan = plan_update(directory, 65 + 60, files);
  ASSERT_TRUE(plan.ok());
  ASSERT_EQ(plan.members.size(), 5U);
  EXPECT_TRUE(plan.members[0].kept());
  EXPECT_EQ(plan.members[0].tag, 9);
  EXPECT_EQ(plan.members[2].path, "dir/x");
  EXPECT_EQ(plan.members[2].size, 5U);
  EXPECT_EQ(plan.members[2].spare, 77U);
  EXPECT_EQ(plan.members[4].path, "new");
  EXPECT_FALSE(plan.members[4].field.has_value());  // a new name is checked as create checks it
  EXPECT_EQ(plan.members[2].old_index, std::optional<std::size_t>{2});

  const std::vector<archive_member> clashing = {file_member("z", "z", 1)};
  const edit_plan refused = plan_update(directory, 65 + 60, clashing);
  ASSERT_EQ(refused.problems.size(), 1U);
  EXPECT_EQ(refused.problems[0].subject, "z");
}

TEST(PlanDelete, RemovesEveryEntryOfANameAndNamesWhatIsMissing) {
  const archive_directory directory =
      directory_of({{"x", at(44, 1)}, {"y", at(45, 1)}, {"x", at(46, 1)}});
  const std::vector<std::string> names = {"x", "w", "v"};
  const edit_plan plan = plan_delete(directory, 47 + 45, names);
  ASSERT_EQ(plan.members.size(), 1U);
  EXPECT_EQ(plan.members[0].name, "y");
  ASSERT_EQ(plan.problems.size(), 2U);
  EXPECT_EQ(plan.problems[0].subject, "w");
  EXPECT_EQ(plan.problems[1].subject, "v");
}

}  // namespace
}  // namespace qvx
