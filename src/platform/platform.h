// The few operations that differ between POSIX and Windows. Everything else
// in the program is portable C++; it reaches the operating system only through
// this header. platform_posix.cc and platform_windows.cc implement it, and the
// build picks one of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qvx::platform {

// An operating-system error number: errno on POSIX, GetLastError() on
// Windows. 0 means no error.
using error_code = int;

// The error of opening something that cannot be read by position as an
// archive: a FIFO, a socket, a terminal or another character device. No
// system error number means this, so it has one of its own.
inline constexpr error_code not_a_regular_file = -2;

// The system's own words for `error`, for diagnostics.
std::string error_text(error_code error);

// The program's arguments, its own name first, in the form input_file::open
// takes. POSIX: argv as the runtime passed it. Windows: the wide command
// line in UTF-8, so that a path with characters outside the ANSI code page
// is not turned into question marks on the way in; `argv` is used only if
// the command line cannot be read.
std::vector<std::string> program_arguments(int argc, const char* const* argv);

// An archive path as program_arguments gave it, in the 8-bit text the rest
// of the output uses: unchanged on POSIX; on Windows in the ANSI code page,
// like entry names, with '?' for each character that code page lacks.
std::string displayed_path(const std::string& path);

// The outcome of a read or a copy: how many bytes moved, and why it stopped
// short if it did. A short count with no error means the source ended.
struct io_result {
  std::uint64_t bytes = 0;
  error_code error = 0;
};

struct file_facts;

// The error of opening a directory that is a symbolic link (on Windows, any
// reparse point) where a path is not to follow one.
inline constexpr error_code symbolic_link_met = -3;

// A directory below the working directory that entries are written into,
// opened part by part without following a symbolic link. POSIX: a descriptor
// that later opens are relative to. Windows: only the path, checked (see
// open_below).
class directory_handle {
 public:
  directory_handle() = default;
  directory_handle(const directory_handle&) = delete;
  directory_handle& operator=(const directory_handle&) = delete;
  directory_handle(directory_handle&& other) noexcept;
  directory_handle& operator=(directory_handle&& other) noexcept;
  ~directory_handle();

  // Opens parts[0]/parts[1]/... below the working directory, each relative
  // to the one before, making each that is missing (0777 less the umask).
  // Parts are entry names, as output_file's commits take them. Fails with
  // `symbolic_link_met` or the system's error, and `failed` the number of
  // the part (from 0) that could not be opened.
  static directory_handle open_below(std::span<const std::string_view> parts, error_code& error,
                                     std::size_t& failed);

  [[nodiscard]] bool is_open() const { return !prefix_.empty(); }
  [[nodiscard]] std::intptr_t native_handle() const { return handle_; }
  // The directory's path from the working directory, ending in a separator.
  [[nodiscard]] const std::string& prefix() const { return prefix_; }

 private:
  void close();

  static constexpr std::intptr_t invalid_handle = -1;
  std::intptr_t handle_ = invalid_handle;  // POSIX only
  std::string prefix_;
};

// An archive opened for reading. Reads are positional (64-bit offsets), so
// nothing shares or restores a file position, and several threads may read
// one archive at once.
class input_file {
 public:
  input_file() = default;
  input_file(const input_file&) = delete;
  input_file& operator=(const input_file&) = delete;
  input_file(input_file&& other) noexcept;
  input_file& operator=(input_file&& other) noexcept;
  ~input_file();

  // Opens `path` (as program_arguments gives it: UTF-8 on Windows, where a
  // path of any length is accepted) without ever waiting for a writer. Fails
  // with the system's error, with the "is a directory" error for a
  // directory, or with `not_a_regular_file` for what cannot be read by
  // position (only files and block devices can).
  static input_file open(const std::string& path, error_code& error);

  // Opens the regular file `path` for reading and writing, to change it in
  // place; refuses what open() refuses, and a block device.
  static input_file open_for_update(const std::string& path, error_code& error);

  [[nodiscard]] bool is_open() const { return handle_ != invalid_handle; }

  // For a file opened for update: writes `data` at `offset`; copies
  // `length` bytes of `source` from `source_offset` to `offset`; makes what
  // was written durable (fdatasync, FlushFileBuffers); cuts the file to
  // `length` bytes.
  [[nodiscard]] error_code write_at(std::uint64_t offset, std::span<const std::byte> data);
  [[nodiscard]] io_result copy_to(std::uint64_t offset, const input_file& source,
                                  std::uint64_t source_offset, std::uint64_t length);
  [[nodiscard]] error_code sync_data();
  [[nodiscard]] error_code truncate(std::uint64_t length);

  // The file's length when it was opened.
  [[nodiscard]] std::uint64_t size() const { return size_; }

