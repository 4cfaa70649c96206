// Which entry names may become files, and how names are shown.
#pragma once

#include <string>
#include <string_view>

namespace qvx {

enum class name_rules {
  posix,    // refuse what could leave the working directory or fool a terminal
  windows,  // also refuse device names and what Windows would silently alter
};

// Why `name` must not be written as a file in the working directory, or an
// empty view when it may be. A name is refused rather than repaired, so that
// no entry ever lands under a name the archive did not give it.
[[nodiscard]] std::string_view name_refusal(std::string_view name, name_rules rules);

// A key that two names share when Windows takes them as one file, since it
// ignores case: on Windows, the system's own upper case of the name in the
// ANSI code page; elsewhere the name with the letters of code page 1252
// (ASCII and the accented Latin letters) in upper case.
std::string case_folded(std::string_view name);

// `name` with every control byte (1-31, 127) shown as '?', so that a name can
// never send an escape sequence to the terminal; on POSIX systems also each
// UTF-8-encoded C1 control and bidirectional control, as one '?'.
std::string printable_name(std::string_view name);

}  // namespace qvx
