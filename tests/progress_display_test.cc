#include "archive/progress_display.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

namespace qvx {
namespace {

using namespace std::chrono_literals;

archive_directory two_entries() {
  archive_directory directory;
  directory.entries = {{.offset = 100, .size = 3U << 30U}, {.offset = 200, .size = 5}};
  directory.names.resize(2);
  std::memcpy(directory.names[0].data(), "big\x1B.bin", 8);
  std::memcpy(directory.names[1].data(), "small", 5);
  return directory;
}

TEST(ProgressDisplay, ShowsTheAwaitedEntryAfterTheDelayAndErasesItBeforeItsLine) {
  const archive_directory directory = two_entries();
  copy_progress progress(2);
  progress.add(0, 1536U << 20U);
  progress.add(1, 5);

  ::testing::internal::CaptureStderr();
  {
    progress_display display(directory, progress, 0ms);
    for (int wait = 0; wait < 400 && !display.showing(); ++wait) std::this_thread::sleep_for(50ms);
    std::this_thread::sleep_for(300ms);  // another redraw over the first
    const auto away = display.entry_done(0);
  }
  const std::string shown = ::testing::internal::GetCapturedStderr();

  const std::string line = "big?.bin: 1.50 GiB of 3.00 GiB; all entries: 1.50 GiB of 3.00 GiB";
  ASSERT_EQ(shown.rfind("\r" + line, 0), 0U) << shown;
  // Erased: what follows the last drawing is blanks over it, back at column 0.
  EXPECT_EQ(shown.substr(shown.size() - line.size() - 2),
            "\r" + std::string(line.size(), ' ') + "\r");
}

TEST(ProgressDisplay, StaysSilentWhileTheEntryIsQuick) {
  const archive_directory directory = two_entries();
  copy_progress progress(2);
  ::testing::internal::CaptureStderr();
  {
    progress_display display(directory, progress, 10s);
    std::this_thread::sleep_for(300ms);
    const auto away = display.entry_done(0);
  }
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST(ProgressDisplay, TheLineNeverWrapsOnATerminal) {
  const std::string line = progress_display::line("fifteen-bytes-x", 1, std::uint64_t{1} << 40U, 1,
                                                  std::uint64_t{1} << 40U, 40);
  EXPECT_EQ(line.size(), 40U);
  EXPECT_EQ(progress_display::line("a", 512U << 10U, 1U << 20U, 0, 0, 79),
            "a: 0.5 MiB of 1.0 MiB; all entries: 0.0 MiB of 0.0 MiB");
}

}  // namespace
}  // namespace qvx
