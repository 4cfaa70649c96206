// The qvx commands, each run with what its command line asked for.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qvx::cli {

// The process exit status, as in qvxreader.
enum class exit_status : int {
  success = 0,   // the command did all it was asked
  problems = 1,  // it went through, but found problems in the archive or left entries out
  fatal = 2,     // it could not do its work: a bad command line, an unreadable archive, a
                 // refused file; nothing was written
};

// Which entries a command works on: by NAME arguments and by --entry.
struct entry_choice {
  std::vector<std::string> names;    // entry names or patterns
  std::vector<std::string> numbers;  // --entry: "N", "N-M", or comma lists of them
  bool literal = false;              // every name is an exact name, never a pattern
};

struct list_request {
  std::string archive;
  entry_choice choice;                 // none given: every entry
  std::optional<std::string> charset;  // the code page of the names (--charset)
  bool json = false;
  bool names = false;                 // only the names, one a line
  bool hex = false;                   // numbers of the table in hexadecimal
  bool readable = false;              // sizes of the table in KiB, MiB and GiB
  bool salvage = false;               // list what a directory cut short still holds
  std::vector<std::string> excludes;  // patterns of entries not to list
};

struct check_request {
  std::string archive;
  std::optional<std::string> charset;  // the code page of the names (--charset)
};

struct extract_request {
  std::string archive;
  std::optional<std::string> charset;    // the code page of the names (--charset)
  std::optional<std::string> directory;  // where to unpack; none for the working directory
  entry_choice choice;                   // the entries to unpack; none given: all
  std::vector<std::string> excludes;     // patterns of entries not to unpack
  bool keep_existing = false;
  bool verbose = false;
  bool salvage = false;  // unpack what a directory cut short still holds
  bool paths = false;    // '\\' and '/' in names make directories
};

struct cat_request {
  std::string archive;
  std::optional<std::string> charset;  // the code page of the names (--charset)
  entry_choice choice;
};

struct diff_request {
  std::string old_archive;
  std::string new_archive;
  std::optional<std::string> charset;  // the code page of the names (--charset)
  bool json = false;
  bool verbose = false;  // also the entries that only moved
};

// The files to pack into an archive (see input_files.h).
struct input_request {
  std::vector<std::string> files;         // as given; a directory stands for the files inside it
  std::optional<std::string> files_from;  // a file of paths, one a line; "-": standard input
  bool paths = false;  // a directory gives the files of its whole tree, named by their paths
};

// What an edit is asked to do besides its changes.
struct edit_options {
  bool dry_run = false;                    // only say what would be done
  bool verbose = false;                    // say what was done
  bool in_place = false;                   // change the archive's own file, with no copy
  std::optional<std::uint32_t> alignment;  // for data that move; the archive's own when none
};

struct create_request {
  std::string archive;
  std::optional<std::string> charset;  // the code page of the names (--charset)
  input_request inputs;
  bool force = false;           // replace an existing file
  std::uint32_t alignment = 1;  // every entry's data at a multiple of it
};

struct update_request {
  std::string archive;
  std::optional<std::string> charset;  // the code page of the names (--charset)
  input_request inputs;
  edit_options options;
  bool no_add = false;               // a file whose name no entry has is an error
  std::vector<std::string> numbers;  // --entry: the one entry the one file replaces
  std::optional<std::uint16_t> tag;  // the record fields of entries added
  std::optional<std::uint32_t> spare;
};

struct delete_request {
  std::string archive;
  std::optional<std::string> charset;  // the code page of the names (--charset)
  entry_choice choice;
  edit_options options;
};

struct rename_request {
  std::string archive;
  std::optional<std::string> charset;  // the code page of the names (--charset)
  // OLD NEW, or only NEW with --entry; OLD is an exact name.
  std::vector<std::string> names;
  std::vector<std::string> numbers;
  edit_options options;
};

struct set_request {
  std::string archive;
  std::optional<std::string> charset;  // the code page of the names (--charset)
  entry_choice choice;                 // exact names, or --entry
  std::optional<std::uint16_t> tag;
  std::optional<std::uint32_t> spare;
  edit_options options;
};

struct repack_request {
  std::string archive;
  std::uint32_t alignment = 1;
};

struct view_request {
  std::string archive;
  std::optional<std::string> charset;  // the code page of the names (--charset)
  std::uint16_t port = 0;              // 0: any free one
  bool no_browser = false;
  bool read_only = false;
};

exit_status run_list(const list_request& request);
exit_status run_check(const check_request& request);
exit_status run_extract(const extract_request& request);
exit_status run_cat(const cat_request& request);
exit_status run_diff(const diff_request& request);
exit_status run_create(const create_request& request);
exit_status run_update(const update_request& request);
exit_status run_delete(const delete_request& request);
exit_status run_repack(const repack_request& request);
exit_status run_rename(const rename_request& request);
exit_status run_set(const set_request& request);
// Serves the archive to a browser on this machine until SIGINT or SIGTERM.
exit_status run_view(const view_request& request);

}  // namespace qvx::cli
