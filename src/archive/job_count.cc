#include "archive/job_count.h"

#include <algorithm>
#include <cstdlib>
#include <thread>

#include "archive/diagnostic.h"

namespace qvx {

unsigned job_count_from_environment() {
  // Past two threads per core the entries gain nothing on the many-entry
  // benchmark; four covers the common two-core machine and a little more.
  constexpr unsigned most_useful = 4;
  constexpr unsigned most_allowed = 64;
  const char* setting = std::getenv("QVXREADER_JOBS");
  if (setting != nullptr && *setting != '\0') {
    char* end = nullptr;
    const unsigned long jobs = std::strtoul(setting, &end, 10);
    if (end != setting && *end == '\0' && jobs >= 1 && jobs <= most_allowed) {
      return static_cast<unsigned>(jobs);
    }
    report("QVXREADER_JOBS", "not a number of threads from 1 to 64; ignored");
  }
  return std::clamp(std::thread::hardware_concurrency(), 1U, most_useful);
}

}  // namespace qvx
