// A count of work done, on one line of standard error that is redrawn in
// place, for long work watched on a terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace qvx::cli {

class progress_line {
 public:
  using clock = std::chrono::steady_clock;
  using sink = std::function<void(std::string_view)>;

  // Writes to standard error, and only when it is a terminal.
  progress_line();
  // Writes to `out`, counting time from `start`; for tests.
  progress_line(sink out, clock::time_point start);
  progress_line(const progress_line&) = delete;
  progress_line& operator=(const progress_line&) = delete;
  ~progress_line();

  // Shows `describe()` once the work has taken a second, and then at most
  // four times a second: short work shows nothing, and long work does not
  // spend its time redrawing.
  void update(const std::function<std::string()>& describe, clock::time_point now = clock::now());

  // Erases the line, so that another can be written; an update draws it
  // again when its time comes.
  void clear();

 private:
  sink out_;
  clock::time_point start_;
  clock::time_point drawn_at_{};
  std::size_t shown_length_ = 0;  // of the line on the terminal; 0 when there is none
};

// "12.3 MiB"
std::string mebibytes(std::uint64_t bytes);

}  // namespace qvx::cli
