#include "console/progress_line.h"

#include "console/command_progress.h"

#include <gtest/gtest.h>

namespace qvx {
namespace {

using std::chrono::milliseconds;

TEST(ProgressLine, QuietForASecondThenRedrawnAtMostFourTimesASecondAndErased) {
  const progress_line::clock::time_point start{};
  std::string terminal;
  {
    progress_line line([&](std::string_view text) { terminal += text; }, [] { return 80; }, start);
    const auto describe = [](const char* text) { return [text] { return std::string{text}; }; };

    line.update(describe("early"), start + milliseconds{999});
    EXPECT_EQ(terminal, "");
    line.update(describe("long line"), start + milliseconds{1000});
    EXPECT_EQ(terminal, "\rlong line");
    line.update(describe("too soon"), start + milliseconds{1249});
    EXPECT_EQ(terminal, "\rlong line");
    line.update(describe("short"), start + milliseconds{1250});
    EXPECT_EQ(terminal, "\rlong line\rshort    ");

    terminal.clear();
    line.clear();
    EXPECT_EQ(terminal, "\r         \r");
    line.update(describe("too soon"), start + milliseconds{1300});
    EXPECT_EQ(terminal, "\r         \r");
    line.update(describe("again"), start + milliseconds{1500});
    terminal.clear();
  }
  EXPECT_EQ(terminal, "\r     \r");  // erased when the work ends
}

// A form as wide as the terminal would be cut: the next one is drawn.
TEST(ProgressLine, DrawsTheLongestFormNarrowerThanTheTerminal) {
  const progress_line::clock::time_point start{};
  std::string terminal;
  progress_line line([&](std::string_view text) { terminal += text; }, [] { return 20; }, start);
  line.update_fitting(
      [] {
        return std::vector<std::string>{std::string(20, 'x'), std::string(19, 'y')};
      },
      start + milliseconds{1000});
  EXPECT_EQ(terminal, "\r" + std::string(19, 'y'));
}

TEST(ProgressForms, LongestFirstAndAllDoneIsAHundredPercent) {
  work_counts counts;
  EXPECT_EQ(progress_forms("extract", counts),
            (std::vector<std::string>{"qvx: extract: preparing", "qvx: preparing"}));
  counts.entries = 2;
  counts.bytes = 3U << 20U;
  counts.entries_done = 1;
  counts.bytes_done = 1U << 20U;
  std::vector<std::string> forms = progress_forms("extract", counts);
  EXPECT_EQ(forms.front(), "qvx: extract: 1 of 2 entries, 1.0 MiB of 3.0 MiB (33%)");
  EXPECT_EQ(forms.back(), "qvx: 33%");
  counts.entries_done = 2;
  counts.bytes_done = 3U << 20U;
  forms = progress_forms("extract", counts);
  EXPECT_EQ(forms.front(), "qvx: extract: 2 of 2 entries, 3.0 MiB of 3.0 MiB (100%)");
  EXPECT_EQ(forms.back(), "qvx: 100%");
}

}  // namespace
}  // namespace qvx
