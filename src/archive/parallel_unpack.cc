#include "archive/parallel_unpack.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "archive/entry_name.h"

namespace qvx {
namespace {

// Descriptors kept free for what is open besides the entries in flight:
// standard streams, the archive, one duplicate per thread while a file
// replaces another, and the directories a thread opens on its way to one.
constexpr std::size_t reserved_files = 16;
// More entries in flight than this buys nothing: the threads are kept busy
// with a few each.
constexpr std::size_t in_flight_per_job = 8;

// For each position of `order`: whether another entry of `order` writes the
// same name, so that the order of naming decides which file is left.
std::vector<bool> names_written_twice(const archive_directory& directory,
                                      std::span<const std::size_t> order,
                                      const unpack_options& options) {
  // Names that make one path ("a\\b", "a/b") are one name.
  const auto key = [&](std::size_t i) {
    const std::string_view name = output_name(directory, options, i);
    return case_folded(options.names == entry_names::paths ? path_key(name) : std::string{name});
  };
  std::unordered_map<std::string, std::size_t> writers;
  writers.reserve(order.size());
  for (const std::size_t i : order) ++writers[key(i)];
  std::vector<bool> shared(order.size());
  for (std::size_t p = 0; p < order.size(); ++p) shared[p] = writers[key(order[p])] > 1;
  return shared;
}

// One entry in flight, from the thread that wrote it to the one that reports it.
struct slot {
  bool done = false;
  bool named = false;   // the file already has its name and `result` says how it went
  copied_entry copied;  // otherwise: the copy, waiting for its name
  entry_result result;
};

// The entries of one unpacking, shared by its threads. Every thread writes
// entries in the order it claims them; whichever thread finishes the entry
// that is next in table order reports it, and every finished entry after it,
// so no thread sits waiting to report.
class pipeline {
 public:
  pipeline(const platform::input_file& archive, const archive_directory& directory,
           std::span<const std::size_t> order, const unpack_options& options,
           const entry_reporter& reporter)
      : archive_(archive),
        directory_(directory),
        order_(order),
        options_(options),
        reporter_(reporter),
        shared_(names_written_twice(directory, order, options)),
        slots_(window_size(order.size(), options.jobs)),
        written_(options.names) {}

  // Writes and reports entries until none is left to claim.
  void work() {
    std::size_t position = 0;
    while (claim(position)) {
      slot filled = write(position);
      std::unique_lock lock(mutex_);
      slots_[position % slots_.size()] = std::move(filled);
      report_finished(lock);
    }
  }

  [[nodiscard]] unpack_status status() const { return status_; }

 private:
  static std::size_t window_size(std::size_t entries, unsigned jobs) {
    const std::size_t files_free =
        std::max(platform::max_open_files(), reserved_files + 2) - reserved_files;
    // An entry in flight holds its file and, with paths, its directory.
    return std::clamp<std::size_t>(std::min(files_free / 3, jobs * in_flight_per_job), 1,
                                   std::max<std::size_t>(entries, 1));
  }

  // Takes the next entry, once the window has room for it.
  bool claim(std::size_t& position) {
    std::unique_lock lock(mutex_);
    ++waiting_;
    room_.wait(lock, [&] {
      return next_claim_ >= order_.size() || next_claim_ < reported_ + slots_.size();
    });
    --waiting_;
    if (next_claim_ >= order_.size()) return false;
    position = next_claim_++;
    return true;
  }

  [[nodiscard]] slot write(std::size_t position) const {
    const std::size_t i = order_[position];
    const archive_entry& entry = directory_.entries[i];
    const std::string_view name = output_name(directory_, options_, i);
    slot filled;
    filled.copied = copy_entry(name, archive_, entry.offset, entry.size, {options_.progress, i},
                               options_.names);
    if (!shared_[position]) {
      filled.result = name_entry(filled.copied, name, archive_, entry.size, options_.existing);
      filled.copied = {};
      filled.named = true;
    }
    filled.done = true;
    return filled;
  }

  // Reports the finished entries that are next in table order, unless
  // another thread is already at it. Called with the lock held.
  void report_finished(std::unique_lock<std::mutex>& lock) {
    if (reporting_) return;
    reporting_ = true;
    while (reported_ < order_.size() && slots_[reported_ % slots_.size()].done) {
      slot current = std::exchange(slots_[reported_ % slots_.size()], {});
      lock.unlock();
      report(reported_, current);
      lock.lock();
      ++reported_;
      if (waiting_ > 0) room_.notify_all();
    }
    reporting_ = false;
  }

  // Only the reporting thread touches `status_` and calls the reporter.
  void report(std::size_t position, slot& current) {
    const std::size_t i = order_[position];
    const std::string_view name = output_name(directory_, options_, i);
    // Entries of a shared name are named here, in table order, so that the
    // last one is left; their names are noted for keeping existing files.
    const entry_result result =
        current.named ? std::move(current.result)
                      : name_entry(current.copied, name, archive_, directory_.entries[i].size,
                                   written_.policy_for(name, options_.existing));
    if (!current.named) written_.note(name, result);
    current = {};  // closes the file before the window lets another in
    if (!result.ok()) status_ = unpack_status::incomplete;
    reporter_(i, result);
  }

  const platform::input_file& archive_;
  const archive_directory& directory_;
  std::span<const std::size_t> order_;
  const unpack_options& options_;
  const entry_reporter& reporter_;
  const std::vector<bool> shared_;

  std::mutex mutex_;
  std::condition_variable room_;  // threads wait here for room in the window
  std::vector<slot> slots_;       // the window: position p lives at p % size
  std::size_t next_claim_ = 0;    // positions of `order_` claimed so far
  std::size_t reported_ = 0;      // positions reported so far
  std::size_t waiting_ = 0;       // threads waiting for room
  bool reporting_ = false;        // a thread is reporting
  unpack_status status_ = unpack_status::complete;
  names_written written_;  // only the reporting thread touches it
};

}  // namespace

unpack_status unpack_in_parallel(const platform::input_file& archive,
                                 const archive_directory& directory,
                                 std::span<const std::size_t> order, const unpack_options& options,
                                 const entry_reporter& reporter) {
  pipeline shared(archive, directory, order, options, reporter);
  {
    std::vector<std::jthread> helpers;
    helpers.reserve(options.jobs);
    for (unsigned j = 1; j < options.jobs; ++j) {
      try {
        helpers.emplace_back([&] { shared.work(); });
      } catch (const std::system_error&) {
        break;  // fewer threads: the work still gets done
      }
    }
    shared.work();
  }  // joins the helpers: every entry has been reported
  return shared.status();
}

}  // namespace qvx
