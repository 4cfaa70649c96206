#include "qvx/progress_line.h"

#include <cstdio>

#include "platform/platform.h"

namespace qvx::cli {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds quiet_time{1000};
constexpr milliseconds redraw_interval{250};

void write_stderr(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

progress_line::progress_line()
    : progress_line(platform::stderr_is_terminal() ? sink{write_stderr} : sink{}, clock::now()) {}

progress_line::progress_line(sink out, clock::time_point start)
    : out_(std::move(out)), start_(start) {}

progress_line::~progress_line() { clear(); }

void progress_line::update(const std::function<std::string()>& describe, clock::time_point now) {
  if (!out_ || now - start_ < quiet_time) return;
  if (drawn_at_ != clock::time_point{} && now - drawn_at_ < redraw_interval) return;
  // Blanks cover the end of a longer line drawn before. (Appended, not
  // added with +, which GCC 12 warns about wrongly at -O3.)
  std::string line = "\r";
  line += describe();
  if (line.size() - 1 < shown_length_) line.append(shown_length_ - (line.size() - 1), ' ');
  out_(line);
  shown_length_ = line.size() - 1;
  drawn_at_ = now;
}

void progress_line::clear() {
  if (shown_length_ == 0) return;
  std::string line = "\r";
  line.append(shown_length_, ' ');
  line += '\r';
  out_(line);
  shown_length_ = 0;
}

std::string mebibytes(std::uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
  return text;
}

}  // namespace qvx::cli
