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

std::atomic<report_sink*>& sink() {
  static std::atomic<report_sink*> to{nullptr};
  return to;
}

}  // namespace

void set_report_sink(report_sink* to) { sink().store(to); }

void set_program_name(std::string_view name) { program_name() = name; }

void set_drawn_line(drawn_line* line) { drawn().store(line); }

void report(std::string_view subject, std::string_view message) {
  if (report_sink* const to = sink().load()) {
    to->take(program_name() + ": " + printable_name(subject) + ": " + std::string{message});
    return;
  }
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
