// qvx's progress while a command takes long, on one line of standard error.
// A thread of its own redraws the line from counts that the work keeps, so
// that it moves also while one long copy or check gives no word; the work
// only counts. The line shows the longest of the forms it is given that
// fits the terminal: fields are dropped whole, and a number is never cut.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "archive/copy_progress.h"
#include "archive/diagnostic.h"
#include "console/progress_line.h"

namespace qvx {

// What the work has done, as the line shows it: entries and bytes of a
// whole that may not be known yet (0).
struct work_counts {
  std::atomic<std::uint64_t> entries_done{0};
  std::atomic<std::uint64_t> entries{0};
  std::atomic<std::uint64_t> bytes_done{0};  // unless `copied` counts them
  std::atomic<std::uint64_t> bytes{0};
  // The bytes copied so far, when the engine counts them.
  std::atomic<const copy_progress*> copied{nullptr};
};

// The forms of the line for `counts`, longest first: "qvx: update: 3 of 4
// entries, 1.20 GiB of 2.20 GiB (54%)" down to "qvx: 54%". Before the whole
// is known, "qvx: update: preparing".
[[nodiscard]] std::vector<std::string> progress_forms(const std::string& command,
                                                      const work_counts& counts);

// While one exists, every report erases the line first (see drawn_line).
class command_progress final : public drawn_line {
 public:
  // Shows the counts of `command` on `line` once the work has taken a
  // second from now.
  command_progress(progress_line& line, std::string command);
  ~command_progress() override;
  command_progress(const command_progress&) = delete;
  command_progress& operator=(const command_progress&) = delete;

  // Erases the line, which stays away while the lock is held, so that a
  // line of standard output stands alone.
  [[nodiscard]] std::unique_lock<std::recursive_mutex> pause();

  void hide() override;
  void show() override;

  // What the work has done: the work keeps it, the line shows it.
  [[nodiscard]] work_counts& counts() { return counts_; }

 private:
  void run(const std::stop_token& stop);

  progress_line& line_;
  std::string command_;
  work_counts counts_;
  // Recursive: a report made while the line is paused pauses it again.
  std::recursive_mutex mutex_;
  std::condition_variable_any tick_;
  std::jthread thread_;
};

}  // namespace qvx
