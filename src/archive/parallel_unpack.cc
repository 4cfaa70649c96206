#include "archive/parallel_unpack.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

namespace qvx {
namespace {

// Descriptors kept free for what is open besides the entries in flight:
// standard streams, the archive, and one duplicate per thread while a file
// replaces another.
constexpr std::size_t reserved_files = 16;
// More entries in flight than this buys nothing: the threads are kept busy
// with a few each.
constexpr std::size_t in_flight_per_job = 8;

// ASCII letters folded, as Windows and case-insensitive file systems do, so
// that "A" and "a" count as one name.
std::string folded(std::string_view name) {
  std::string key{name};
  std::transform(key.begin(), key.end(), key.begin(), [](char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  });
  return key;
}

// For each position of `order`: whether another entry of `order` writes the
// same name, so that the order of naming decides which file is left.
std::vector<bool> names_written_twice(const archive_directory& directory,
                                      std::span<const std::size_t> order) {
  std::unordered_map<std::string, std::size_t> writers;
  writers.reserve(order.size());
  for (const std::size_t i : order) ++writers[folded(entry_name(directory.names[i]))];
  std::vector<bool> shared(order.size());
  for (std::size_t p = 0; p < order.size(); ++p) {
    shared[p] = writers[folded(entry_name(directory.names[order[p]]))] > 1;
  }
  return shared;
}

// One entry in flight, from the thread that wrote it to the one that reports it.
struct slot {
  bool done = false;
  bool named = false;   // the file already has its name and `result` says how it went
  copied_entry copied;  // otherwise: the copy, waiting for its name
  entry_result result;
};

}  // namespace

unpack_status unpack_in_parallel(const platform::input_file& archive,
                                 const archive_directory& directory,
                                 std::span<const std::size_t> order, const unpack_options& options,
                                 const entry_reporter& reporter) {
  const std::size_t files_free =
      std::max(platform::max_open_files(), reserved_files + 2) - reserved_files;
  const std::size_t window =
      std::clamp<std::size_t>(std::min(files_free / 2, options.jobs * in_flight_per_job), 1,
                              std::max<std::size_t>(order.size(), 1));
  const std::vector<bool> shared = names_written_twice(directory, order);

  std::mutex mutex;
  std::condition_variable slot_done;  // the reporting thread waits for the next entry
  std::condition_variable slot_free;  // the workers wait for room in the window
  std::vector<slot> slots(window);
  std::size_t next_claim = 0;  // positions of `order` taken by workers
  std::size_t reported = 0;    // positions reported and out of the window

  const auto work = [&] {
    while (true) {
      std::size_t position = 0;
      {
        std::unique_lock lock(mutex);
        slot_free.wait(
            lock, [&] { return next_claim >= order.size() || next_claim < reported + window; });
        if (next_claim >= order.size()) return;
        position = next_claim++;
      }
      const std::size_t i = order[position];
      const archive_entry& entry = directory.entries[i];
      const std::string_view name = entry_name(directory.names[i]);
      slot filled;
      filled.copied = copy_entry(name, archive, entry.offset, entry.size);
      if (!shared[position]) {
        filled.result = name_entry(filled.copied, name, archive, entry.size, options.existing);
        filled.copied = {};
        filled.named = true;
      }
      filled.done = true;
      {
        const std::lock_guard lock(mutex);
        slots[position % window] = std::move(filled);
      }
      slot_done.notify_one();
    }
  };

  std::vector<std::jthread> workers;
  workers.reserve(options.jobs);
  for (unsigned j = 0; j < options.jobs; ++j) {
    try {
      workers.emplace_back(work);
    } catch (const std::system_error&) {
      break;  // the threads that did start do the work
    }
  }
  if (workers.empty()) {
    unpack_options serial = options;
    serial.jobs = 1;
    return unpack_entries(archive, directory, serial, reporter);
  }

  unpack_status status = unpack_status::complete;
  for (std::size_t position = 0; position < order.size(); ++position) {
    slot current;
    {
      std::unique_lock lock(mutex);
      slot& waited = slots[position % window];
      slot_done.wait(lock, [&] { return waited.done; });
      current = std::move(waited);
      waited = {};
    }
    const std::size_t i = order[position];
    const entry_result result =
        current.named ? std::move(current.result)
                      : name_entry(current.copied, entry_name(directory.names[i]), archive,
                                   directory.entries[i].size, options.existing);
    current = {};  // closes the file before the window lets another in
    if (!result.ok()) status = unpack_status::incomplete;
    reporter(i, result);
    {
      const std::lock_guard lock(mutex);
      ++reported;
    }
    slot_free.notify_all();
  }
  return status;
}

}  // namespace qvx
