// The tool under hostile archives and a hostile disk: cut archives, a full
// disk, a directory it may not write, and traps planted in the working
// directory. None of these may crash it, make up bytes, or destroy a file it
// could not replace with a complete entry.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "archive_builder.h"
#include "cli_test.h"

namespace qvx::test {
namespace {

using builder::entry_content;

const std::vector<entry_content> three_entries = {{"alpha.txt", "the first entry"},
                                                  {"beta.bin", std::string("\0\1\2\3\xFE\xFF", 6)},
                                                  {"gamma", "3"}};

// Every file the run left must be some entry's bytes: the archive's bytes at
// that entry's offset, as many as exist up to its size.
void expect_only_archive_bytes(const fs::path& dir, const std::string& archive,
                               const std::vector<entry_content>& entries) {
  std::size_t offset = builder::head_size(entries.size());
  std::map<std::string, std::string> expected;
  for (const entry_content& entry : entries) {
    expected[entry.name] = offset < archive.size() ? archive.substr(offset, entry.data.size()) : "";
    offset += entry.data.size();
  }
  for (const std::string& name : list_dir(dir)) {
    ASSERT_TRUE(expected.count(name)) << "unexpected file " << name;
    EXPECT_EQ(read_file(dir / name), expected[name]) << name;
  }
}

TEST(FaultTest, ArchiveCutAtEveryLengthFailsCleanly) {
  const std::string archive = builder::build_archive(three_entries);
  const scratch_dir place;
  for (std::size_t length = 0; length <= archive.size(); ++length) {
    SCOPED_TRACE("length " + std::to_string(length));
    const scratch_dir work;
    write_file(place / "cut.qvx", archive.substr(0, length));
    const run_result result = run_tool({(place / "cut.qvx").string()}, work.path());
    // The names close the archive, so any cut loses part of the directory.
    if (length < archive.size()) {
      EXPECT_EQ(result.exit_status, 2) << result.out << result.err;
      EXPECT_TRUE(list_dir(work.path()).empty());
    } else {
      EXPECT_EQ(result.exit_status, 0);
    }
    expect_only_archive_bytes(work.path(), archive, three_entries);
  }
}

TEST(FaultTest, FullDiskKeepsTheOldFileAndReportsTheEntry) {
  // RLIMIT_FSIZE stands in for a full disk; SIGXFSZ stays at its default.
  if (testing_windows_build()) GTEST_SKIP() << "RLIMIT_FSIZE is POSIX";
  const std::vector<entry_content> entries = {{"small", "fits"},
                                              {"large", std::string(std::size_t{64} * 1024, 'L')},
                                              {"after", "also fits"}};
  const scratch_dir place;
  const scratch_dir work;
  write_file(place / "a.qvx", builder::build_archive(entries));
  write_file(work / "large", "the previous large file");

  run_options limited;
  limited.file_size_limit = 16 * 1024;
  const run_result result = run_tool({(place / "a.qvx").string()}, work.path(), limited);

  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(read_file(work / "large"), "the previous large file");
  EXPECT_EQ(read_file(work / "small"), "fits");
  EXPECT_EQ(read_file(work / "after"), "also fits");
  EXPECT_EQ(list_dir(work.path()), (std::set<std::string>{"small", "large", "after"}));
  EXPECT_NE(result.err.find("qvxreader: large: not written: "), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("File too large"), std::string::npos) << result.err;
}

TEST(FaultTest, ReadOnlyDirectoryReportsEveryEntryAndStaysUnchanged) {
  if (testing_windows_build()) GTEST_SKIP() << "POSIX permissions";
  run_options options;
  if (::geteuid() == 0) {
    // Root writes anywhere; the check needs an ordinary user.
    const passwd* nobody = ::getpwnam("nobody");
    if (nobody == nullptr) GTEST_SKIP() << "no unprivileged user to run as";
    options.user_id = nobody->pw_uid;
  }
  const scratch_dir place;
  const scratch_dir work;
  write_file(place / "a.qvx", builder::build_archive(three_entries));
  write_file(work / "gamma", "kept");
  fs::permissions(place.path(),
                  fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
  fs::permissions(place / "a.qvx", fs::perms::owner_read | fs::perms::others_read);
  fs::permissions(work.path(), fs::perms::owner_read | fs::perms::owner_exec |
                                   fs::perms::others_read | fs::perms::others_exec);

  const run_result result = run_tool({(place / "a.qvx").string()}, work.path(), options);

  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(list_dir(work.path()), (std::set<std::string>{"gamma"}));
  EXPECT_EQ(read_file(work / "gamma"), "kept");
  EXPECT_NE(result.out.find("   3 /    3           gamma"), std::string::npos) << result.out;
  for (const char* name : {"alpha.txt", "beta.bin", "gamma"}) {
    EXPECT_NE(result.err.find(std::string{"qvxreader: "} + name + ": not written: "),
              std::string::npos)
        << result.err;
  }
  EXPECT_NE(result.err.find("Permission denied"), std::string::npos) << result.err;
}

TEST(FaultTest, APlantedLinkIsReplacedNeverFollowed) {
  if (testing_windows_build()) GTEST_SKIP() << "symbolic links";
  const scratch_dir place;
  const scratch_dir outside;
  const scratch_dir work;
  write_file(place / "a.qvx", builder::build_archive(three_entries));
  write_file(outside / "secret", "outside the working directory");
  fs::create_symlink(outside / "secret", work / "alpha.txt");

  const run_result result = run_tool({(place / "a.qvx").string()}, work.path());

  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(read_file(outside / "secret"), "outside the working directory");
  EXPECT_FALSE(fs::is_symlink(work / "alpha.txt"));
  EXPECT_EQ(read_file(work / "alpha.txt"), "the first entry");
  EXPECT_EQ(list_dir(work.path()), (std::set<std::string>{"alpha.txt", "beta.bin", "gamma"}));
}

}  // namespace
}  // namespace qvx::test
