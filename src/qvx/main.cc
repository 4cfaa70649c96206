#include <span>

#include "archive/diagnostic.h"
#include "qvx/command_line.h"

int main(int argc, char** argv) {
  qvx::set_program_name("qvx");
  const char* const* const arguments = argv;
  const std::span<const char* const> args{arguments, argc > 0 ? static_cast<std::size_t>(argc) : 0};
  return static_cast<int>(qvx::cli::run_command_line(args));
}
