// End-to-end runs of the tool: exact standard output, diagnostics, exit
// status and the files left behind.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "archive_builder.h"
#include "cli_test.h"

namespace qvx::test {
namespace {

using builder::entry_content;

class CliTest : public ::testing::Test {
 protected:
  // Writes an archive beside (not inside) the working directory.
  std::string put_archive(const std::string& bytes) {
    const fs::path path = place_ / "input.qvx";
    write_file(path, bytes);
    return path.string();
  }

  scratch_dir place_;
  scratch_dir work_;
};

const std::vector<entry_content> hello_and_data = {{"hello.txt", "Hello"},
                                                   {"data.bin", std::string("\xFF\x00\x01", 3)}};

TEST_F(CliTest, WithoutAPathPrintsBannerAndUsageAndDoesNotPause) {
  const run_result result = run_tool({}, work_.path());
  EXPECT_EQ(result.out, banner() + console_text("QVXReader <path>\n"));
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.exit_status, 0);
}

TEST_F(CliTest, UnpacksEveryEntryWithTheListing) {
  const std::string archive = put_archive(builder::build_archive(hello_and_data));
  const run_result result = run_tool({archive}, work_.path());

  EXPECT_EQ(result.out,
            banner() +
                console_text(
                    "File has 2 Entries\n\n"
                    "   1 /    2       hello.txt              30 bytes               5 bytes\n"
                    "   2 /    2        data.bin              35 bytes               3 bytes\n") +
                pause_text());
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(list_dir(work_.path()), (std::set<std::string>{"hello.txt", "data.bin"}));
  EXPECT_EQ(read_file(work_ / "hello.txt"), "Hello");
  EXPECT_EQ(read_file(work_ / "data.bin"), std::string("\xFF\x00\x01", 3));
}

TEST_F(CliTest, OnlyTheFirstArgumentIsAPathEvenWithADash) {
  write_file(work_ / "-v", builder::build_archive(hello_and_data));
  const run_result result = run_tool({"-v", "ignored", "--help"}, work_.path());
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(list_dir(work_.path()), (std::set<std::string>{"-v", "hello.txt", "data.bin"}));
}

TEST_F(CliTest, EmptyArchivePrintsOnlyTheBannerAndPause) {
  const run_result result = run_tool({put_archive(std::string("\0\0trailing", 10))}, work_.path());
  EXPECT_EQ(result.out, banner() + pause_text());
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_TRUE(list_dir(work_.path()).empty());
}

TEST_F(CliTest, UnreadableArchiveIsAnErrorWithExitStatus2) {
  std::string cut = builder::build_archive(hello_and_data);
  cut.resize(cut.size() - 1);  // the last name field is one byte short
  const std::string cases[] = {(place_ / "missing.qvx").string(), "", place_.path().string(),
                               put_archive(cut)};
  for (const std::string& path : cases) {
    SCOPED_TRACE(path);
    const run_result result = run_tool({path}, work_.path());
    EXPECT_EQ(result.out, banner() + console_text("Error reading file!\n") + pause_text());
    EXPECT_EQ(result.err.rfind("qvxreader: ", 0), 0U) << result.err;
    EXPECT_EQ(result.exit_status, 2);
    EXPECT_TRUE(list_dir(work_.path()).empty());
  }
}

TEST_F(CliTest, UnsafeNamesAreRefusedReportedAndListed) {
  const std::vector<entry_content> entries = {
      {"../escape", "x"}, {"ok.txt", "fine"}, {"\x1B[1A\rhide", "y"}, {"", "z"},
      {"..", "w"},        {"/etc/qvx", "v"},  {"a\\b", "u"},
  };
  const run_result result = run_tool({put_archive(builder::build_archive(entries))}, work_.path());

  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(list_dir(work_.path()), (std::set<std::string>{"ok.txt"}));
  EXPECT_FALSE(fs::exists(work_.path().parent_path() / "escape"));
  EXPECT_EQ(result.out.find('\x1B'), std::string::npos);
  EXPECT_EQ(result.err.find('\x1B'), std::string::npos);
  EXPECT_NE(result.out.find(console_text("   3 /    7       ?[1A?hide")), std::string::npos);
  EXPECT_NE(result.out.find(console_text("   4 /    7                 ")), std::string::npos);

  // One diagnostic per refused entry, each a line of its own.
  std::istringstream lines{result.err};
  int refused = 0;
  for (std::string line; std::getline(lines, line); ++refused) {
    EXPECT_EQ(line.rfind("qvxreader: ", 0), 0U) << line;
    EXPECT_NE(line.find("not written"), std::string::npos) << line;
  }
  EXPECT_EQ(refused, 6);
}

TEST_F(CliTest, EntryRunningPastTheEndGetsOnlyTheBytesThatExist) {
  std::string archive = builder::build_archive(hello_and_data);
  builder::put_u32(archive, builder::size_field_position(0), 3000000000U);
  const std::string path = put_archive(archive);
  const run_result result = run_tool({path}, work_.path());

  EXPECT_EQ(result.exit_status, 1);
  // Everything from hello.txt's offset to the end: its own bytes, data.bin's
  // and the name table; never a byte made up to fill the size.
  EXPECT_EQ(read_file(work_ / "hello.txt"), archive.substr(30));
  EXPECT_NE(result.err.find("qvxreader: hello.txt: incomplete: "), std::string::npos) << result.err;
  EXPECT_NE(result.out.find(console_text("      3000000000 bytes\n")), std::string::npos)
      << result.out;
  EXPECT_EQ(read_file(work_ / "data.bin"), std::string("\xFF\x00\x01", 3));

  // A file of that name is complete; the cut-short entry must not replace it.
  write_file(work_ / "hello.txt", "OLD precious content");
  const run_result again = run_tool({path}, work_.path());
  EXPECT_EQ(again.exit_status, 1);
  EXPECT_EQ(read_file(work_ / "hello.txt"), "OLD precious content");
  EXPECT_NE(again.err.find("qvxreader: hello.txt: not written: the archive ends "),
            std::string::npos)
      << again.err;
  EXPECT_NE(again.err.find("the existing file is kept"), std::string::npos) << again.err;
  EXPECT_EQ(list_dir(work_.path()), (std::set<std::string>{"hello.txt", "data.bin"}));
}

TEST_F(CliTest, DiagnosticsKeepTheirPlaceAmongTheListingLines) {
  // Standard output goes to a file, so it is fully buffered; the diagnostic
  // for entry 2 must still come after entry 1's line and before entry 2's.
  const std::vector<entry_content> entries = {{"one", "1"}, {"../two", "2"}, {"three", "3"}};
  run_options merged;
  merged.merge_stderr = true;
  const run_result result =
      run_tool({put_archive(builder::build_archive(entries))}, work_.path(), merged);
  const std::size_t first = result.out.find(console_text("   1 /    3             one"));
  const std::size_t problem = result.out.find("qvxreader: ../two: not written");
  const std::size_t second = result.out.find(console_text("   2 /    3          ../two"));
  ASSERT_NE(problem, std::string::npos) << result.out;
  EXPECT_LT(first, problem);
  EXPECT_LT(problem, second);
}

TEST_F(CliTest, AListingThatCannotBeWrittenIsAFailure) {
  if (testing_windows_build()) GTEST_SKIP() << "/dev/full";
  run_options full;
  full.stdout_path = "/dev/full";
  const run_result result =
      run_tool({put_archive(builder::build_archive(hello_and_data))}, work_.path(), full);
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.err, "qvxreader: standard output: write error\n");
  EXPECT_EQ(read_file(work_ / "hello.txt"), "Hello");
}

