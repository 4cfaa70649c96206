// What the commands that read an archive share: opening it, reading its
// directory, and finishing their output on standard output.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/directory.h"
#include "platform/platform.h"
#include "qvx/commands.h"

namespace qvx::cli {

// The code page the archive's names are in, from --charset: nothing when
// the names are taken as the bytes they are.
using name_charset = std::optional<platform::name_converter>;

// The converter for `charset`, if one was asked for, made the way this run
// takes entry names; false after saying why when there is none of that name.
bool open_charset(const std::optional<std::string>& charset, name_charset& converter);

struct opened_archive {
  platform::input_file file;
  archive_directory directory;
  // With a charset, each entry's name converted (its bytes where it did not
  // convert); empty without one, where name() is the bytes themselves: a
  // copy of 65535 names would cost an edit of one entry more than its write.
  std::vector<std::string> texts;
  std::vector<bool> unconverted;  // by index: the name is not valid in that charset
  std::string charset;            // empty when none was asked for
  platform::edit_lock lock;       // held from reading the directory to the end of an edit
  // When the directory was read only in part (--salvage): how many entries
  // the count says there are; `directory` holds those whose records are
  // whole, and `unnamed` which of them have made-up names.
  std::optional<std::size_t> salvaged_count;
  std::vector<bool> unnamed;
  std::string given;  // the archive as messages name it

  [[nodiscard]] std::size_t count() const { return directory.entries.size(); }
  // Entry `i`'s name as the commands use it: converted from the charset
  // asked for, or its bytes as they are (also when it did not convert).
  [[nodiscard]] std::string_view name(std::size_t i) const {
    return charset.empty() ? entry_name(directory.names[i]) : std::string_view{texts[i]};
  }
  // Entry `i`'s name as listings and messages show it.
  [[nodiscard]] std::string shown(std::size_t i) const;
  // After a salvage: reports each entry whose data the file holds only in
  // part when `each` (the writers report their own), then how many are
  // whole; returns false. True, saying nothing, when nothing was salvaged.
  [[nodiscard]] bool report_salvage(bool each) const;
  // Entry `i` as a report names it: its name, or for a name that cannot
  // stand alone (empty, not valid in the charset, refused as a file name, or
  // changed for the terminal) its number too: `entry 12 (empty name)`,
  // `entry 3 "a/b"`.
  [[nodiscard]] std::string described(std::size_t i) const;
  // Reports each entry whose name did not convert, with `consequence`
  // after the reason; returns how many there were.
  [[nodiscard]] std::size_t report_unconverted(const std::vector<bool>& among,
                                               std::string_view consequence) const;
};

// Opens the archive at `path` and reads its whole directory, or reports on
// standard error why it cannot and returns nothing. Reports name the archive
// `given` (the path the user gave, where `path` is a link's target), or
// `path` when that is empty. Names are converted by `charset`, if any.
// With `salvage`, a directory that the file does not hold whole is read as
// far as it goes (see salvage_directory), which is said on standard error.
std::optional<opened_archive> open_archive(const std::string& path, const std::string& given = "",
                                           const name_charset& charset = {}, bool salvage = false);

// Like open_archive, for an edit: opens the archive (for update when
// `for_update`), waits for the lock that every editing qvx takes, and reads
// the directory only once the path still names the file it locked, since an
// editor that held the lock may have put a new file there.
std::optional<opened_archive> open_archive_to_edit(const std::string& path,
                                                   const std::string& given,
                                                   const name_charset& charset, bool for_update);

// Lets standard output go out in large writes when it is not a terminal, for
// listings of tens of thousands of lines.
void buffer_standard_output();

// `status`, or `problems` when standard output could not be written (which
// is then reported): a listing that did not arrive is a failure too.
exit_status finish_standard_output(exit_status status);

}  // namespace qvx::cli
