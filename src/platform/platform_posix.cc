#include <dirent.h>
#include <fcntl.h>
#include <iconv.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwctype>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/temporary_name.h"

extern char** environ;  // for posix_spawnp: the child gets this process's environment

namespace qvx::platform {
namespace {

int fd_of(std::intptr_t handle) { return static_cast<int>(handle); }

// The names of the temporary files that exist now, so that a signal that
// ends the process can remove them first. Threads that create and name
// files take and give back slots under the mutex; the signal handler takes
// each name with one atomic exchange, without the mutex, and never frees it.
// Blocks, for as long as it exists, the signals whose handler sweeps the
// temporary files, in the calling thread only.
class sweep_signals_blocked {
 public:
  sweep_signals_blocked() {
    sigset_t sweeping;
    sigemptyset(&sweeping);
    for (const int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&sweeping, s);
    ::pthread_sigmask(SIG_BLOCK, &sweeping, &saved_);
  }
  ~sweep_signals_blocked() { ::pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
  sweep_signals_blocked(const sweep_signals_blocked&) = delete;
  sweep_signals_blocked& operator=(const sweep_signals_blocked&) = delete;

 private:
  sigset_t saved_{};
};

class temporary_registry {
 public:
  void add(const std::string& name) {
    char* copy = ::strdup(name.c_str());
    if (copy == nullptr) return;
    const std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < slots_.size(); ++i) {
      char* empty = nullptr;
      if (slots_[i].compare_exchange_strong(empty, copy)) {
        used_.store(std::max(used_.load(), i + 1));
        return;
      }
    }
    std::free(copy);  // more files in flight than slots: those are not removed on a signal
  }

  void remove(const std::string& name) {
    // A sweep in this thread while it holds the lock would wait for a
    // thread that is blocked on the lock in add(), whose file then stays.
    const sweep_signals_blocked blocked;
    const std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < used_.load(); ++i) {
      char* held = slots_[i].load();
      if (held != nullptr && std::strcmp(held, name.c_str()) == 0) {
        if (slots_[i].compare_exchange_strong(held, nullptr)) std::free(held);
        return;
      }
    }
  }

  // Async-signal-safe: only atomic operations, nanosleep and unlink. Other
  // threads keep running until the process ends, so first no new temporary
  // file may be made, and those being made are waited for (a second at
  // most), lest one appear after the sweep.
  void unlink_all() {
    dying_.store(true);
    for (int wait = 0; wait < 1000 && creating_.load() > 0; ++wait) {
      const timespec millisecond{0, 1000000};
      ::nanosleep(&millisecond, nullptr);
    }
    const std::size_t used = used_.load();
    for (std::size_t i = 0; i < used; ++i) {
      if (char* held = slots_[i].exchange(nullptr)) ::unlink(held);
    }
  }

  // While one exists, the calling thread may make a temporary file and add
  // its name: the signals that sweep are blocked for it (so that another
  // thread, which can wait for it, handles them), and a sweep waits for it.
  class creation {
   public:
    explicit creation(temporary_registry& registry) : registry_(registry) {
      registry_.creating_.fetch_add(1);
      if (registry_.dying_.load()) {
        // A sweep has begun: the process is ending. Make nothing more.
        registry_.creating_.fetch_sub(1);
        while (true) ::pause();
      }
    }
    ~creation() { registry_.creating_.fetch_sub(1); }
    creation(const creation&) = delete;
    creation& operator=(const creation&) = delete;

   private:
    // Declared first, so that the signals stay blocked until the count
    // has dropped again.
    sweep_signals_blocked blocked_;
    temporary_registry& registry_;
  };

 private:
  std::mutex mutex_;
  std::array<std::atomic<char*>, 4096> slots_{};
  std::atomic<std::size_t> used_{0};  // no slot from here on has ever been taken
  std::atomic<int> creating_{0};      // threads making a temporary file now
  std::atomic<bool> dying_{false};    // a sweep has begun
};

temporary_registry& temporaries() {
  static temporary_registry registry;
  return registry;
}

// Forgets the temporary name of a file that has been renamed or removed.
void forget_temporary(std::string& name) {
  if (!name.empty()) temporaries().remove(name);
  name.clear();
}

// Largest request per copy call: some C libraries report wrong counts for
// copy_file_range requests above 2 GiB.
constexpr std::uint64_t max_copy_request = std::uint64_t{1} << 30U;
constexpr std::size_t fallback_buffer_size = std::size_t{1} << 20U;

// Whether copy_file_range is still worth trying. Once it has been found not
// to work on these files, every later entry goes straight to read/write.
std::atomic<bool>& kernel_copy_enabled() {
  static std::atomic<bool> enabled{true};
  return enabled;
}

// Errors with which copy_file_range says it cannot copy between these two
// files at all, as opposed to a failure of this particular copy.
bool means_unsupported(int error) {
  switch (error) {
    case ENOSYS:
    case EXDEV:
    case EINVAL:
    case EOPNOTSUPP:
    case EPERM:
    case EBADF:
    case ETXTBSY:
    case ENOENT:
      return true;
    default:
      return false;
  }
}

io_result read_fully(int fd, std::uint64_t offset, std::span<std::byte> buffer) {
  io_result result;
  while (result.bytes < buffer.size()) {
    const ssize_t n = ::pread(fd, buffer.data() + result.bytes, buffer.size() - result.bytes,
                              static_cast<off_t>(offset + result.bytes));
    if (n < 0) {
      if (errno == EINTR) continue;
      result.error = errno;
      break;
    }
    if (n == 0) break;
    result.bytes += static_cast<std::uint64_t>(n);
  }
  return result;
}

// Writes all of `data` at `offset` on.
error_code write_fully_at(int fd, std::span<const std::byte> data, std::uint64_t offset) {
  while (!data.empty()) {
    const ssize_t n = ::pwrite(fd, data.data(), data.size(), static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    offset += static_cast<std::uint64_t>(n);
    data = data.subspan(static_cast<std::size_t>(n));
  }
  return 0;
}

// The portable copy: a bounded buffer through user space, one per thread
// that copies. It writes at explicit positions, like the kernel copy, so the
// two may take turns on one file.
io_result copy_buffered(int in, std::uint64_t offset, std::uint64_t length, int out,
                        std::uint64_t out_offset) {
  thread_local std::vector<std::byte> buffer(fallback_buffer_size);
  io_result result;
  while (result.bytes < length) {
    const auto want =
        static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), length - result.bytes));
    const io_result got = read_fully(in, offset + result.bytes, std::span{buffer}.first(want));
    if (const error_code error =
            write_fully_at(out, std::span{buffer}.first(got.bytes), out_offset + result.bytes)) {
      result.error = error;
      return result;
    }
    result.bytes += got.bytes;
    if (got.error != 0 || got.bytes < want) {
      result.error = got.error;
      return result;
    }
  }
  return result;
}

