#include "test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace qvx::test {

scratch_dir::scratch_dir() {
  std::string pattern = (fs::temp_directory_path() / "qvxtest-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

scratch_dir::~scratch_dir() {
  std::error_code ignored;
  // A test may have taken write permission away; give it back to clean up.
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(path_, ignored);
}

working_dir::working_dir(const fs::path& dir) : previous_(fs::current_path()) {
  fs::current_path(dir);
}

working_dir::~working_dir() {
  std::error_code ignored;
  fs::current_path(previous_, ignored);
}

void write_file(const fs::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::set<std::string> list_dir(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& item : fs::directory_iterator(dir))
    names.insert(item.path().filename().string());
  return names;
}

void fail_timed_out(const std::vector<std::string>& argv, const run_options& options) {
  // A failure recorded here carries the test's traces (a random test's
  // seed, say), which an exception's report leaves out.
  ADD_FAILURE() << argv[0] << " was killed after " << options.timeout_seconds << " s";
  throw std::runtime_error(argv[0] + " did not end within " +
                           std::to_string(options.timeout_seconds) + " s");
}

run_result run(const std::vector<std::string>& argv, const run_options& options) {
  std::optional<run_result> result = run_within(argv, options);
  if (!result) fail_timed_out(argv, options);
  return *std::move(result);
}

std::optional<run_result> run_within(const std::vector<std::string>& argv,
                                     const run_options& options) {
  const scratch_dir capture;
  const fs::path out_path = capture / "stdout";
  const fs::path err_path = capture / "stderr";

  // A pipe whose reading end is closed before the child starts: every write
  // to it fails, as after `| head` has read its fill and gone.
  int closed_pipe[2] = {-1, -1};
  if (options.stdout_closed) {
    if (::pipe(closed_pipe) != 0) throw std::runtime_error("pipe failed");
    ::close(closed_pipe[0]);
  }

  const pid_t child = ::fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    const int in =
        ::open(options.stdin_path.empty() ? "/dev/null" : options.stdin_path.c_str(), O_RDONLY);
    const fs::path& out_target = options.stdout_path.empty() ? out_path : options.stdout_path;
    const int out = options.stdout_closed
                        ? closed_pipe[1]
                        : ::open(out_target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0) ::_exit(126);
    ::dup2(in, STDIN_FILENO);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(options.merge_stderr ? out : err, STDERR_FILENO);
    for (const int fd : {in, out, err}) {
      if (fd > STDERR_FILENO) ::close(fd);
    }
    if (!options.working_directory.empty() && ::chdir(options.working_directory.c_str()) != 0) {
      ::_exit(126);
    }
    for (const auto& [name, value] : options.environment) ::setenv(name.c_str(), value.c_str(), 1);
    ::umask(022);
    for (int s = 1; s < NSIG; ++s) ::signal(s, SIG_DFL);
    for (const int s : options.ignored_signals) ::signal(s, SIG_IGN);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (options.file_size_limit) {
      const rlimit limit{*options.file_size_limit, *options.file_size_limit};
      if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(126);
    }
    if (options.open_files_limit) {
      const rlimit limit{*options.open_files_limit, *options.open_files_limit};
      if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) ::_exit(126);
    }
    for (int i = 0; i < options.inherited_files; ++i) {
      if (::open("/dev/null", O_RDONLY) < 0) ::_exit(126);
    }
    if (options.user_id) {
      if (::setgid(*options.user_id) != 0 || ::setuid(*options.user_id) != 0) ::_exit(126);
    }
    // Last, so that nothing opened here takes the numbers.
    for (const int fd : options.closed_descriptors) ::close(fd);
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  if (options.stdout_closed) ::close(closed_pipe[1]);

  int status = 0;
  const auto started = std::chrono::steady_clock::now();
  const auto deadline = started + std::chrono::seconds(options.timeout_seconds);
  bool killed = false;
  while (true) {
    const pid_t done = ::waitpid(child, &status, WNOHANG);
    if (done == child) break;
    if (done == 0 && options.while_running) options.while_running(child);
    if (done < 0 && errno != EINTR) throw std::runtime_error("waitpid failed");
    if (options.kill_after_ms && !killed &&
        std::chrono::steady_clock::now() >=
            started + std::chrono::milliseconds(*options.kill_after_ms)) {
      ::kill(child, options.kill_signal);
      killed = true;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      return std::nullopt;
    }
    ::usleep(options.kill_after_ms || options.while_running ? 200 : 2000);
  }
  run_result result;
  result.ended_at = std::chrono::steady_clock::now();
  result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  // A child killed before it opened them has left no files: it wrote nothing.
  const auto captured = [](const fs::path& path) {
    return fs::exists(path) ? read_file(path) : std::string{};
  };
  result.out = options.stdout_path.empty() && !options.stdout_closed ? captured(out_path) : "";
  result.err = captured(err_path);
  return result;
}

bool stop_child(pid_t pid) {
  if (::kill(pid, SIGSTOP) != 0) return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    // The state follows the command name in parentheses: T when stopped,
    // Z once the child has ended and waits to be collected.
    std::ifstream stat_file("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    std::getline(stat_file, stat);
    const std::size_t name_end = stat.rfind(')');
    if (name_end == std::string::npos || name_end + 2 >= stat.size()) return false;
    const char state = stat[name_end + 2];
    if (state == 'T') return true;
    if (state == 'Z' || state == 'X') return false;
    ::usleep(100);
  }
  throw std::runtime_error("the child did not stop within 10 s");
}

}  // namespace qvx::test
