#include <span>

#include "console/driver.h"

int main(int argc, char** argv) {
  const char* const* const arguments = argv;
  const std::span<const char* const> args{arguments, argc > 0 ? static_cast<std::size_t>(argc) : 0};
  return static_cast<int>(qvx::run_console(args));
}
