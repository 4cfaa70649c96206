// A one-line progress display on standard error (a terminal) while an entry
// takes long: how much of that entry, and of all entries, has been copied.
// It is erased before anything else is printed, so what stays on the screen,
// and everything on standard output, is as without it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "archive/copy_progress.h"
#include "archive/directory.h"

namespace qvx {

class progress_display {
 public:
  // Shows progress once the entry awaited has taken longer than `delay`.
  progress_display(const archive_directory& directory, const copy_progress& progress,
                   std::chrono::milliseconds delay = std::chrono::seconds(1));
  ~progress_display();
  progress_display(const progress_display&) = delete;
  progress_display& operator=(const progress_display&) = delete;

  // Erases the display for entry `index`'s listing line and diagnostics, and
  // awaits the next entry. The display stays away while the lock is held.
  [[nodiscard]] std::unique_lock<std::mutex> entry_done(std::size_t index);

  // Whether a line is on the screen now.
  [[nodiscard]] bool showing();

  // The line shown while entry `index` is awaited, at most `width` columns.
  [[nodiscard]] static std::string line(std::string_view name, std::uint64_t entry_done,
                                        std::uint64_t entry_size, std::uint64_t all_done,
                                        std::uint64_t all_size, std::size_t width);

 private:
  void run(const std::stop_token& stop);
  void erase();  // with the lock held

  const archive_directory& directory_;
  const copy_progress& progress_;
  const std::chrono::milliseconds delay_;
  std::uint64_t all_size_ = 0;

  std::mutex mutex_;
  std::condition_variable_any tick_;
  std::size_t awaited_ = 0;  // the entry whose listing line comes next
  std::chrono::steady_clock::time_point awaited_since_;
  std::size_t shown_ = 0;  // columns of the line on the screen now
  std::jthread thread_;    // last: it starts once the rest is ready
};

}  // namespace qvx
