#include "archive/job_count.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <thread>

#include "archive/diagnostic.h"

namespace qvx {

unsigned job_count_from_environment() {
  // Past two threads per core the entries gain nothing on the many-entry
  // benchmark; four covers the common two-core machine and a little more.
  constexpr unsigned most_useful = 4;
  constexpr unsigned most_allowed = 64;
  const char* setting = std::getenv("QVXREADER_JOBS");
  // Set but empty is a mistake (a variable not filled in), not unset: it
  // reads as 0, which is out of range.
  if (setting != nullptr) {
    // Plain decimal digits only: strtoul would also take blanks, a sign,
    // and a negative number wrapped round to a small one.
    const std::string_view text = setting;
    unsigned long jobs = 0;
    const bool digits =
        std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    errno = 0;
    if (digits) jobs = std::strtoul(setting, nullptr, 10);
    if (errno == ERANGE) jobs = 0;
    if (digits && jobs >= 1 && jobs <= most_allowed) return static_cast<unsigned>(jobs);
    report("QVXREADER_JOBS", "not a number of threads from 1 to 64; ignored");
  }
  return std::clamp(std::thread::hardware_concurrency(), 1U, most_useful);
}

}  // namespace qvx