  // Fills `buffer` from `offset` on; fewer bytes only when the file ends
  // first or an error stops the read.
  [[nodiscard]] io_result read_at(std::uint64_t offset, std::span<std::byte> buffer) const;

  // True when `name`, in the working directory (or `where`) and without
  // following a final symbolic link, is this very file: writing an entry
  // there would destroy the archive being read.
  [[nodiscard]] bool is_named(const std::string& name,
                              const directory_handle* where = nullptr) const;

  [[nodiscard]] std::intptr_t native_handle() const { return handle_; }

  // The file as it was when it was opened: its identity and length.
  [[nodiscard]] file_facts facts() const;

 private:
  static input_file open_with(const std::string& path, bool for_update, error_code& error);
  void close();

  static constexpr std::intptr_t invalid_handle = -1;
  std::intptr_t handle_ = invalid_handle;
  std::uint64_t size_ = 0;
  std::uint64_t volume_ = 0;   // device (POSIX) or volume serial (Windows)
  std::uint64_t file_id_ = 0;  // inode (POSIX) or file index (Windows)
};

// A new file in the working directory that is not yet visible under its
// real name. It gets that name only through one of the commit functions, in
// one atomic step; if neither succeeds, the destructor removes it. So an
// existing file of that name is replaced by a complete entry or not at all.
// Where the system allows it (Linux's O_TMPFILE) the file has no name at all
// until then; see README.md for what a killed process can leave. Different
// output files may be written and committed on different threads at once.
class output_file {
 public:
  output_file() = default;
  output_file(const output_file&) = delete;
  output_file& operator=(const output_file&) = delete;
  output_file(output_file&& other) noexcept;
  output_file& operator=(output_file&& other) noexcept;
  ~output_file();

  // Creates the file with the permissions of any new file (0666 less the
  // umask on POSIX). Never follows or reuses an existing name. With `where`,
  // the file is made there, and the commits name it there.
  static output_file create(error_code& error,
                            std::shared_ptr<const directory_handle> where = nullptr);

  [[nodiscard]] bool is_open() const { return handle_ != invalid_handle; }

  // Appends up to `length` bytes of `source` from `offset` on. Stops early,
  // with no error, where the source ends.
  [[nodiscard]] io_result copy_from(const input_file& source, std::uint64_t offset,
                                    std::uint64_t length);

  // Closes the file and gives it `name` if nothing of that name exists.
  // Returns false, with `error` 0 and the file kept, when the name is taken.
  [[nodiscard]] bool commit_new(const std::string& name, error_code& error);

  // Closes the file and gives it `name`, replacing what is there (a symbolic
  // link of that name is replaced, not followed). On failure the old `name`
  // is left as it was.
  [[nodiscard]] error_code commit_replacing(const std::string& name);

 private:
  // Closes the file and removes it, unless a commit gave it its name.
  void discard();

  static constexpr std::intptr_t invalid_handle = -1;
  std::intptr_t handle_ = invalid_handle;
  std::uint64_t written_ = 0;   // bytes copied so far: where the next copy writes
  std::string temporary_name_;  // empty while the file has no name; else with where_'s prefix
  std::shared_ptr<const directory_handle> where_;  // none for the working directory
};

// ---- For writing archives and for the qvx command (see replacement_file)

enum class file_kind { regular, directory, other };

// What a path names, following symbolic links.
struct file_facts {
  file_kind kind = file_kind::other;
  std::uint64_t size = 0;
  std::uint64_t volume = 0;    // device (POSIX) or volume serial (Windows)
  std::uint64_t file_id = 0;   // inode (POSIX) or file index (Windows)
  std::uint64_t modified = 0;  // last write, in the system's own units

  [[nodiscard]] bool same_file(const file_facts& other) const {
    return volume == other.volume && file_id == other.file_id;
  }
};

// Looks at `path` without opening it for reading, so that a FIFO or a
// device cannot block. Fails with the system's error when it does not exist.
file_facts examine(const std::string& path, error_code& error);

// Whether this process may write to the file at `path`: on POSIX its
// permission bits for this user, and never, root included, when no one has
// a write bit; on Windows the read-only attribute.
bool may_write(const std::string& path);

// Whether `path` itself is a symbolic link (on Windows, any reparse point).
bool is_symbolic_link(const std::string& path);

// The file `path` leads to: `path` itself unless it is a symbolic link,
// else the link's final target (through every further link). Fails with the
// system's error when a link leads nowhere.
std::string final_target(const std::string& path, error_code& error);

// The names directly inside the directory `path` ("." and ".." left out),
// in no particular order.
std::vector<std::string> directory_names(const std::string& path, error_code& error);

// `path` and `name` inside it, joined with the system's separator.
std::string joined_path(const std::string& directory, const std::string& name);