// The kernel copy, falling back to copy_buffered while nothing has been
// copied yet if the kernel cannot do it for these files.
io_result copy_kernel(int in, std::uint64_t offset, std::uint64_t length, int out,
                      std::uint64_t out_offset) {
  io_result result;
  while (result.bytes < length) {
    auto in_pos = static_cast<off_t>(offset + result.bytes);
    auto out_pos = static_cast<off_t>(out_offset + result.bytes);
    const auto want = static_cast<std::size_t>(std::min(max_copy_request, length - result.bytes));
    const ssize_t n = ::copy_file_range(in, &in_pos, out, &out_pos, want, 0);
    if (n > 0) {
      result.bytes += static_cast<std::uint64_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (result.bytes > 0) {
      // 0 after some bytes: the source ended. An error now is a real failure.
      if (n < 0) result.error = errno;
      return result;
    }
    if (n == 0) {
      // Some file systems answer 0 instead of an error when they cannot
      // copy; one byte read at the same place tells that from the end.
      std::byte probe{};
      const io_result peek = read_fully(in, offset, std::span{&probe, 1});
      if (peek.error != 0) {
        result.error = peek.error;
        return result;
      }
      if (peek.bytes == 0) return result;
    } else if (!means_unsupported(errno)) {
      result.error = errno;
      return result;
    }
    kernel_copy_enabled() = false;
    return copy_buffered(in, offset, length, out, out_offset);
  }
  return result;
}

}  // namespace

std::string error_text(error_code error) {
  if (error == not_a_regular_file) return "not a regular file";
  if (error == symbolic_link_met) return "a symbolic link";
  return std::strerror(error);
}

// ---- input_file

void input_file::close() {
  if (is_open()) ::close(fd_of(std::exchange(handle_, invalid_handle)));
}

input_file input_file::open(const std::string& path, error_code& error) {
  return open_with(path, false, error);
}

input_file input_file::open_for_update(const std::string& path, error_code& error) {
  return open_with(path, true, error);
}

input_file input_file::open_with(const std::string& path, bool for_update, error_code& error) {
  input_file file;
  // O_NONBLOCK: opening a FIFO with no writer would otherwise wait forever.
  // Reads of regular files and block devices never block on it anyway.
  const int fd = ::open(path.c_str(), (for_update ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    error = errno;
    // A socket cannot be opened at all; say what it is rather than ENXIO.
    struct stat st {};
    if (error == ENXIO && ::stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
      error = not_a_regular_file;
    }
    return file;
  }
  file.handle_ = fd;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    error = errno;
    return input_file{};
  }
  if (S_ISDIR(st.st_mode)) {
    error = EISDIR;
    return input_file{};
  }
  // Entries are read by position, which pipes, sockets and terminals have
  // not; an archive is changed in place only in a file.
  if (!S_ISREG(st.st_mode) && (for_update || !S_ISBLK(st.st_mode))) {
    error = not_a_regular_file;
    return input_file{};
  }
  if (S_ISBLK(st.st_mode)) {
    // A block device's stat size is 0; its length is where its end lies.
    const off_t end = ::lseek(fd, 0, SEEK_END);
    if (end < 0) {
      error = errno;
      return input_file{};
    }
    st.st_size = end;
  }
  file.size_ = static_cast<std::uint64_t>(st.st_size);
  file.volume_ = static_cast<std::uint64_t>(st.st_dev);
  file.file_id_ = static_cast<std::uint64_t>(st.st_ino);
  error = 0;
  return file;
}

io_result input_file::read_at(std::uint64_t offset, std::span<std::byte> buffer) const {
  return read_fully(fd_of(handle_), offset, buffer);
}

namespace {

// The descriptor that names in `where` are relative to.
int at_of(const directory_handle* where) {
  return where != nullptr && where->is_open() ? fd_of(where->native_handle()) : AT_FDCWD;
}

}  // namespace

