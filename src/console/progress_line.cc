#include "console/progress_line.h"

#include <algorithm>
#include <cstdio>

#include "platform/platform.h"

namespace qvx {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds quiet_time{1000};
constexpr milliseconds redraw_interval{250};
// Narrower than this, a line says too little to be worth drawing.
constexpr std::size_t narrowest = 20;

void write_stderr(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

// `text` cut to at most `columns` bytes, not inside a UTF-8 sequence. Every
// character takes at least one byte, so it takes at most as many columns.
void cut_to(std::string& text, std::size_t columns) {
  if (text.size() <= columns) return;
  std::size_t end = columns;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0U) == 0x80U) --end;
  text.resize(end);
}

}  // namespace

progress_line::progress_line()
    : progress_line(platform::stderr_is_terminal() ? sink{write_stderr} : sink{},
                    platform::terminal_columns, clock::now()) {}

progress_line::progress_line(sink out, width_source width, clock::time_point start)
    : out_(std::move(out)), width_(std::move(width)), start_(start) {}

progress_line::~progress_line() { clear(); }

void progress_line::update(const std::function<std::string()>& describe, clock::time_point now) {
  if (!out_ || now - start_ < quiet_time) return;
  if (drawn_at_ != clock::time_point{} && now - drawn_at_ < redraw_interval) return;
  drawn_at_ = now;
  const std::size_t width = width_();
  if (width < narrowest) {
    clear();
    return;
  }
  std::string text = describe();
  cut_to(text, width - 1);
  // Blanks cover the end of a longer line drawn before, as far as the
  // terminal is wide now.
  const std::size_t covered = std::min(shown_length_, width - 1);
  std::string line = "\r";
  line += text;
  if (text.size() < covered) line.append(covered - text.size(), ' ');
  out_(line);
  shown_length_ = line.size() - 1;
}

void progress_line::update_fitting(const std::function<std::vector<std::string>()>& forms,
                                   clock::time_point now) {
  if (!out_ || now - start_ < quiet_time) return;
  if (drawn_at_ != clock::time_point{} && now - drawn_at_ < redraw_interval) return;
  const std::size_t width = width_();
  std::string fitting;
  if (width >= narrowest) {
    for (std::string& form : forms()) {
      if (form.size() < width) {
        fitting = std::move(form);
        break;
      }
    }
  }
  if (fitting.empty()) {
    drawn_at_ = now;
    clear();
    return;
  }
  update([&] { return fitting; }, now);
}

void progress_line::clear() {
  if (shown_length_ == 0) return;
  // A terminal made narrower since has wrapped the line already; blanks up
  // to its new width at least do not wrap again.
  std::size_t blanks = shown_length_;
  if (const std::size_t width = width_(); width > 0) blanks = std::min(blanks, width - 1);
  std::string line = "\r";
  line.append(blanks, ' ');
  line += '\r';
  out_(line);
  shown_length_ = 0;
}

void progress_line::restart(clock::time_point now) {
  clear();
  start_ = now;
  drawn_at_ = {};
}

std::string mebibytes(std::uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
  return text;
}

std::string in_units(std::uint64_t bytes) {
  if (bytes < std::uint64_t{1} << 30U) return mebibytes(bytes);
  char text[32];
  std::snprintf(text, sizeof text, "%.2f GiB",
                static_cast<double>(bytes) / (1024.0 * 1024.0 * 1024.0));
  return text;
}

}  // namespace qvx