// A command-line argument as a console program sees it: unchanged on POSIX,
// where the shell has expanded patterns; on Windows, an argument whose last
// component holds `*` or `?` becomes the paths that match it, in byte order,
// or stays as it is when none does.
std::vector<std::string> expanded_argument(const std::string& argument);

// Reads the regular file at `path`, expected to hold `expected` bytes, onto
// the end of `out`, in as few system calls as the system allows: for many
// small files. `bytes` is what was found, at most `expected` + 1, so a count
// other than `expected` means that the file changed size.
io_result read_small_file(const std::string& path, std::uint64_t expected,
                          std::vector<std::byte>& out);

// The right to edit one file, which every qvx that edits an archive takes
// before it reads the archive's directory and holds until the new archive
// is in place; another waits for it. POSIX: flock on a descriptor of the
// file. Windows: a mutex named after the file's identity, since a file that
// any process holds open cannot be replaced there. Released when destroyed
// (or when the process ends). Advisory: programs that take no lock are not
// held up.
class edit_lock {
 public:
  edit_lock() = default;
  edit_lock(const edit_lock&) = delete;
  edit_lock& operator=(const edit_lock&) = delete;
  edit_lock(edit_lock&& other) noexcept;
  edit_lock& operator=(edit_lock&& other) noexcept;
  ~edit_lock();

  // Waits for the lock of the file `path` names now, and gives that file's
  // identity in `locked`; the caller checks that `path` still names it once
  // the lock is granted, since the editor before may have replaced it.
  static edit_lock acquire(const std::string& path, file_facts& locked, error_code& error);

 private:
  void release();

  static constexpr std::intptr_t invalid_handle = -1;
  std::intptr_t handle_ = invalid_handle;
};

// A new file that takes the place of `path` in one rename, and only once it
// is complete. Until commit() it has a temporary name in the same directory
// (or no name at all, where the system allows), and the destructor removes
// it: a failure leaves no partial file, and the old `path` as it was. On
// POSIX it gets the permission bits of the file it replaces, if there is one.
// `path` must not be a symbolic link: the rename would replace the link.
class replacement_file {
 public:
  replacement_file() = default;
  replacement_file(const replacement_file&) = delete;
  replacement_file& operator=(const replacement_file&) = delete;
  replacement_file(replacement_file&& other) noexcept;
  replacement_file& operator=(replacement_file&& other) noexcept;
  ~replacement_file();

  static replacement_file create(const std::string& path, error_code& error);

  [[nodiscard]] bool is_open() const { return handle_ != invalid_handle; }

  // Appends `data`.
  [[nodiscard]] error_code write(std::span<const std::byte> data);

  // Appends up to `length` bytes of `source` from `offset` on. Stops early,
  // with no error, where the source ends.
  [[nodiscard]] io_result copy_from(const input_file& source, std::uint64_t offset,
                                    std::uint64_t length);

  // Closes the file and renames it to `path`, replacing what is there.
  [[nodiscard]] error_code commit();

  // Like commit(), but only while the file at `path` is still `replaced`
  // (the same file, of the length it had when opened), which is closed on
  // the way: when another program has replaced or changed it meanwhile, its
  // file stays, this one is removed, and `changed` is set. On Linux the two
  // names are swapped atomically and the swap undone if the file that came
  // out is not `replaced`, so nothing can slip in between the check and the
  // rename. On Windows `replaced` is closed first, since an open file
  // cannot be replaced there.
  [[nodiscard]] error_code commit_over(input_file& replaced, bool& changed);

 private:
  void discard();
  void start_writeback();  // POSIX: starts writing out what was appended

  static constexpr std::intptr_t invalid_handle = -1;
  std::intptr_t handle_ = invalid_handle;
  std::uint64_t written_ = 0;    // bytes appended so far: where the next append writes
  std::uint64_t submitted_ = 0;  // bytes whose writing out has been started
  std::string path_;
  std::string temporary_name_;  // empty while the file has no name
};

// Makes `path` the working directory.
error_code change_directory(const std::string& path);

// The prefix of every temporary file name, so that one left by a killed
// process can be recognised.
inline constexpr std::string_view temporary_prefix = ".qvxreader-";

// Opens the null device on each of descriptors 0, 1 and 2 that is closed
// (`<&-`, `>&-`), so that no file the program opens later gets one of those
// numbers and with it the listing, the diagnostics or the reads of standard
// input. Each is opened the wrong way round, standard input for writing and
// the others for reading, so that using it fails as the closed descriptor
// would have: a listing to a closed standard output is still a write error.
// On Windows the runtime keeps those numbers taken itself and files are
// handles, so it only notes standard input. Called first in main; fails
// with the system's error.
error_code make_standard_descriptors_safe();