bool input_file::is_named(const std::string& name, const directory_handle* where) const {
  struct stat st {};
  if (::fstatat(at_of(where), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  return static_cast<std::uint64_t>(st.st_dev) == volume_ &&
         static_cast<std::uint64_t>(st.st_ino) == file_id_;
}

// ---- output_file

namespace {

// How an anonymous O_TMPFILE file gets its name: AT_EMPTY_PATH needs a
// capability on most kernels, /proc/self/fd needs /proc. Found once, on a
// throwaway file, because a file that cannot be named would have to be
// copied again.
enum class link_method { empty_path, proc_fd, none };

int link_anonymous(int fd, const std::string& name, link_method method, int at = AT_FDCWD) {
  if (method == link_method::empty_path) {
    return ::linkat(fd, "", at, name.c_str(), AT_EMPTY_PATH);
  }
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  return ::linkat(AT_FDCWD, path.c_str(), at, name.c_str(), AT_SYMLINK_FOLLOW);
}

int open_anonymous(const std::string& directory = ".", int at = AT_FDCWD) {
  return ::openat(at, directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
}

// What of a temporary `name` (which starts with `directory`) the system
// calls relative to `at` take: all of it in the working directory, only the
// file's own name in a directory opened by descriptor. The whole of it is
// what the signal handler removes.
const char* relative_to(int at, const std::string& name, const std::string& directory) {
  return at == AT_FDCWD ? name.c_str() : name.c_str() + directory.size();
}

// Links the open anonymous file `fd` under a fresh temporary name in
// `directory` (empty, or ending in a separator; opened as `at`, if not the
// working directory).
error_code link_under_temporary_name(int fd, link_method method, std::string& name,
                                     const std::string& directory = "", int at = AT_FDCWD) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    name = directory + make_temporary_name();
    const temporary_registry::creation creating(temporaries());
    if (link_anonymous(fd, relative_to(at, name, directory), method, at) == 0) {
      temporaries().add(name);
      return 0;
    }
    if (errno != EEXIST) break;
  }
  const error_code error = errno;
  name.clear();
  return error;
}

// Which method names an anonymous file made in `directory` (with a final
// separator, or "" for the working directory), or none.
link_method probe_link_method(const std::string& directory) {
  const int fd = open_anonymous(directory.empty() ? "." : directory);
  if (fd < 0) return link_method::none;
  link_method found = link_method::none;
  for (const link_method method : {link_method::empty_path, link_method::proc_fd}) {
    std::string name;
    if (link_under_temporary_name(fd, method, name, directory) == 0) {
      ::unlink(name.c_str());
      forget_temporary(name);
      found = method;
      break;
    }
  }
  ::close(fd);
  return found;
}

// QVXREADER_PORTABLE_IO=1 makes the program use only what every POSIX
// system has, named temporary files and read/write, so that tests can run
// those paths on any file system.
bool portable_io_forced() {
  static const bool forced = [] {
    const char* value = std::getenv("QVXREADER_PORTABLE_IO");
    return value != nullptr && std::string_view{value} == "1";
  }();
  return forced;
}

// Copies `length` bytes of `in` from `offset` on to `out` at `out_offset`.
// The kernel copy is the fast path for entries of
// every size and alignment: read/write was three times slower on entries of
// up to a few hundred KiB, and on 64 MiB entries at unaligned offsets it was
// at best a little faster and at worst several times slower (writes into
// freshly allocated page cache vary widely on virtual machines).
io_result copy_range(int in, std::uint64_t offset, std::uint64_t length, int out,
                     std::uint64_t out_offset) {
  return kernel_copy_enabled() && !portable_io_forced()
             ? copy_kernel(in, offset, length, out, out_offset)
             : copy_buffered(in, offset, length, out, out_offset);
}

// Creates a new file under a fresh temporary name in `directory` (empty, or
// ending in a separator). O_EXCL never opens an existing file or follows a
// planted link; a taken name is simply skipped. Mode 0666 lets the umask
// decide, as for any new file. Returns the descriptor, or -1 with errno.
int open_named_temporary(const std::string& directory, std::string& name, int at = AT_FDCWD) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    name = directory + make_temporary_name();
    const temporary_registry::creation creating(temporaries());
    const int fd = ::openat(at, relative_to(at, name, directory),
                            O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd >= 0) temporaries().add(name);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// Whether an anonymous file can be made in `directory` at all.
bool open_anonymous_possible(const std::string& directory) {
  const int fd = open_anonymous(directory.empty() ? "." : directory);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

// How anonymous files get their names here, found once, by the first
// probe that could make one: which method works depends on the process's
// capabilities and on /proc, not on the directory, but a directory this
// process cannot write in says nothing, and is probed again another time.
link_method anonymous_link_method(const std::string& directory = "") {
  if (portable_io_forced()) return link_method::none;
  static std::mutex mutex;
  static std::optional<link_method> found;
  const std::lock_guard lock(mutex);
  if (!found) {
    const link_method method = probe_link_method(directory);
    // A file that could be made but not named settles it too.
    if (method != link_method::none || open_anonymous_possible(directory)) found = method;
    if (!found) return link_method::none;
  }
  return *found;
}

}  // namespace

directory_handle directory_handle::open_below(std::span<const std::string_view> parts,
                                              error_code& error, std::size_t& failed) {
  directory_handle opened;
  int at = AT_FDCWD;
  std::string prefix;
  error = 0;
  for (failed = 0; failed < parts.size(); ++failed) {
    const std::string part{parts[failed]};
    constexpr int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::openat(at, part.c_str(), flags);
    if (fd < 0 && errno == ENOENT) {
      // Another thread or program may make it first: then it is opened as
      // theirs, with the same checks.
      if (::mkdirat(at, part.c_str(), 0777) != 0 && errno != EEXIST) {
        error = errno;
      } else {
        fd = ::openat(at, part.c_str(), flags);
      }
    }
    if (fd < 0 && error == 0) {
      error = errno;
      // O_NOFOLLOW reports a link as ELOOP, O_DIRECTORY one to a file as
      // ENOTDIR: which it was decides the diagnostic.
      struct stat st {};
      if ((error == ELOOP || error == ENOTDIR) &&
          ::fstatat(at, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
        error = symbolic_link_met;
      }
    }
    if (at != AT_FDCWD) ::close(at);
    if (fd < 0) return {};
    at = fd;
    prefix += part + '/';
  }
  opened.handle_ = at == AT_FDCWD ? invalid_handle : at;
  opened.prefix_ = std::move(prefix);
  return opened;
}

void directory_handle::close() {
  if (handle_ != invalid_handle) ::close(fd_of(std::exchange(handle_, invalid_handle)));
  prefix_.clear();
}

void output_file::discard() {
  if (is_open()) ::close(fd_of(std::exchange(handle_, invalid_handle)));
  const int at = at_of(where_.get());
  const std::string directory = where_ ? where_->prefix() : std::string{};
  if (!temporary_name_.empty()) ::unlinkat(at, relative_to(at, temporary_name_, directory), 0);
  forget_temporary(temporary_name_);
}

output_file output_file::create(error_code& error, std::shared_ptr<const directory_handle> where) {
  output_file file;
  file.where_ = std::move(where);
  const int at = at_of(file.where_.get());
  error = 0;
  if (anonymous_link_method() != link_method::none) {
    const int fd = open_anonymous(".", at);
    if (fd < 0) {
      error = errno;
    } else {
      file.handle_ = fd;
    }
    return file;
  }
  std::string name;
  const int fd = open_named_temporary(file.where_ ? file.where_->prefix() : "", name, at);
  if (fd < 0) {
    error = errno;
    return file;
  }
  file.handle_ = fd;
  file.temporary_name_ = std::move(name);
  return file;
}

io_result output_file::copy_from(const input_file& source, std::uint64_t offset,
                                 std::uint64_t length) {
  const io_result result =
      copy_range(fd_of(source.native_handle()), offset, length, fd_of(handle_), written_);
  written_ += result.bytes;
  return result;
}

bool output_file::commit_new(const std::string& name, error_code& error) {
  error = 0;
  const int at = at_of(where_.get());
  if (temporary_name_.empty()) {
    // An anonymous file: linking fails, and changes nothing, if the name is
    // taken. close() comes after, since the link needs the descriptor.
    if (link_anonymous(fd_of(handle_), name, anonymous_link_method(), at) != 0) {
      if (errno != EEXIST) error = errno;
      return false;
    }
    // close() can be the first to report a failed write (NFS, quotas); the
    // file just linked is then ours to take back.
    if (::close(fd_of(std::exchange(handle_, invalid_handle))) != 0) {
      error = errno;
      ::unlinkat(at, name.c_str(), 0);
      return false;
    }
    return true;
  }

  if (is_open() && ::close(fd_of(std::exchange(handle_, invalid_handle))) != 0) {
    error = errno;
    discard();
    return false;
  }
  const char* temporary =
      relative_to(at, temporary_name_, where_ ? where_->prefix() : std::string{});
  // A sweep that removed the temporary file under this rename would make it
  // fail, and the failure be reported as the process ends: the sweep waits.
  const temporary_registry::creation renaming(temporaries());
  if (::renameat2(at, temporary, at, name.c_str(), RENAME_NOREPLACE) == 0) {
    forget_temporary(temporary_name_);
    return true;
  }
  if (errno == EINVAL || errno == ENOSYS) {
    // No RENAME_NOREPLACE here: a hard link is just as exclusive.
    if (::linkat(at, temporary, at, name.c_str(), 0) == 0) {
      discard();
      return true;
    }
  }
  if (errno != EEXIST) {
    error = errno;
    discard();
  }
  return false;
}

error_code output_file::commit_replacing(const std::string& name) {
  error_code error = 0;
  const int at = at_of(where_.get());
  const std::string directory = where_ ? where_->prefix() : std::string{};
  const temporary_registry::creation renaming(temporaries());  // as in commit_new
  if (temporary_name_.empty()) {
    // rename() needs a name to move from, so the anonymous file gets a
    // temporary one, which a process killed right here would leave behind.
    // Keeping that window to two system calls in a row: write errors that
    // only close() reports (NFS, quotas) are collected first by closing a
    // duplicate, since every close flushes, and the descriptor is closed
    // only after the rename.
    const int duplicate = ::dup(fd_of(handle_));
    if (duplicate < 0 || ::close(duplicate) != 0) error = errno;
    if (error == 0) {
      error = link_under_temporary_name(fd_of(handle_), anonymous_link_method(), temporary_name_,
                                        directory, at);
    }
  } else if (is_open() && ::close(fd_of(std::exchange(handle_, invalid_handle))) != 0) {
    error = errno;
  }
  if (error == 0 &&
      ::renameat(at, relative_to(at, temporary_name_, directory), at, name.c_str()) != 0) {
    error = errno;
  }
  if (error == 0 && is_open()) ::close(fd_of(std::exchange(handle_, invalid_handle)));
  if (error == 0) {
    forget_temporary(temporary_name_);
  } else {
    discard();
  }
  return error;
}

// ---- console

namespace {
bool standard_input_closed = false;
}  // namespace

error_code make_standard_descriptors_safe() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    if (fd == STDIN_FILENO) standard_input_closed = true;
    // The lower numbers are open by now, so the null device gets this one.
    if (::open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY) < 0) return errno;
  }
  return 0;
}

