// The one way the program reports a problem.
#pragma once

#include <string_view>

namespace qvx {

// Names the program in every report ("qvxreader" unless set).
void set_program_name(std::string_view name);

// Writes "<program>: <subject>: <message>" as one line on standard error.
// Standard output is flushed first, so that on a terminal the line appears
// after the listing lines printed before it. `subject` is shown with control
// bytes replaced, since it may come from an archive.
void report(std::string_view subject, std::string_view message);

}  // namespace qvx
