// One line of progress on standard error, redrawn in place while long work
// is watched on a terminal: qvxreader's long entries and qvx's commands.
// What stays on the screen, and everything on standard output, is as
// without it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace qvx {

class progress_line {
 public:
  using clock = std::chrono::steady_clock;
  using sink = std::function<void(std::string_view)>;
  using width_source = std::function<std::size_t()>;  // columns; 0 when unknown

  // Writes to standard error, and only when it is a terminal, as wide as
  // that terminal is at each redraw.
  progress_line();
  // Writes to `out`, `width()` columns wide, counting time from `start`; for tests.
  progress_line(sink out, width_source width, clock::time_point start);
  progress_line(const progress_line&) = delete;
  progress_line& operator=(const progress_line&) = delete;
  ~progress_line();

  // Shows `describe()` once the work has taken a second since the start or
  // the last restart, and then at most four times a second: short work
  // shows nothing, and long work does not spend its time redrawing. The line
  // is cut to one column less than the terminal has, so that it never wraps
  // (a wrapped line cannot be redrawn in place); on a terminal of fewer than
  // 20 columns, or one whose width is unknown, nothing is shown.
  void update(const std::function<std::string()>& describe, clock::time_point now = clock::now());

  // Like update, with the longest of `forms()` (longest first) that fits
  // without being cut; nothing when none fits.
  void update_fitting(const std::function<std::vector<std::string>()>& forms,
                      clock::time_point now = clock::now());

  // Erases the line, so that another can be written; an update draws it
  // again when its time comes.
  void clear();

  // Whether anything is ever drawn: on a terminal only.
  [[nodiscard]] bool drawn() const { return static_cast<bool>(out_); }

  // Erases the line and starts the quiet second again: the next piece of
  // work is shown only if it too takes long.
  void restart(clock::time_point now = clock::now());

 private:
  sink out_;
  width_source width_;
  clock::time_point start_;
  clock::time_point drawn_at_{};
  std::size_t shown_length_ = 0;  // of the line on the terminal; 0 when there is none
};

// "12.3 MiB"
std::string mebibytes(std::uint64_t bytes);

// "12.3 MiB", or "1.50 GiB" from a GiB on.
std::string in_units(std::uint64_t bytes);

}  // namespace qvx
