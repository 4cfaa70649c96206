// qvxreader's progress while an entry takes long, drawn on a terminal of a
// given width through the progress line.
#include "console/entry_progress.h"

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
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

// What the progress line writes, as a terminal of `columns` would get it.
struct fake_terminal {
  std::mutex mutex;
  std::string text;
  std::size_t columns = 80;

  progress_line::sink sink() {
    return [this](std::string_view written) {
      const std::lock_guard lock(mutex);
      text += written;
    };
  }
  std::string taken() {
    const std::lock_guard lock(mutex);
    return std::exchange(text, {});
  }
};

// Waits up to 10 s for `terminal` to show something.
std::string first_drawing(fake_terminal& terminal) {
  for (int wait = 0; wait < 200; ++wait) {
    std::this_thread::sleep_for(50ms);
    const std::lock_guard lock(terminal.mutex);
    if (!terminal.text.empty()) return terminal.text;
  }
  return {};
}

// Whether `terminal` is still blank `wait` after `since`. Nothing can be
// drawn within a second of `since`, so a check that came later than that,
// on a busy machine, proves nothing and passes.
bool blank_within_the_quiet_second(fake_terminal& terminal,
                                   std::chrono::steady_clock::time_point since,
                                   std::chrono::milliseconds wait) {
  std::this_thread::sleep_for(wait);
  const std::string seen = terminal.taken();
  return seen.empty() || std::chrono::steady_clock::now() - since >= 1s;
}

TEST(EntryProgress, ShowsASlowEntryAndErasesItAsSoonAsTheEntryIsDone) {
  const archive_directory directory = two_entries();
  copy_progress progress(2);
  progress.add(0, 1536U << 20U);
  fake_terminal terminal;
  progress_line line(
      terminal.sink(), [&] { return terminal.columns; }, progress_line::clock::now() - 10s);
  entry_progress display(line);
  // starting() restarts the quiet second, although the line's own clock
  // began long before: nothing for a second, then the line.
  const auto started = std::chrono::steady_clock::now();
  display.starting(directory, progress);
  EXPECT_TRUE(blank_within_the_quiet_second(terminal, started, 700ms));
  const std::string drawn = first_drawing(terminal);
  const std::string text = "big?.bin: 1.50 GiB of 3.00 GiB; all entries: 1.50 GiB of 3.00 GiB";
  ASSERT_EQ(drawn, "\r" + text);
  terminal.taken();
  std::chrono::steady_clock::time_point first_done;
  {
    first_done = std::chrono::steady_clock::now();
    const auto away = display.entry_done(0);
    // Erased at once, before the entry's listing line, not later.
    EXPECT_EQ(terminal.taken(), "\r" + std::string(text.size(), ' ') + "\r");
  }
  // The next entry draws nothing while it is quick, and then names itself.
  EXPECT_TRUE(blank_within_the_quiet_second(terminal, first_done, 600ms));
  const std::string next = "small: 0.0 MiB of 0.0 MiB; all entries: 1.50 GiB of 3.00 GiB";
  EXPECT_EQ(first_drawing(terminal), "\r" + next);
  terminal.taken();
  { const auto away = display.entry_done(1); }
  EXPECT_EQ(terminal.taken(), "\r" + std::string(next.size(), ' ') + "\r");
  // No entry is awaited now: nothing more is drawn, and the end erases nothing.
  display.finished();
  EXPECT_EQ(terminal.taken(), "");
}

TEST(ProgressLine, FitsTheTerminalAtEachRedrawAndShowsNothingBelowTwentyColumns) {
  const progress_line::clock::time_point start{};
  fake_terminal terminal;
  terminal.columns = 30;
  progress_line line(
      terminal.sink(), [&] { return terminal.columns; }, start);
  std::string long_text = "fifteen-bytes-x: 1.0 MiB of 2.0 MiB; all entries: 3.0 MiB";
  line.update([&] { return long_text; }, start + 1s);
  EXPECT_EQ(terminal.taken(), "\r" + long_text.substr(0, 29));
  // Narrower now: cut shorter, and no blanks beyond the new width.
  terminal.columns = 21;
  line.update([&] { return long_text; }, start + 2s);
  EXPECT_EQ(terminal.taken(), "\r" + long_text.substr(0, 20));
  // Twenty columns is the narrowest terminal that shows the line.
  terminal.columns = 20;
  line.update([&] { return long_text; }, start + 2500ms);
  EXPECT_EQ(terminal.taken(), "\r" + long_text.substr(0, 19));
  terminal.columns = 19;
  line.update([&] { return long_text; }, start + 3s);
  EXPECT_EQ(terminal.taken(), "\r" + std::string(19 - 1, ' ') + "\r");
  line.update([&] { return long_text; }, start + 4s);
  EXPECT_EQ(terminal.taken(), "");
  // A name's UTF-8 is cut before a character, never inside one.
  terminal.columns = 22;
  line.update([] { return std::string{"abcdefghijklmnopqrst\xC3\xA9xyz"}; }, start + 5s);
  EXPECT_EQ(terminal.taken(), "\rabcdefghijklmnopqrst");
}

}  // namespace
}  // namespace qvx
