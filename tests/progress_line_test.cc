#include "console/progress_line.h"

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

}  // namespace
}  // namespace qvx
