#include "platform/temporary_name.h"

#include <random>
#include <string_view>

#include "platform/platform.h"

namespace qvx::platform {

std::string make_temporary_name() {
  // Seeded once per thread; the names only have to be hard to guess and
  // unlikely to collide, since creation is exclusive anyway.
  thread_local std::mt19937_64 generator{std::random_device{}()};
  static constexpr std::string_view alphabet = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);

  std::string name{temporary_prefix};
  for (int i = 0; i < 10; ++i) {
    name += alphabet[pick(generator)];
  }
  name += ".tmp";
  return name;
}

}  // namespace qvx::platform