TEST_F(CliTest, LaterEntryOfTheSameNameWinsAndBothAreListed) {
  write_file(work_ / "same", "existing file");
  const std::vector<entry_content> entries = {{"same", "first"}, {"same", "second"}};
  const run_result result = run_tool({put_archive(builder::build_archive(entries))}, work_.path());
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(read_file(work_ / "same"), "second");
  EXPECT_NE(result.out.find(console_text("   1 /    2            same")), std::string::npos);
  EXPECT_NE(result.out.find(console_text("   2 /    2            same")), std::string::npos);
}

TEST_F(CliTest, TheArchiveItselfIsNeverOverwritten) {
  const std::vector<entry_content> entries = {{"before", "1"}, {"self.qvx", "2"}, {"after", "3"}};
  const std::string bytes = builder::build_archive(entries);
  write_file(work_ / "self.qvx", bytes);
  // Both ways of naming a file: an anonymous file linked in, and a named
  // temporary file renamed without replacing.
  for (const char* portable : {"0", "1"}) {
    SCOPED_TRACE(std::string{"QVXREADER_PORTABLE_IO="} + portable);
    run_options options;
    options.environment["QVXREADER_PORTABLE_IO"] = portable;
    const run_result result = run_tool({"self.qvx"}, work_.path(), options);

    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(read_file(work_ / "self.qvx"), bytes);
    EXPECT_EQ(read_file(work_ / "before"), "1");
    EXPECT_EQ(read_file(work_ / "after"), "3");
    EXPECT_NE(result.err.find("self.qvx: not written"), std::string::npos) << result.err;
    EXPECT_EQ(list_dir(work_.path()), (std::set<std::string>{"before", "self.qvx", "after"}));
  }
}

