// The one way the program reports a problem.
#pragma once

#include <string_view>

namespace qvx {

// Names the program in every report ("qvxreader" unless set).
void set_program_name(std::string_view name);

// A line drawn on standard error, such as a progress line, that a report
// first erases, and that stays away while the report is written.
class drawn_line {
 public:
  virtual ~drawn_line() = default;
  virtual void hide() = 0;  // erases the line, and keeps it away until show()
  virtual void show() = 0;
};

// The line that reports erase; none when null.
void set_drawn_line(drawn_line* line);

// Where reports go instead of standard error while one is set: the viewer
// hands an edit's reports to the page that asked for the edit.
class report_sink {
 public:
  virtual ~report_sink() = default;
  virtual void take(std::string_view line) = 0;  // one report, without its newline
};

// The sink reports go to; standard error when null. Only for a program
// whose reports come from one thread while it is set.
void set_report_sink(report_sink* sink);

// Writes "<program>: <subject>: <message>" as one line on standard error.
// Standard output is flushed first, so that on a terminal the line appears
// after the listing lines printed before it. `subject` is shown with control
// bytes replaced, since it may come from an archive.
void report(std::string_view subject, std::string_view message);

}  // namespace qvx
