#include "console/command_progress.h"

#include <algorithm>

namespace qvx {
namespace {

// How often the thread looks at the counts; the line redraws itself at most
// this often anyway.
constexpr auto look_every = std::chrono::milliseconds(250);

}  // namespace

std::vector<std::string> progress_forms(const std::string& command, const work_counts& counts) {
  const std::uint64_t bytes = counts.bytes.load();
  const std::uint64_t entries = counts.entries.load();
  const std::string prefix = "qvx: " + command + ": ";
  if (bytes == 0 && entries == 0) return {prefix + "preparing", "qvx: preparing"};
  const copy_progress* const copied = counts.copied.load();
  const std::uint64_t bytes_done =
      std::min(copied != nullptr ? copied->all_bytes() : counts.bytes_done.load(), bytes);
  const std::string entry_field = std::to_string(counts.entries_done.load()) + " of " +
                                  std::to_string(entries) + (entries == 1 ? " entry" : " entries");
  const std::string byte_field = in_units(bytes_done) + " of " + in_units(bytes);
  const std::string percent = std::to_string(bytes == 0 ? 100 : bytes_done * 100 / bytes) + "%";
  std::vector<std::string> forms;
  if (entries > 0) {
    forms.push_back(prefix + entry_field + ", " + byte_field + " (" + percent + ")");
    forms.push_back("qvx: " + entry_field + ", " + byte_field + " (" + percent + ")");
    forms.push_back("qvx: " + entry_field + ", " + byte_field);
  }
  forms.push_back(prefix + byte_field + " (" + percent + ")");
  forms.push_back("qvx: " + byte_field + " (" + percent + ")");
  forms.push_back("qvx: " + byte_field);
  forms.push_back("qvx: " + command + ": " + percent);
  forms.push_back("qvx: " + percent);
  return forms;
}

command_progress::command_progress(progress_line& line, std::string command)
    : line_(line), command_(std::move(command)) {
  // Where nothing is drawn, as when standard error is a file or a pipe,
  // there is nothing to redraw.
  if (!line_.drawn()) return;
  line_.restart();
  set_drawn_line(this);
  // Last: the thread sees everything above.
  thread_ = std::jthread([this](const std::stop_token& stop) { run(stop); });
}

command_progress::~command_progress() {
  if (!thread_.joinable()) return;
  thread_.request_stop();
  thread_.join();
  set_drawn_line(nullptr);
  line_.clear();
}

std::unique_lock<std::recursive_mutex> command_progress::pause() {
  std::unique_lock lock(mutex_);
  line_.clear();
  return lock;
}

void command_progress::hide() {
  mutex_.lock();
  line_.clear();
}

void command_progress::show() { mutex_.unlock(); }

void command_progress::run(const std::stop_token& stop) {
  std::unique_lock lock(mutex_);
  while (true) {
    // Sleeps for one look, or until stopped.
    tick_.wait_for(lock, stop, look_every, [] { return false; });
    if (stop.stop_requested()) return;
    line_.update_fitting([&] { return progress_forms(command_, counts_); });
  }
}

}  // namespace qvx