TEST_F(CliTest, ADirectoryOfAnEntrysNameIsReportedAndKept) {
  fs::create_directory(work_ / "hello.txt");
  const run_result result =
      run_tool({put_archive(builder::build_archive(hello_and_data))}, work_.path());
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_TRUE(fs::is_directory(work_ / "hello.txt"));
  EXPECT_EQ(read_file(work_ / "data.bin"), std::string("\xFF\x00\x01", 3));
  EXPECT_EQ(list_dir(work_.path()), (std::set<std::string>{"hello.txt", "data.bin"}));
  EXPECT_NE(result.err.find("qvxreader: hello.txt: not written"), std::string::npos) << result.err;
}

TEST_F(CliTest, EntriesBeyond2GiBComeOutWhole) {
  // A sparse archive: the entry and the name table both lie past 3 GiB,
  // beyond what a signed 32-bit position can reach.
  constexpr std::uint32_t far = 0xC0000000U;
  std::string head(2 + 14, '\0');
  builder::put_u16(head, 0, 1);
  builder::put_u32(head, builder::offset_field_position(0), far);
  builder::put_u32(head, builder::size_field_position(0), 6);
  const fs::path path = place_ / "far.qvx";
  write_file(path, head);
  fs::resize_file(path, far);
  {
    std::ofstream tail(path, std::ios::binary | std::ios::app);
    tail << "farawa" << std::string("far.txt\0\0\0\0\0\0\0\0", 15);
  }
  const run_result result = run_tool({path.string()}, work_.path());
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(read_file(work_ / "far.txt"), "farawa");
  EXPECT_NE(result.out.find(console_text("      3221225472 bytes               6 bytes\n")),
            std::string::npos);
}

TEST_F(CliTest, PortableFileHandlingGivesTheSameFiles) {
  // QVXREADER_PORTABLE_IO=1: read/write instead of the kernel copy, and named
  // temporary files instead of anonymous ones. "big" and "cut" start on page
  // boundaries, where the default path copies in the kernel; "cut" runs past
  // the end of the archive, so both paths also meet a short copy.
  const std::size_t head = builder::head_size(4);
  std::string big(3 * 1024 * 1024 + 17, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 251);
  std::string archive = builder::build_archive(std::vector<entry_content>{
      {"pad", std::string(4096 - head, 'p')}, {"big", big}, {"cut", ""}, {"none", ""}});
  builder::put_u32(archive, builder::offset_field_position(2), 8192);
  builder::put_u32(archive, builder::size_field_position(2), 0xFFFF0000U);
  const std::string path = put_archive(archive);

  const run_result kernel = run_tool({path}, work_.path());
  scratch_dir portable_dir;
  run_options portable;
  portable.environment["QVXREADER_PORTABLE_IO"] = "1";
  const run_result buffered = run_tool({path}, portable_dir.path(), portable);

  for (const run_result* result : {&kernel, &buffered}) EXPECT_EQ(result->exit_status, 1);
  EXPECT_EQ(kernel.out, buffered.out);
  EXPECT_EQ(read_file(work_ / "big"), big);
  EXPECT_EQ(read_file(work_ / "cut"), archive.substr(8192));
  for (const char* name : {"pad", "big", "cut", "none"}) {
    EXPECT_EQ(read_file(work_ / name), read_file(portable_dir / name)) << name;
  }
}

