#include "console/entry_progress.h"

#include "archive/entry_name.h"

namespace qvx {
namespace {

// How often the thread looks at the counts; the line redraws itself at most
// this often anyway.
constexpr auto look_every = std::chrono::milliseconds(250);

}  // namespace

entry_progress::entry_progress(progress_line& line) : line_(line) {}

entry_progress::~entry_progress() { finished(); }

void entry_progress::starting(const archive_directory& directory, const copy_progress& progress) {
  directory_ = &directory;
  progress_ = &progress;
  all_size_ = 0;
  for (const archive_entry& entry : directory.entries) all_size_ += entry.size;
  line_.restart();
  // Last: the thread sees everything above.
  thread_ = std::jthread([this](const std::stop_token& stop) { run(stop); });
}

std::unique_lock<std::mutex> entry_progress::entry_done(std::size_t index) {
  std::unique_lock lock(mutex_);
  line_.restart();
  awaited_ = index + 1;
  return lock;
}

void entry_progress::finished() {
  if (thread_.joinable()) {
    thread_.request_stop();
    thread_.join();
  }
  const std::lock_guard lock(mutex_);
  line_.clear();
}

std::string entry_progress::text(std::string_view name, std::uint64_t entry_done,
                                 std::uint64_t entry_size, std::uint64_t all_done,
                                 std::uint64_t all_size) {
  return printable_name(name) + ": " + in_units(entry_done) + " of " + in_units(entry_size) +
         "; all entries: " + in_units(all_done) + " of " + in_units(all_size);
}

void entry_progress::run(const std::stop_token& stop) {
  std::unique_lock lock(mutex_);
  while (true) {
    // Sleeps for one look, or until stopped.
    tick_.wait_for(lock, stop, look_every, [] { return false; });
    if (stop.stop_requested()) return;
    if (awaited_ >= directory_->entries.size()) continue;
    line_.update([&] {
      return text(entry_name(directory_->names[awaited_]), progress_->entry_bytes(awaited_),
                  directory_->entries[awaited_].size, progress_->all_bytes(), all_size_);
    });
  }
}

}  // namespace qvx
