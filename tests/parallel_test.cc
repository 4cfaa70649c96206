// Unpacking with several threads must be indistinguishable from unpacking
// with one: the same standard output, standard error, exit status and files,
// for archives full of what makes the order matter.
#include <gtest/gtest.h>

#include <random>

#include "archive_builder.h"
#include "cli_test.h"

namespace qvx::test {
namespace {

// Names drawn from a small pool, so that many entries share one; some differ
// only in case, some are refused, one is the archive's own name and two are
// in the way in the working directory.
const std::vector<std::string> name_pool = {
    "a", "A", "b.txt", "B.TXT", "c", "d.bin", "e", "f", "g", "h", "../up", "", "x/y", "con",
    "in-dir", "kept", "self", "bell\a", "i", "j",
    // One file on Windows, whose file system folds the letters of its code
    // page: e and E with acute, o and O with diaeresis.
    "\xE9.txt", "\xC9.TXT", "\xF6", "\xD6"};

// An archive of random entries over one shared data area: overlapping
// ranges, empty entries, and entries that run past the end of the archive.
std::string random_archive(std::mt19937& random) {
  const std::size_t count = std::uniform_int_distribution<std::size_t>(1, 120)(random);
  std::string data(std::uniform_int_distribution<std::size_t>(0, std::size_t{64} * 1024)(random),
                   '\0');
  for (char& c : data) c = static_cast<char>(random());

  const std::size_t head = builder::head_size(count);
  std::vector<builder::entry_layout> layout(count);
  for (std::size_t i = 0; i < count; ++i) {
    builder::entry_layout& entry = layout[i];
    if (i + 1 < count || random() % 2 == 0) {
      entry.name = name_pool[random() % name_pool.size()];
    } else {
      // Unique names too, which threads may write in any order.
      entry.name = "u" + std::to_string(i);
    }
    if (random() % 4 == 0) entry.name = "u" + std::to_string(i);
    entry.offset = static_cast<std::uint32_t>(head + random() % (data.size() + 1));
    entry.size = static_cast<std::uint32_t>(random() % 5000);
  }
  // The last record says where the names are: after the data, so that some
  // entries run into the name table and past the end of the file.
  layout.back().offset = static_cast<std::uint32_t>(head);
  layout.back().size = static_cast<std::uint32_t>(data.size());
  if (random() % 3 == 0) layout.front().size = 0xFFFFFFF0U;
  return builder::encode_head(layout) + data + builder::encode_names(layout);
}

// What a run leaves: every file's name with its content, and directories.
std::map<std::string, std::string> snapshot(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const auto& item : fs::directory_iterator(dir)) {
    const std::string name = item.path().filename().string();
    files[name] = item.is_directory() ? "<directory>" : read_file(item.path());
  }
  return files;
}

struct outcome {
  run_result result;
  std::map<std::string, std::string> files;
};

// Unpacks `archive` into a fresh directory set up the same way each time:
// the archive itself inside it, a directory and an older file in the way.
outcome unpack_with(const std::string& archive, unsigned jobs) {
  const scratch_dir work;
  write_file(work / "self", archive);
  fs::create_directory(work / "in-dir");
  write_file(work / "kept", "an older file");
  run_options options;
  options.environment["QVXREADER_JOBS"] = std::to_string(jobs);
  outcome seen{run_tool({"self"}, work.path(), options), {}};
  seen.files = snapshot(work.path());
  return seen;
}

TEST(ParallelTest, AnyNumberOfThreadsGivesWhatOneThreadGives) {
  // A new seed each run finds more over time; a failure names its seed.
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random{seed};
  const int archives = testing_windows_build() ? 8 : 30;
  for (int n = 0; n < archives; ++n) {
    SCOPED_TRACE("archive " + std::to_string(n));
    const std::string archive = random_archive(random);
    const outcome serial = unpack_with(archive, 1);
    for (const unsigned jobs : {2U, 4U, 8U}) {
      SCOPED_TRACE("QVXREADER_JOBS=" + std::to_string(jobs));
      const outcome parallel = unpack_with(archive, jobs);
      EXPECT_EQ(parallel.result.exit_status, serial.result.exit_status);
      EXPECT_EQ(parallel.result.out, serial.result.out);
      EXPECT_EQ(parallel.result.err, serial.result.err);
      EXPECT_TRUE(parallel.files == serial.files) << "the files left differ";
    }
  }
}

// The thread count never changes which of two names that Windows takes as
// one is left: the later entry, also when the earlier one is slow to copy.
TEST(ParallelTest, TheLaterOfTwoNamesWindowsTakesAsOneIsLeftAtAnyThreadCount) {
  const std::string archive = builder::build_archive(std::vector<builder::entry_content>{
      {"\xE9.txt", std::string(std::size_t{8} << 20U, 'x')}, {"\xC9.TXT", "second"}});
  for (const unsigned jobs : {1U, 4U}) {
    SCOPED_TRACE("QVXREADER_JOBS=" + std::to_string(jobs));
    const outcome seen = unpack_with(archive, jobs);
    EXPECT_EQ(seen.result.exit_status, 0) << seen.result.err;
    if (testing_windows_build()) {
      std::size_t written = 0;
      for (const auto& [name, content] : seen.files) {
        if (name != "self" && name != "kept" && name != "in-dir") {
          ++written;
          EXPECT_EQ(content, "second") << name;
        }
      }
      EXPECT_EQ(written, 1U);
    } else {
      EXPECT_EQ(seen.files.at("\xC9.TXT"), "second");
      EXPECT_EQ(seen.files.at("\xE9.txt").size(), std::size_t{8} << 20U);
    }
  }
}

// Of many entries of one name, only the last is left, also when they keep
// every thread's window full and descriptors are few, some of them taken by
// files the program was started with.
TEST(ParallelTest, ManyEntriesOfOneNameLeaveTheLastWithFewDescriptors) {
  if (testing_windows_build()) GTEST_SKIP() << "RLIMIT_NOFILE is POSIX";
  std::vector<builder::entry_content> entries;
  entries.reserve(200);
  for (int i = 0; i < 200; ++i) {
    entries.push_back({i % 3 == 2 ? "u" + std::to_string(i) : "a", std::to_string(i)});
  }
  const std::string archive = builder::build_archive(entries);
  const std::pair<unsigned long long, int> limits[] = {{12, 0}, {32, 0}, {32, 14}, {1024, 0}};
  for (const auto& [descriptors, inherited] : limits) {
    for (const char* jobs : {"4", "8"}) {
      SCOPED_TRACE(std::to_string(descriptors) + " descriptors, " + std::to_string(inherited) +
                   " of them inherited, " + jobs + " threads");
      const scratch_dir work;
      write_file(work / "in.qvx", archive);
      run_options options;
      options.environment["QVXREADER_JOBS"] = jobs;
      options.open_files_limit = descriptors;
      options.inherited_files = inherited;
      const run_result result = run_tool({"in.qvx"}, work.path(), options);
      EXPECT_EQ(result.exit_status, 0) << result.err;
      EXPECT_EQ(read_file(work / "a"), "199");
      EXPECT_EQ(list_dir(work.path()).size(), 1 + 1 + 66U);
    }
  }
}

TEST(ParallelTest, AnUnusableJobCountIsReportedAndIgnored) {
  const scratch_dir place;
  const scratch_dir work;
  write_file(place / "a.qvx", builder::build_archive(
                                  std::vector<builder::entry_content>{{"one", "1"}, {"two", "2"}}));
  for (const char* setting :
       {"", "0", "many", "65", "-1", "2x", " 4", "+4", "4 ", "-18446744073709551612"}) {
    SCOPED_TRACE(std::string{"QVXREADER_JOBS="} + setting);
    run_options options;
    options.environment["QVXREADER_JOBS"] = setting;
    const run_result result = run_tool({(place / "a.qvx").string()}, work.path(), options);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, console_text("qvxreader: QVXREADER_JOBS: not a number of threads from 1 "
                                       "to 64; ignored\n"));
    EXPECT_EQ(read_file(work / "two"), "2");
  }
  // Every count from 1 to 64 is taken as it is, without a word.
  for (const char* setting : {"1", "64", "064"}) {
    SCOPED_TRACE(std::string{"QVXREADER_JOBS="} + setting);
    run_options options;
    options.environment["QVXREADER_JOBS"] = setting;
    const run_result result = run_tool({(place / "a.qvx").string()}, work.path(), options);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, "");
  }
}

}  // namespace
}  // namespace qvx::test