TEST_F(CliTest, ArchivePathsOutsideTheAnsiCodePageAndLongerThan260CharactersOpen) {
  const fs::path foreign = place_ / foreign_name;
  // Three levels of at most 120 characters: each name is legal everywhere,
  // only the whole path is long.
  const fs::path deep =
      place_ / std::string(120, 'a') / std::string(120, 'b') / std::string(40, 'c');
  ASSERT_GT((deep / "input.qvx").string().size(), 260U);
  for (const fs::path& dir : {foreign, deep}) {
    SCOPED_TRACE(dir.string());
    fs::create_directories(dir);
    write_file(dir / "input.qvx", builder::build_archive(hello_and_data));
    const scratch_dir work;
    const run_result result =
        run_tool({(dir / "input.qvx").string()}, work.path(), in_utf8_locale());
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(list_dir(work.path()), (std::set<std::string>{"hello.txt", "data.bin"}));
    EXPECT_EQ(read_file(work / "data.bin"), std::string("\xFF\x00\x01", 3));
  }
}

TEST_F(CliTest, APathIsReportedInTheConsolesCharacters) {
  // Windows prints names in the ANSI code page, so a path's characters that
  // it lacks are shown as '?' rather than as stray UTF-8 bytes.
  fs::create_directory(place_ / foreign_name);
  const std::string missing = (place_ / foreign_name / "missing.qvx").string();
  const std::string shown =
      testing_windows_build() ? (place_ / "????? ??" / "missing.qvx").string() : missing;
  const run_result result = run_tool({missing}, work_.path(), in_utf8_locale());
  EXPECT_EQ(result.exit_status, 2);
  EXPECT_EQ(result.err.rfind("qvxreader: " + shown + ": cannot open: ", 0), 0U) << result.err;
}

TEST_F(CliTest, WindowsDeviceAndAlteredNamesAreRefused) {
  if (!testing_windows_build()) GTEST_SKIP() << "Windows file-name rules";
  const std::vector<entry_content> entries = {
      {"CON", "1"}, {"nul.txt", "2"}, {"Com1", "3"}, {"a:b", "4"}, {"trail.", "5"}, {"ok", "6"},
  };
  const run_result result = run_tool({put_archive(builder::build_archive(entries))}, work_.path());
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(list_dir(work_.path()), (std::set<std::string>{"ok"}));
  for (const char* refused : {"CON: ", "nul.txt: ", "Com1: ", "a:b: ", "trail.: "}) {
    EXPECT_NE(result.err.find(std::string{"qvxreader: "} + refused + "not written"),
              std::string::npos)
        << refused;
  }
}

// The Windows programs' path conversion, by the test program built beside
// them: long relative, absolute and UNC paths get the \\?\ prefix. (Wine has
// no MAX_PATH limit, so opening a long path proves nothing there.)
TEST(WindowsPaths, LongPathsGetThePrefixAndShortOnesStay) {
  const char* command = std::getenv("QVX_COMMAND");
  if (!testing_windows_build() || command == nullptr) GTEST_SKIP() << "the Windows build";
  std::vector<std::string> words;
  std::istringstream in{command};
  for (std::string word; in >> word;) words.push_back(word);
  ASSERT_TRUE(words.back().ends_with("qvx.exe")) << command;
  words.back().replace(words.back().size() - 7, 7, "qvx_path_test.exe");
  const scratch_dir work;
  run_options options;
  options.working_directory = work.path();
  const run_result result = run(words, options);
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_NE(result.out.find("all path conversions as expected"), std::string::npos) << result.out;
}

}  // namespace
}  // namespace qvx::test