// Whether make_standard_descriptors_safe found standard input closed: it
// then reads as nothing, which must not pass for an empty list.
bool standard_input_was_closed();

// Makes a write to a closed pipe, or past the file-size limit (ulimit -f),
// fail with an error that the program reports, instead of ending the process
// with a signal part-way through its work.
void report_write_failures_as_errors();

// Makes SIGINT, SIGTERM and SIGHUP remove the temporary files still being
// written before they end the process, as they would have. Signals ignored
// at the start stay ignored. On Windows every temporary file is deleted by
// the system when the process ends before it is renamed, however it ends.
void remove_temporary_files_on_signals();

// While an edit in place writes past the archive's old end: SIGINT,
// SIGTERM or SIGHUP first cut `file` back to `length`, so that an edit they
// interrupt leaves no part of its new data there. nullptr clears it; it must
// be cleared before the write that makes the edit current. Nothing on
// Windows.
void cut_back_on_signals(const input_file* file, std::uint64_t length);

// How many files the process may have open at once (RLIMIT_NOFILE).
std::size_t max_open_files();

// Whether entry names must also satisfy Windows' file-name rules.
bool uses_windows_names();

// On Windows, sets `key` to the entry name `name` (in the ANSI code page, or
// UTF-8, see use_utf8_entry_names) in upper case as the system maps it, so
// that two names the file system takes as one get one key, and returns true.
// On POSIX the same for UTF-8 names converted from another code page, with
// Unicode's upper case; for names left as they are it returns false: the
// system has no say in how they compare.
bool system_case_key(std::string_view name, std::string& key);

// `text` from the command line (see program_arguments) in the bytes entry
// names are made of: unchanged on POSIX; on Windows in the ANSI code page,
// where entry names live. False when it has a character that code page
// lacks, so that no entry name can stand for it.
bool as_entry_name(const std::string& text, std::string& name);

// Converts entry names between the code page an archive's names are in and
// the text that file names, listings and arguments use here: UTF-8 (on
// Windows, UTF-8 that the file functions take as wide names). The system's
// own converter does the work: iconv on POSIX, MultiByteToWideChar on
// Windows. Only for one thread at a time.
class name_converter {
 public:
  // The converter for `charset` ("CP932", "CP1252", "WINDOWS-1251"; on
  // Windows also a code page's number), or nothing with `problem` saying why.
  static std::optional<name_converter> open(const std::string& charset, std::string& problem);

  name_converter(const name_converter&) = delete;
  name_converter& operator=(const name_converter&) = delete;
  name_converter(name_converter&& other) noexcept;
  name_converter& operator=(name_converter&& other) noexcept;
  ~name_converter();

  // `bytes`, a name in the code page, as UTF-8; false when they are not a
  // valid name in it.
  [[nodiscard]] bool to_text(std::string_view bytes, std::string& text) const;
  // `text` (UTF-8) in the code page; false when it is not valid UTF-8 or has
  // a character the code page lacks. No look-alike stands in for one.
  [[nodiscard]] bool to_code_page(std::string_view text, std::string& bytes) const;

  [[nodiscard]] const std::string& charset() const { return charset_; }

 private:
  struct state;  // the system's converter: iconv's descriptors, or a code page
  name_converter(std::string charset, std::unique_ptr<state> converter);

  std::string charset_;
  std::unique_ptr<state> state_;
};

// From now on the names given to output_file's commits, to
// input_file::is_named and to system_case_key, and the entry names that
// as_entry_name makes, are UTF-8, as name_converter makes them, rather than
// in the ANSI code page. Changes nothing on POSIX, where a name is bytes.
// Called once, before any file is written.
void use_utf8_entry_names();

// Makes standard output take bytes as they are: on Windows it would
// otherwise turn each LF into CR LF. Nothing to do on POSIX.
void binary_standard_output();

bool stdout_is_terminal();
bool stderr_is_terminal();

// How many columns the terminal on standard error has now, or 0 when it is
// not a terminal or will not say.
std::size_t terminal_columns();

// Prints a prompt and waits for one key; returns at once at end of input.
// On a terminal, a key ends the wait without Enter, and the terminal is left
// as it was found also when a signal stops or ends the process.
void wait_for_key();

// ---- For qvx view

// Fills `bytes` from the system's cryptographic generator (getrandom, else
// /dev/urandom; BCryptGenRandom on Windows). Fails with the system's error
// rather than return anything weaker.
[[nodiscard]] error_code random_bytes(std::span<std::byte> bytes);

// Opens `url` in the user's default browser (xdg-open; ShellExecuteW on
// Windows) without waiting for the browser to end. The opener's own output
// goes to the null device, so that it never mixes into standard output.
[[nodiscard]] error_code open_in_browser(const std::string& url);

}  // namespace qvx::platform