bool standard_input_was_closed() { return standard_input_closed; }

void report_write_failures_as_errors() {
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGXFSZ, SIG_IGN);
}

namespace {

// The file an edit in place is writing past its old end, and that end.
std::atomic<int> cut_fd{-1};
std::atomic<off_t> cut_length{0};

// Removes the temporary files in flight, cuts back an edit in place, then
// lets the signal end the process as it would have.
extern "C" void remove_temporaries_and_reraise(int signal_number) {
  const int saved_errno = errno;
  temporaries().unlink_all();
  if (const int fd = cut_fd.load(); fd >= 0) (void)::ftruncate(fd, cut_length.load());
  ::signal(signal_number, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal_number);
  ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
  ::raise(signal_number);
  errno = saved_errno;
}

}  // namespace

void remove_temporary_files_on_signals() {
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction old {};
    ::sigaction(signal_number, nullptr, &old);
    if (old.sa_handler == SIG_IGN) continue;  // nohup and background jobs keep theirs
    struct sigaction action {};
    action.sa_handler = remove_temporaries_and_reraise;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal_number, &action, nullptr);
  }
}

void cut_back_on_signals(const input_file* file, std::uint64_t length) {
  cut_length.store(static_cast<off_t>(length));
  cut_fd.store(file == nullptr ? -1 : fd_of(file->native_handle()));
}

