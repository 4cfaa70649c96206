#include <span>
#include <string>
#include <vector>

#include "archive/diagnostic.h"
#include "platform/platform.h"
#include "qvx/command_line.h"

int main(int argc, char** argv) {
  qvx::set_program_name("qvx");
  // Before any file is opened: one given a standard descriptor's number
  // would get the diagnostics, or be read as a list of files.
  if (const qvx::platform::error_code error = qvx::platform::make_standard_descriptors_safe()) {
    qvx::report("/dev/null", "cannot open in place of a closed standard descriptor: " +
                                 qvx::platform::error_text(error));
    return static_cast<int>(qvx::cli::exit_status::fatal);
  }
  // A reader that goes away, or the file-size limit, must not end the
  // process part-way through writing files: they become reported errors.
  qvx::platform::report_write_failures_as_errors();
  qvx::platform::remove_temporary_files_on_signals();
  // On Windows the runtime's argv has lost what the ANSI code page cannot
  // hold; the platform layer reads the arguments from the wide command line.
  const std::vector<std::string> arguments = qvx::platform::program_arguments(argc, argv);
  std::vector<const char*> pointers;
  pointers.reserve(arguments.size());
  for (const std::string& argument : arguments) pointers.push_back(argument.c_str());
  return static_cast<int>(qvx::cli::run_command_line(std::span<const char* const>{pointers}));
}
