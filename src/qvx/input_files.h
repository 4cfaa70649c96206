// The files that create and update pack: from the command line, from a
// list (-T), and from inside the directories named; checked before anything
// is written.
#pragma once

#include <string>
#include <vector>

#include "archive/archive_writer.h"
#include "qvx/archive_destination.h"
#include "qvx/opened_archive.h"

namespace qvx::cli {

struct gathered_inputs {
  std::vector<archive_member> members;  // one for each file to pack, in order
  bool usable = true;                   // false when any input cannot be packed
};

// The members for every file the request names: the FILEs in order, then
// the lines of the list. A directory gives the regular files directly inside
// it, in byte order of their names. Symbolic links are followed. Every input
// that cannot be packed is reported (missing, unreadable, not a regular
// file, a directory inside a directory, the archive being written, a name
// the system's code page, or `charset`, cannot hold), not only the first.
// With a charset, each entry name is the file's name converted into it.
// The entry name for `text`, a name as the user types it: converted into
// `charset` when there is one (and then checked as it is stored and read
// back), else as this system takes entry names. Empty, with `name` set, when
// it can be one; else why not. With `path`, `text` is a path of names with
// '\\' between them, each checked alone.
std::string entry_name_for(const std::string& text, const name_charset& charset, std::string& name,
                           bool path = false);

gathered_inputs gather_inputs(const input_request& request, const archive_destination& destination,
                              const name_charset& charset);

}  // namespace qvx::cli
