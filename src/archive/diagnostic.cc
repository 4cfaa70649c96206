#include "archive/diagnostic.h"

#include <cstdio>
#include <string>

#include "archive/entry_name.h"

namespace qvx {
namespace {

std::string& program_name() {
  static std::string name = "qvxreader";
  return name;
}

}  // namespace

void set_program_name(std::string_view name) { program_name() = name; }

void report(std::string_view subject, std::string_view message) {
  std::fflush(stdout);
  const std::string line =
      program_name() + ": " + printable_name(subject) + ": " + std::string{message} + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  // Not every C runtime leaves stderr unbuffered when it is a file.
  std::fflush(stderr);
}

}  // namespace qvx
