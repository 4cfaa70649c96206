#include "console/driver.h"

#include <gtest/gtest.h>

namespace qvx {
namespace {

TEST(Driver, AnEmptyArgumentVectorShowsTheUsageWithoutPausing) {
  // The runtime can pass no arguments at all (not even the program's name);
  // there is then no path to read, only the usage to show.
  ::testing::internal::CaptureStdout();
  const exit_status status = run_console({});
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(status, exit_status::success);
  EXPECT_EQ(out,
            "Marvosk\nHomepage: https://qvxreader.example.org/\nQuorvane - QVX Viewer v1.1\n\n"
            "QVXReader <path>\n");
}

}  // namespace
}  // namespace qvx