std::size_t max_open_files() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
    return std::size_t{1} << 20U;
  }
  return static_cast<std::size_t>(limit.rlim_cur);
}

std::vector<std::string> program_arguments(int argc, const char* const* argv) {
  return {argv, argv + std::max(argc, 0)};
}

std::string displayed_path(const std::string& path) { return path; }

bool uses_windows_names() { return false; }

namespace {

// Whether entry names are UTF-8 converted from the archive's code page.
std::atomic<bool> entry_names_are_utf8{false};

// Appends the UTF-8 form of `c`.
void append_utf8(char32_t c, std::string& out) {
  const auto byte = [&](std::uint32_t value) { out += static_cast<char>(value); };
  if (c < 0x80) {
    byte(c);
  } else if (c < 0x800) {
    byte(0xC0U | (c >> 6U));
    byte(0x80U | (c & 0x3FU));
  } else if (c < 0x10000) {
    byte(0xE0U | (c >> 12U));
    byte(0x80U | ((c >> 6U) & 0x3FU));
    byte(0x80U | (c & 0x3FU));
  } else {
    byte(0xF0U | (c >> 18U));
    byte(0x80U | ((c >> 12U) & 0x3FU));
    byte(0x80U | ((c >> 6U) & 0x3FU));
    byte(0x80U | (c & 0x3FU));
  }
}

// The character that starts `text` (valid UTF-8), and how many bytes it takes.
char32_t next_utf8(std::string_view text, std::size_t& length) {
  const auto byte = [&](std::size_t i) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(text[i]));
  };
  const std::uint32_t first = byte(0);
  length = first < 0x80 ? 1 : first < 0xE0 ? 2 : first < 0xF0 ? 3 : 4;
  if (length > text.size()) {
    length = 1;
    return first;
  }
  if (length == 1) return first;
  std::uint32_t c = first & (0x7FU >> length);
  for (std::size_t i = 1; i < length; ++i) c = (c << 6U) | (byte(i) & 0x3FU);
  return c;
}

}  // namespace

bool system_case_key(std::string_view name, std::string& key) {
  if (!entry_names_are_utf8) return false;
  // Unicode's upper case, as glibc's tables have it: what Windows folds
  // these characters to once the names are wide there.
  static const locale_t unicode = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
  key.clear();
  for (std::size_t i = 0; i < name.size();) {
    std::size_t length = 0;
    const char32_t c = next_utf8(name.substr(i), length);
    append_utf8(unicode == locale_t{} ? c : static_cast<char32_t>(::towupper_l(c, unicode)), key);
    i += length;
  }
  return true;
}

bool as_entry_name(const std::string& text, std::string& name) {
  name = text;
  return true;
}

// ---- entry names in other code pages

namespace {

// iconv_open's answer when it has no such conversion.
bool failed(iconv_t cd) { return reinterpret_cast<std::intptr_t>(cd) == -1; }

// `in` converted by `cd` into `out`; false on any byte it cannot convert.
// No name grows more than eightfold in any charset iconv knows.
bool convert(iconv_t cd, std::string_view in, std::string& out) {
  ::iconv(cd, nullptr, nullptr, nullptr, nullptr);  // the initial shift state
  out.assign(in.size() * 8 + 16, '\0');
  // iconv's prototype takes the input as char** though it does not write it.
  char* from = const_cast<char*>(in.data());
  std::size_t from_left = in.size();
  char* to = out.data();
  std::size_t to_left = out.size();
  if (::iconv(cd, &from, &from_left, &to, &to_left) == static_cast<std::size_t>(-1) ||
      ::iconv(cd, nullptr, nullptr, &to, &to_left) == static_cast<std::size_t>(-1)) {
    return false;
  }
  out.resize(out.size() - to_left);
  return true;
}

}  // namespace

struct name_converter::state {
  iconv_t to_text = nullptr;
  iconv_t to_code_page = nullptr;

  state() = default;
  state(const state&) = delete;
  state& operator=(const state&) = delete;
  ~state() {
    for (const iconv_t cd : {to_text, to_code_page}) {
      if (cd != nullptr) ::iconv_close(cd);
    }
  }
};

name_converter::name_converter(std::string charset, std::unique_ptr<state> converter)
    : charset_(std::move(charset)), state_(std::move(converter)) {}
name_converter::name_converter(name_converter&& other) noexcept = default;
name_converter& name_converter::operator=(name_converter&& other) noexcept = default;
name_converter::~name_converter() = default;

std::optional<name_converter> name_converter::open(const std::string& charset,
                                                   std::string& problem) {
  auto converter = std::make_unique<state>();
  // A code page by its number, as Windows names them: 932 is iconv's CP932.
  const bool number =
      !charset.empty() && charset.size() <= 5 &&
      std::all_of(charset.begin(), charset.end(), [](char c) { return c >= '0' && c <= '9'; });
  const std::string iconv_name = number ? "CP" + charset : charset;
  const iconv_t to_text = ::iconv_open("UTF-8", iconv_name.c_str());
  if (failed(to_text)) {
    problem = charset.empty() ? "no charset given" : "the system knows no charset of that name";
    return std::nullopt;
  }
  converter->to_text = to_text;
  const iconv_t to_code_page = ::iconv_open(iconv_name.c_str(), "UTF-8");
  if (failed(to_code_page)) {
    problem = "the system cannot convert names into it";
    return std::nullopt;
  }
  converter->to_code_page = to_code_page;
  return name_converter(charset, std::move(converter));
}

