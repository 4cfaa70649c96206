// qvxreader's progress while an entry takes long: how much of that entry,
// and of all entries, has been copied, on one line of standard error. A
// thread of its own redraws it, since the entry awaited gives no word while
// it is copied; the engine only counts the bytes.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "archive/unpacker.h"
#include "console/progress_line.h"

namespace qvx {

class entry_progress final : public unpack_observer {
 public:
  // Draws on `line`, with the terminal it has.
  explicit entry_progress(progress_line& line);
  ~entry_progress() override;
  entry_progress(const entry_progress&) = delete;
  entry_progress& operator=(const entry_progress&) = delete;

  void starting(const archive_directory& directory, const copy_progress& progress) override;
  // Erases the line at once, so that the listing line and diagnostics of
  // entry `index` stand alone, and awaits the next entry: it is shown only
  // if it too takes over a second. The line stays away while the lock is held.
  [[nodiscard]] std::unique_lock<std::mutex> entry_done(std::size_t index) override;
  void finished() override;

  // The line shown while an entry is awaited.
  [[nodiscard]] static std::string text(std::string_view name, std::uint64_t entry_done,
                                        std::uint64_t entry_size, std::uint64_t all_done,
                                        std::uint64_t all_size);

 private:
  void run(const std::stop_token& stop);

  progress_line& line_;
  const archive_directory* directory_ = nullptr;
  const copy_progress* progress_ = nullptr;
  std::uint64_t all_size_ = 0;

  std::mutex mutex_;
  std::condition_variable_any tick_;
  std::size_t awaited_ = 0;  // the entry whose listing line comes next
  std::jthread thread_;
};

}  // namespace qvx
