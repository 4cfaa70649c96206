#include "archive/diagnostic.h"

#include <atomic>
#include <cstdio>
#include <string>

#include "archive/entry_name.h"

namespace qvx {
namespace {

std::string& program_name() {
  static std::string name = "qvxreader";
  return name;
}

std::atomic<drawn_line*>& drawn() {
  static std::atomic<drawn_line*> line{nullptr};
  return line;
}

}  // namespace

void set_program_name(std::string_view name) { program_name() = name; }

void set_drawn_line(drawn_line* line) { drawn().store(line); }

void report(std::string_view subject, std::string_view message) {
  drawn_line* const shown = drawn().load();
  if (shown != nullptr) shown->hide();
  std::fflush(stdout);
  const std::string line =
      program_name() + ": " + printable_name(subject) + ": " + std::string{message} + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  // Not every C runtime leaves stderr unbuffered when it is a file.
  std::fflush(stderr);
  if (shown != nullptr) shown->show();
}

}  // namespace qvx