bool name_converter::to_text(std::string_view bytes, std::string& text) const {
  return convert(state_->to_text, bytes, text);
}

bool name_converter::to_code_page(std::string_view text, std::string& bytes) const {
  return convert(state_->to_code_page, text, bytes);
}

void use_utf8_entry_names() { entry_names_are_utf8 = true; }

void binary_standard_output() {}

bool stdout_is_terminal() { return ::isatty(STDOUT_FILENO) == 1; }
bool stderr_is_terminal() { return ::isatty(STDERR_FILENO) == 1; }

std::size_t terminal_columns() {
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

namespace {

// The terminal's mode before the wait, and the single-key mode of the wait.
termios saved_terminal_mode{};
termios single_key_mode{};

// Signals whose default action ends the process (SIGKILL aside, which no
// one can catch). Each must put the terminal back first.
std::vector<int> ending_signals() {
  std::vector<int> signals = {SIGHUP,  SIGINT,  SIGQUIT,   SIGILL,  SIGTRAP, SIGABRT, SIGBUS,
                              SIGFPE,  SIGUSR1, SIGSEGV,   SIGUSR2, SIGPIPE, SIGALRM, SIGTERM,
                              SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO,   SIGSYS};
#ifdef SIGSTKFLT
  signals.push_back(SIGSTKFLT);
#endif
#ifdef SIGPWR
  signals.push_back(SIGPWR);
#endif
  for (int s = SIGRTMIN; s <= SIGRTMAX; ++s) signals.push_back(s);
  return signals;
}

void set_handler(int signal_number, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  ::sigaction(signal_number, &action, nullptr);
}

void unblock(int signal_number) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal_number);
  ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

// Puts the terminal back, then lets the signal do what it would have done.
extern "C" void restore_terminal_and_reraise(int signal_number) {
  const int saved_errno = errno;
  ::tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal_mode);
  set_handler(signal_number, SIG_DFL);
  unblock(signal_number);
  ::raise(signal_number);
  errno = saved_errno;
}

// Ctrl-Z: the shell gets its terminal back as it was; once continued (fg),
// the wait takes up single keys again.
extern "C" void suspend_with_terminal_restored(int signal_number) {
  const int saved_errno = errno;
  ::tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal_mode);
  set_handler(signal_number, SIG_DFL);
  unblock(signal_number);
  ::raise(signal_number);  // stops here until SIGCONT
  set_handler(signal_number, suspend_with_terminal_restored);
  ::tcsetattr(STDIN_FILENO, TCSANOW, &single_key_mode);
  errno = saved_errno;
}

// Continued after a stop that was not ours to see (SIGSTOP, or SIGTSTP
// while the handler above was not installed).
extern "C" void resume_single_key_mode(int /*signal_number*/) {
  const int saved_errno = errno;
  ::tcsetattr(STDIN_FILENO, TCSANOW, &single_key_mode);
  errno = saved_errno;
}

// Reads one byte, or returns at the end of input or on an error.
void read_one_byte() {
  char key = 0;
  while (::read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {
  }
}

}  // namespace

void wait_for_key() {
  std::fputs("Press any key to continue . . . ", stdout);
  std::fflush(stdout);

  if (::isatty(STDIN_FILENO) != 1 || ::tcgetattr(STDIN_FILENO, &saved_terminal_mode) != 0) {
    // Not a terminal: one byte, or end of input, ends the wait.
    read_one_byte();
    std::fputs("\n", stdout);
    return;
  }

  // Signals that were ignored when the program started (nohup, a shell's
  // background job) stay ignored.
  std::vector<std::pair<int, struct sigaction>> previous;
  const auto take_over = [&](int signal_number, void (*handler)(int)) {
    struct sigaction old {};
    ::sigaction(signal_number, nullptr, &old);
    if (old.sa_handler == SIG_IGN) return;
    previous.emplace_back(signal_number, old);
    set_handler(signal_number, handler);
  };
  for (const int s : ending_signals()) take_over(s, restore_terminal_and_reraise);
  take_over(SIGTSTP, suspend_with_terminal_restored);
  take_over(SIGCONT, resume_single_key_mode);

  single_key_mode = saved_terminal_mode;
  single_key_mode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  single_key_mode.c_cc[VMIN] = 1;
  single_key_mode.c_cc[VTIME] = 0;
  ::tcsetattr(STDIN_FILENO, TCSANOW, &single_key_mode);
  read_one_byte();
  ::tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal_mode);

  for (const auto& [signal_number, action] : previous) ::sigaction(signal_number, &action, nullptr);
  std::fputs("\n", stdout);
  std::fflush(stdout);
}

// ---- For writing archives and for the qvx command

bool is_symbolic_link(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

file_facts examine(const std::string& path, error_code& error) {
  file_facts facts;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    error = errno;
    return facts;
  }
  error = 0;
  facts.kind = S_ISREG(st.st_mode)   ? file_kind::regular
               : S_ISDIR(st.st_mode) ? file_kind::directory
                                     : file_kind::other;
  facts.size = static_cast<std::uint64_t>(st.st_size);
  facts.volume = static_cast<std::uint64_t>(st.st_dev);
  facts.file_id = static_cast<std::uint64_t>(st.st_ino);
  facts.modified = static_cast<std::uint64_t>(st.st_mtim.tv_sec) * 1000000000U +
                   static_cast<std::uint64_t>(st.st_mtim.tv_nsec);
  return facts;
}

