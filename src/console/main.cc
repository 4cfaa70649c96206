#include <span>
#include <string>
#include <vector>

#include "archive/diagnostic.h"
#include "console/driver.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  // Before any file is opened: an entry's file given a standard descriptor's
  // number would get the listing or the diagnostics.
  if (const qvx::platform::error_code error = qvx::platform::make_standard_descriptors_safe()) {
    qvx::report("/dev/null", "cannot open in place of a closed standard descriptor: " +
                                 qvx::platform::error_text(error));
    return static_cast<int>(qvx::exit_status::fatal);
  }
  // On Windows the runtime's argv has lost what the ANSI code page cannot
  // hold; the platform layer reads the arguments from the wide command line.
  const std::vector<std::string> arguments = qvx::platform::program_arguments(argc, argv);
  std::vector<const char*> pointers;
  pointers.reserve(arguments.size());
  for (const std::string& argument : arguments) pointers.push_back(argument.c_str());
  return static_cast<int>(qvx::run_console(std::span<const char* const>{pointers}));
}
