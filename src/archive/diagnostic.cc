#include "archive/diagnostic.h"

#include <cstdio>
#include <string>

#include "archive/entry_name.h"

namespace qvx {

void report(std::string_view subject, std::string_view message) {
  std::fflush(stdout);
  const std::string line =
      "qvxreader: " + printable_name(subject) + ": " + std::string{message} + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  // Not every C runtime leaves stderr unbuffered when it is a file.
  std::fflush(stderr);
}

}  // namespace qvx