namespace {

// The directory part of `path`, with its final slash ("" for a bare name).
std::string directory_part(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string{} : path.substr(0, slash + 1);
}

}  // namespace

// ---- edit_lock

edit_lock::edit_lock(edit_lock&& other) noexcept
    : handle_(std::exchange(other.handle_, invalid_handle)) {}

edit_lock& edit_lock::operator=(edit_lock&& other) noexcept {
  if (this != &other) {
    release();
    handle_ = std::exchange(other.handle_, invalid_handle);
  }
  return *this;
}

edit_lock::~edit_lock() { release(); }

void edit_lock::release() {
  // Closing the descriptor gives up the lock.
  if (handle_ != invalid_handle) ::close(fd_of(std::exchange(handle_, invalid_handle)));
}

edit_lock edit_lock::acquire(const std::string& path, file_facts& locked, error_code& error) {
  edit_lock lock;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    error = errno;
    return lock;
  }
  lock.handle_ = fd;
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      error = errno;
      return edit_lock{};
    }
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    error = errno;
    return edit_lock{};
  }
  locked.kind = S_ISREG(st.st_mode) ? file_kind::regular : file_kind::other;
  locked.size = static_cast<std::uint64_t>(st.st_size);
  locked.volume = static_cast<std::uint64_t>(st.st_dev);
  locked.file_id = static_cast<std::uint64_t>(st.st_ino);
  error = 0;
  return lock;
}

error_code input_file::write_at(std::uint64_t offset, std::span<const std::byte> data) {
  return write_fully_at(fd_of(handle_), data, offset);
}

io_result input_file::copy_to(std::uint64_t offset, const input_file& source,
                              std::uint64_t source_offset, std::uint64_t length) {
  return copy_range(fd_of(source.handle_), source_offset, length, fd_of(handle_), offset);
}

error_code input_file::sync_data() { return ::fdatasync(fd_of(handle_)) == 0 ? 0 : errno; }

error_code input_file::truncate(std::uint64_t length) {
  return ::ftruncate(fd_of(handle_), static_cast<off_t>(length)) == 0 ? 0 : errno;
}

void replacement_file::discard() {
  if (is_open()) ::close(fd_of(std::exchange(handle_, invalid_handle)));
  if (!temporary_name_.empty()) ::unlink(temporary_name_.c_str());
  forget_temporary(temporary_name_);
}

replacement_file replacement_file::create(const std::string& path, error_code& error) {
  replacement_file file;
  file.path_ = path;
  const std::string directory = directory_part(path);
  error = 0;
  if (anonymous_link_method(directory) != link_method::none) {
    const std::string where = directory.empty() ? "." : directory;
    const int fd = ::open(where.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd >= 0) file.handle_ = fd;
    // Else that file system may not have anonymous files: fall back to a name.
  }
  if (!file.is_open()) {
    std::string name;
    const int fd = open_named_temporary(directory, name);
    if (fd < 0) {
      error = errno;
      return file;
    }
    file.handle_ = fd;
    file.temporary_name_ = std::move(name);
  }
  // An edited archive keeps who may read and write it; the set-id bits are
  // not carried over to a file this process wrote.
  struct stat old {};
  if (::stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
    // The owner too where this process may give it (as root), else at
    // least the group; failing both, the file is the writer's own, as any
    // file it creates.
    const int fd = fd_of(file.handle_);
    if (::fchown(fd, old.st_uid, old.st_gid) != 0)
      (void)::fchown(fd, static_cast<uid_t>(-1), old.st_gid);
    ::fchmod(fd, old.st_mode & 0777U);
  }
  return file;
}

// Writing out is started every so many bytes, so that the disk works while
// the rest is still being copied instead of all of it waiting for the end.
constexpr std::uint64_t writeback_step = std::uint64_t{8} << 20U;

void replacement_file::start_writeback() {
  if (written_ - submitted_ < writeback_step) return;
  ::sync_file_range(fd_of(handle_), static_cast<off_t>(submitted_),
                    static_cast<off_t>(written_ - submitted_), SYNC_FILE_RANGE_WRITE);
  submitted_ = written_;
}

error_code replacement_file::write(std::span<const std::byte> data) {
  const error_code error = write_fully_at(fd_of(handle_), data, written_);
  if (error == 0) written_ += data.size();
  start_writeback();
  return error;
}

io_result replacement_file::copy_from(const input_file& source, std::uint64_t offset,
                                      std::uint64_t length) {
  const io_result result =
      copy_range(fd_of(source.native_handle()), offset, length, fd_of(handle_), written_);
  written_ += result.bytes;
  start_writeback();
  return result;
}

error_code replacement_file::commit() {
  error_code error = 0;
  if (temporary_name_.empty()) {
    // An anonymous file needs a name to be renamed from; it gets one only
    // in the call before the rename, so that a kill leaves almost never a
    // named temporary file.
    error = link_under_temporary_name(fd_of(handle_), anonymous_link_method(), temporary_name_,
                                      directory_part(path_));
  }
  if (error == 0 && ::rename(temporary_name_.c_str(), path_.c_str()) != 0) error = errno;
  if (error != 0) {
    discard();
    return error;
  }
  forget_temporary(temporary_name_);
  if (::close(fd_of(std::exchange(handle_, invalid_handle))) != 0) return errno;
  return 0;
}

namespace {

// Whether `facts` describe the file `expected`, still of its length.
bool unchanged(const file_facts& facts, const file_facts& expected) {
  return facts.same_file(expected) && facts.size == expected.size;
}

}  // namespace

