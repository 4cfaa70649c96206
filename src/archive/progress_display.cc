#include "archive/progress_display.h"

#include <cstdio>

#include "archive/entry_name.h"

namespace qvx {
namespace {

// How often the display is redrawn.
constexpr auto redraw_every = std::chrono::milliseconds(250);
// Narrower than any terminal: a line that wraps could not be erased with \r.
constexpr std::size_t display_width = 79;

std::string in_units(std::uint64_t bytes) {
  constexpr double mib = 1024.0 * 1024.0;
  char text[32];
  if (bytes >= std::uint64_t{1} << 30U) {
    std::snprintf(text, sizeof text, "%.2f GiB", static_cast<double>(bytes) / (mib * 1024.0));
  } else {
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / mib);
  }
  return text;
}

void write_stderr(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

progress_display::progress_display(const archive_directory& directory,
                                   const copy_progress& progress, std::chrono::milliseconds delay)
    : directory_(directory),
      progress_(progress),
      delay_(delay),
      awaited_since_(std::chrono::steady_clock::now()),
      thread_([this](const std::stop_token& stop) { run(stop); }) {
  for (const archive_entry& entry : directory.entries) all_size_ += entry.size;
}

progress_display::~progress_display() {
  thread_.request_stop();
  thread_.join();
  const std::lock_guard lock(mutex_);
  erase();
}

std::unique_lock<std::mutex> progress_display::entry_done(std::size_t index) {
  std::unique_lock lock(mutex_);
  erase();
  awaited_ = index + 1;
  awaited_since_ = std::chrono::steady_clock::now();
  return lock;
}

bool progress_display::showing() {
  const std::lock_guard lock(mutex_);
  return shown_ > 0;
}

std::string progress_display::line(std::string_view name, std::uint64_t entry_done,
                                   std::uint64_t entry_size, std::uint64_t all_done,
                                   std::uint64_t all_size, std::size_t width) {
  std::string text = printable_name(name) + ": " + in_units(entry_done) + " of " +
                     in_units(entry_size) + "; all entries: " + in_units(all_done) + " of " +
                     in_units(all_size);
  if (text.size() > width) text.resize(width);
  return text;
}

void progress_display::run(const std::stop_token& stop) {
  std::unique_lock lock(mutex_);
  while (true) {
    // Sleeps for one redraw, or until the display is stopped.
    tick_.wait_for(lock, stop, redraw_every, [] { return false; });
    if (stop.stop_requested()) return;
    if (awaited_ >= directory_.entries.size()) continue;
    if (std::chrono::steady_clock::now() - awaited_since_ < delay_) continue;
    const std::string text =
        line(entry_name(directory_.names[awaited_]), progress_.entry_bytes(awaited_),
             directory_.entries[awaited_].size, progress_.all_bytes(), all_size_, display_width);
    // Blanks over the end of a longer line drawn before.
    const std::size_t blanks = shown_ > text.size() ? shown_ - text.size() : 0;
    std::string drawn = "\r";
    drawn.append(text).append(blanks, ' ');
    write_stderr(drawn);
    shown_ = text.size() + blanks;
  }
}

void progress_display::erase() {
  if (shown_ == 0) return;
  std::string blank = "\r";
  blank.append(shown_, ' ').push_back('\r');
  write_stderr(blank);
  shown_ = 0;
}

}  // namespace qvx
