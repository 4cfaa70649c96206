// How many bytes of each entry have been copied so far: written by the
// threads that copy, read by a progress display on another thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qvx {

// The longest piece a copy that is watched makes at once: small enough for a
// display to move a few times a second, and large enough that copying in
// pieces costs nothing measurable.
inline constexpr std::uint64_t counted_piece = std::uint64_t{16} << 20U;

class copy_progress {
 public:
  explicit copy_progress(std::size_t entries) : entry_bytes_(entries) {}

  void add(std::size_t entry, std::uint64_t bytes) {
    entry_bytes_[entry].fetch_add(bytes, std::memory_order_relaxed);
    all_bytes_.fetch_add(bytes, std::memory_order_relaxed);
  }

  [[nodiscard]] std::uint64_t entry_bytes(std::size_t entry) const {
    return entry_bytes_[entry].load(std::memory_order_relaxed);
  }

  [[nodiscard]] std::uint64_t all_bytes() const {
    return all_bytes_.load(std::memory_order_relaxed);
  }

 private:
  std::vector<std::atomic<std::uint64_t>> entry_bytes_;
  std::atomic<std::uint64_t> all_bytes_{0};
};

}  // namespace qvx