error_code replacement_file::commit_over(input_file& replaced, bool& changed) {
  changed = false;
  const file_facts expected = replaced.facts();
  // ext4 starts writing out a file that is renamed over another, so that a
  // crash soon after leaves the old archive or the new one, never one whose
  // blocks were not yet allocated; it does not do so for an exchange, so
  // the writing is started here, while the file has no name: a process
  // killed during it leaves nothing behind. The name comes in the call
  // just before the exchange.
  ::sync_file_range(fd_of(handle_), 0, 0, SYNC_FILE_RANGE_WRITE);
  error_code error = 0;
  if (temporary_name_.empty()) {
    error = link_under_temporary_name(fd_of(handle_), anonymous_link_method(), temporary_name_,
                                      directory_part(path_));
  }
  if (error != 0) {
    discard();
    return error;
  }
  // The old archive, and with it the lock that keeps other editors out,
  // closes only once the new one is in its place.
  const auto finish = [&](error_code result) {
    replaced = input_file{};
    if (is_open() && ::close(fd_of(std::exchange(handle_, invalid_handle))) != 0 && result == 0) {
      result = errno;
    }
    return result;
  };
  if (::renameat2(AT_FDCWD, temporary_name_.c_str(), AT_FDCWD, path_.c_str(), RENAME_EXCHANGE) ==
      0) {
    // The file that came out now has the temporary name: the old archive,
    // unless another program put its own there meanwhile.
    const file_facts out = examine(temporary_name_, error);
    if (error == 0 && unchanged(out, expected)) {
      ::unlink(temporary_name_.c_str());
      forget_temporary(temporary_name_);
      return finish(0);
    }
    // Theirs goes back where it was, and this file is the one removed.
    if (::renameat2(AT_FDCWD, temporary_name_.c_str(), AT_FDCWD, path_.c_str(), RENAME_EXCHANGE) !=
        0) {
      error = errno;
      forget_temporary(temporary_name_);  // theirs now has that name: keep it
      return finish(error);
    }
    changed = true;
    discard();
    return finish(0);
  }
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
    // ENOENT: the archive is gone; another program removed it.
    changed = errno == ENOENT;
    error = changed ? 0 : errno;
    discard();
    return finish(error);
  }
  // No atomic swap on this file system: check, then rename.
  const file_facts now = examine(path_, error);
  if (error != 0 || !unchanged(now, expected)) {
    changed = true;
    discard();
    return finish(0);
  }
  if (::rename(temporary_name_.c_str(), path_.c_str()) != 0) {
    error = errno;
    discard();
    return finish(error);
  }
  forget_temporary(temporary_name_);
  return finish(0);
}

error_code change_directory(const std::string& path) {
  return ::chdir(path.c_str()) == 0 ? 0 : errno;
}

bool may_write(const std::string& path) {
  // access() lets root write whatever the mode says; a file with no write
  // bit for anyone was made read-only on purpose, and root is held to that.
  struct stat st {};
  return ::access(path.c_str(), W_OK) == 0 && ::stat(path.c_str(), &st) == 0 &&
         (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
}

std::string final_target(const std::string& path, error_code& error) {
  error = 0;
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  // realpath resolves every link on the way, and fails on one that leads nowhere.
  std::unique_ptr<char, decltype(&std::free)> resolved{::realpath(path.c_str(), nullptr),
                                                       &std::free};
  if (!resolved) {
    error = errno;
    return {};
  }
  return resolved.get();
}

std::vector<std::string> directory_names(const std::string& path, error_code& error) {
  std::vector<std::string> names;
  const auto close_directory = [](DIR* open) { ::closedir(open); };
  std::unique_ptr<DIR, decltype(close_directory)> directory{::opendir(path.c_str()),
                                                            close_directory};
  if (!directory) {
    error = errno;
    return names;
  }
  errno = 0;
  while (const dirent* entry = ::readdir(directory.get())) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  error = errno;
  return names;
}

std::string joined_path(const std::string& directory, const std::string& name) {
  return directory.empty() || directory.back() == '/' ? directory + name : directory + '/' + name;
}

std::vector<std::string> expanded_argument(const std::string& argument) { return {argument}; }

io_result read_small_file(const std::string& path, std::uint64_t expected,
                          std::vector<std::byte>& out) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return {0, errno};
  const std::size_t start = out.size();
  out.resize(start + expected + 1);
  // Each read asks for a byte more than is still expected. A file of the
  // expected size comes back short by exactly that byte, and one that grew
  // fills it; either way one read usually does, and no fstat is needed.
  // A file that was empty is read once too: /proc files and files that
  // have grown since say so only then.
  io_result result;
  do {
    const ssize_t n = ::pread(fd, out.data() + start + result.bytes, expected + 1 - result.bytes,
                              static_cast<off_t>(result.bytes));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) result.error = errno;
    if (n <= 0) break;
    result.bytes += static_cast<std::uint64_t>(n);
  } while (result.bytes < expected);
  ::close(fd);
  out.resize(start + result.bytes);
  return result;
}

error_code random_bytes(std::span<std::byte> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::getrandom(bytes.data() + done, bytes.size() - done, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != ENOSYS) return errno;
    if (n < 0) break;
    done += static_cast<std::size_t>(n);
  }
  if (done == bytes.size()) return 0;
  // A kernel older than getrandom.
  const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  error_code error = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : EIO;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
  return error;
}

error_code open_in_browser(const std::string& url) {
  posix_spawn_file_actions_t actions;
  if (const int error = posix_spawn_file_actions_init(&actions)) return error;
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::string program = "xdg-open";
  std::string argument = url;
  char* const argv[] = {program.data(), argument.data(), nullptr};
  pid_t pid = 0;
  const int error = posix_spawnp(&pid, "xdg-open", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) return error;
  // xdg-open ends once the browser has the page; it is reaped then, not
  // left a zombie for as long as the server runs.
  std::thread([pid] {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return 0;
}

}  // namespace qvx::platform
