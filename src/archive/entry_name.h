// Which entry names may become files, and how names are shown.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qvx {

enum class name_rules {
  posix,    // refuse what could leave the working directory or fool a terminal
  windows,  // also refuse device names and what Windows would silently alter
};

// Why `name` must not be written as a file in the working directory, or an
// empty view when it may be. A name is refused rather than repaired, so that
// no entry ever lands under a name the archive did not give it.
[[nodiscard]] std::string_view name_refusal(std::string_view name, name_rules rules);

// The same for `name` taken as a path below the target directory, its parts
// separated by '\\' or '/': each part must pass name_refusal, and none may
// be empty, "." or "..", nor the name start with a separator or a drive.
[[nodiscard]] std::string_view path_name_refusal(std::string_view name, name_rules rules);

// The parts of `name` between its separators ('\\' and '/').
std::vector<std::string_view> path_parts(std::string_view name);

// `name` with '/' for each '\\': the same key for two names that give one
// path.
std::string path_key(std::string_view name);

// Why the bytes `stored` that a code page gives a name must not be an
// entry's name, or an empty view when they may be; the name as text must pass
// name_refusal as well. qvxreader takes a name as its bytes, so they must pass
// the rules too, but for 0x5C and 0x7C: where the text has no '\' or '|',
// such a byte is part of another character (the second byte of a Shift-JIS
// one may be either).
[[nodiscard]] std::string_view stored_name_refusal(std::string_view stored, name_rules rules);

// A key that two names share when Windows takes them as one file, since it
// ignores case: on Windows, the system's own upper case of the name in the
// ANSI code page; elsewhere the name with the letters of code page 1252
// (ASCII and the accented Latin letters) in upper case.
std::string case_folded(std::string_view name);

// `name` with every control byte (1-31, 127) shown as '?', so that a name can
// never send an escape sequence to the terminal; on POSIX systems also each
// UTF-8-encoded C1 control and bidirectional control, as one '?'.
std::string printable_name(std::string_view name);

// `name`'s bytes in hexadecimal, two digits each, separated by blanks.
std::string hex_bytes(std::string_view name);

}  // namespace qvx
