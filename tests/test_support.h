// Scratch directories, files and child processes for the tests.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace qvx::test {

namespace fs = std::filesystem;

// A fresh empty directory, removed with everything in it at the end.
class scratch_dir {
 public:
  scratch_dir();
  ~scratch_dir();
  scratch_dir(const scratch_dir&) = delete;
  scratch_dir& operator=(const scratch_dir&) = delete;

  [[nodiscard]] const fs::path& path() const { return path_; }
  fs::path operator/(const fs::path& name) const { return path_ / name; }

 private:
  fs::path path_;
};

// Makes `dir` the working directory for its lifetime.
class working_dir {
 public:
  explicit working_dir(const fs::path& dir);
  ~working_dir();
  working_dir(const working_dir&) = delete;
  working_dir& operator=(const working_dir&) = delete;

 private:
  fs::path previous_;
};

void write_file(const fs::path& path, std::string_view bytes);
std::string read_file(const fs::path& path);

// Names of everything directly inside `dir`.
std::set<std::string> list_dir(const fs::path& dir);

struct run_options {
  fs::path working_directory;
  std::map<std::string, std::string> environment;      // added to the parent's
  std::optional<unsigned long long> file_size_limit;   // RLIMIT_FSIZE
  std::optional<unsigned long long> open_files_limit;  // RLIMIT_NOFILE
  std::optional<unsigned> user_id;                     // run as this user (the parent is root)
  fs::path stdout_path;              // where standard output goes instead of being captured
  bool stdout_closed = false;        // standard output is a pipe that no one reads
  bool merge_stderr = false;         // standard error into the same file as standard output
  int timeout_seconds = 120;         // then the child is killed and the run fails
  fs::path stdin_path;               // standard input; /dev/null when empty
  std::optional<int> kill_after_ms;  // signal the child this long after it starts
  int kill_signal = 9;               // with this signal (SIGKILL unless set)
  std::set<int> ignored_signals;     // left ignored in the child, as nohup leaves SIGHUP
  int inherited_files = 0;           // descriptors the child finds open, as a parent may leave them
  std::set<int> closed_descriptors;  // of 0, 1 and 2: closed in the child, as `<&-` and `>&-` do
  // Called again and again while the child runs, with its process id.
  std::function<void(pid_t)> while_running;
};

struct run_result {
  int exit_status = -1;  // -1 when the child did not exit normally
  int signal = 0;        // the signal that ended the child, if one did
  std::string out;
  std::string err;
  std::chrono::steady_clock::time_point ended_at;  // when the child was seen to end
};

// Runs `argv` with standard input from /dev/null and every signal at its
// default disposition, as a shell starts a program, and waits for it.
// Nothing when it runs past the timeout: it is then killed.
std::optional<run_result> run_within(const std::vector<std::string>& argv,
                                     const run_options& options);

// run_within(), failing the test (with its traces) and throwing when the
// program runs past the timeout.
run_result run(const std::vector<std::string>& argv, const run_options& options);

// Records the failure of a run that went past its timeout, and throws.
[[noreturn]] void fail_timed_out(const std::vector<std::string>& argv, const run_options& options);

// Stops the running child `pid` (SIGSTOP) and waits until it is stopped, so
// that a signal sent now finds it at work; SIGCONT lets it go on. False when
// it has ended instead.
bool stop_child(pid_t pid);

}  // namespace qvx::test
