// The progress line as a user sees it: standard error on a terminal of 30
// columns, standard output elsewhere. Every line drawn fits the terminal, is
// erased again, and leaves the files and standard output as without it.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utmp.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <regex>
#include <string_view>
#include <thread>

#include "archive_builder.h"
#include "cli_test.h"

namespace qvx::test {
namespace {

using namespace std::chrono_literals;

struct terminal_run {
  int exit_status = -1;
  std::string terminal;  // what reached the terminal (standard error)
  std::string out;       // standard output
};

// Runs `argv` in `cwd` with standard error on a new terminal of `columns`
// columns. The work is made to take long enough to be shown, as a loaded
// machine might stall it: the program runs 10 ms, is stopped for a little
// over the progress line's quiet second, runs 10 ms again, and so on, until
// the terminal shows something `enough` takes (or `stalls` times).
//
// How fast the program starts and how fast the system copies then do not
// matter. The entries are copied through named temporary files and a
// buffer (portable mode): each buffer counts, so a line comes while most of
// the work is still ahead. A copy in the kernel counts a whole entry at
// once: on a busy machine every line could then come after the last count.
terminal_run run_on_terminal(
    const std::vector<std::string>& argv, const fs::path& cwd, unsigned short columns,
    int stalls = 20,
    const std::function<bool(const std::string&)>& enough = [](const std::string&) {
      return true;
    }) {
  const fs::path out_path = cwd / ".stdout";
  winsize size{};
  size.ws_row = 24;
  size.ws_col = columns;
  std::vector<std::string> environment = {"QVXREADER_PORTABLE_IO=1"};
  for (char** variable = environ; *variable != nullptr; ++variable) {
    if (!std::string_view{*variable}.starts_with("QVXREADER_PORTABLE_IO=")) {
      environment.emplace_back(*variable);
    }
  }
  std::vector<char*> envp;
  envp.reserve(environment.size() + 1);
  for (std::string& variable : environment) envp.push_back(variable.data());
  envp.push_back(nullptr);
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  terminal_run run;
  std::atomic<bool> shown{false};
  std::atomic<bool> ended{false};
  // The child, once forked; -1 when it could not be.
  std::atomic<pid_t> started{0};
  // The child waits for a byte on `go` before it starts the program, and
  // the staller writes it once it runs itself: under load this thread was
  // first scheduled some 100 ms after fork, by when the child had done all
  // the work unseen.
  int go[2] = {-1, -1};
  // Until `enough` was seen, the child runs only in short slices, each after
  // a pause longer than a progress line's quiet second: once the work has
  // begun a line is due at every slice, and however loaded the machine, the
  // work is drawn while it is partly done. Waiting for the work's first file
  // instead missed it when this thread was not scheduled until the work was
  // over.
  std::thread staller([&] {
    // A slice that ends late lets the whole work run in it, unseen: this
    // thread runs ahead of every ordinary one, where the system allows it
    // (as root). It is what lets the child start, so that the first slice
    // is timed from the child's start.
    sched_param realtime{};
    realtime.sched_priority = 1;
    ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &realtime);
    started.wait(0);
    const pid_t child = started;
    if (child < 0) return;
    // Should the byte not go, the child ends with 125, which the tests see.
    const char byte = 1;
    [[maybe_unused]] const ssize_t told = ::write(go[1], &byte, 1);
    ::close(go[1]);
    for (int stall = 0; stall < stalls && !shown && !ended; ++stall) {
      std::this_thread::sleep_for(10ms);
      if (shown || ended || ::kill(child, SIGSTOP) != 0) return;
      // Each pause outlasts the line's quiet second, which may have begun
      // in any slice.
      std::this_thread::sleep_for(1100ms);
      ::kill(child, SIGCONT);
    }
  });
  // This side keeps the terminal open: once its last program closes it, a
  // read may fail before what that program wrote last has come through,
  // and under load the last lines were lost so.
  int master = -1;
  int terminal = -1;
  const pid_t child =
      ::openpty(&master, &terminal, nullptr, nullptr, &size) != 0 || ::pipe2(go, O_CLOEXEC) != 0
          ? -1
          : ::fork();
  if (child < 0) {
    started = -1;
    started.notify_one();
    staller.join();
    for (const int fd : {master, terminal, go[0], go[1]}) {
      if (fd >= 0) ::close(fd);
    }
    throw std::runtime_error("openpty, pipe or fork failed");
  }
  if (child == 0) {
    ::close(master);
    ::close(go[1]);
    char byte = 0;
    ssize_t got = -1;
    do {
      got = ::read(go[0], &byte, 1);
    } while (got < 0 && errno == EINTR);
    if (got != 1) ::_exit(125);
    const int in = ::open("/dev/null", O_RDONLY);
    const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (::login_tty(terminal) != 0 || in < 0 || out < 0 || ::chdir(cwd.c_str()) != 0) {
      ::_exit(126);
    }
    ::dup2(in, STDIN_FILENO);
    ::dup2(out, STDOUT_FILENO);
    for (int s = 1; s < NSIG; ++s) ::signal(s, SIG_DFL);
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  ::close(go[0]);
  started = child;
  started.notify_one();
  char buffer[4096];
  // Whether something was read.
  const auto read_some = [&](int timeout_ms) {
    pollfd ready{master, POLLIN, 0};
    if (::poll(&ready, 1, timeout_ms) <= 0) return false;
    const ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n <= 0) return false;
    run.terminal.append(buffer, static_cast<std::size_t>(n));
    return true;
  };
  // Reads while the child runs; it is collected only once the staller has
  // stopped, which must not signal a process id that is free again.
  const auto deadline = std::chrono::steady_clock::now() + 120s;
  while (std::chrono::steady_clock::now() < deadline) {
    if (read_some(50) && enough(run.terminal)) shown = true;
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == child) {
      break;
    }
  }
  ended = true;
  staller.join();
  int status = 0;
  if (::waitpid(child, &status, WNOHANG) != child) {
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
  }
  // What the child wrote comes through before what is written after it.
  const std::string end_mark = "[end of the run]";
  if (::write(terminal, end_mark.data(), end_mark.size()) ==
      static_cast<ssize_t>(end_mark.size())) {
    for (int wait = 0; wait < 200 && !run.terminal.ends_with(end_mark); ++wait) read_some(50);
  }
  if (run.terminal.ends_with(end_mark)) run.terminal.resize(run.terminal.size() - end_mark.size());
  ::close(terminal);
  ::close(master);
  run.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = read_file(out_path);
  fs::remove(out_path);
  return run;
}

// Checks what a terminal of `columns` got: progress lines, each drawn from
// column 0 and narrower than the terminal, the last one erased.
void expect_progress_that_fits(const std::string& terminal, std::size_t columns,
                               const std::string& shown) {
  ASSERT_NE(terminal.find(shown), std::string::npos) << "no progress shown: " << terminal;
  std::size_t start = 0;
  while (start < terminal.size()) {
    std::size_t end = terminal.find('\r', start);
    if (end == std::string::npos) end = terminal.size();
    EXPECT_LT(end - start, columns) << terminal.substr(start, end - start);
    EXPECT_EQ(terminal.substr(start, end - start).find('\n'), std::string::npos);
    start = end + 1;
  }
  EXPECT_EQ(terminal.back(), '\r') << "the last line was not erased";
}

class TerminalProgressTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (testing_windows_build()) GTEST_SKIP() << "a POSIX terminal";
    for (int i = 0; i < 4; ++i) {
      entries_.push_back({"big-entry-" + std::to_string(i),
                          std::string(std::size_t{32} << 20U, static_cast<char>('a' + i))});
    }
    entries_.push_back({"small", "bytes"});
    write_file(place_ / "in.qvx", builder::build_archive(entries_));
  }

  void expect_entries_written() {
    for (const builder::entry_content& entry : entries_) {
      EXPECT_TRUE(read_file(work_ / entry.name) == entry.data) << entry.name;
    }
  }

  std::vector<builder::entry_content> entries_;
  scratch_dir place_;
  scratch_dir work_;
};

TEST_F(TerminalProgressTest, QvxreaderShowsLongEntriesWithinTheTerminalAndWritesEveryByte) {
  const terminal_run run =
      run_on_terminal({QVXREADER_EXE, (place_ / "in.qvx").string()}, work_.path(), 30);
  EXPECT_EQ(run.exit_status, 0) << run.terminal;
  expect_progress_that_fits(run.terminal, 30, "big-entry-");
  expect_entries_written();
  EXPECT_NE(run.out.find("File has 5 Entries"), std::string::npos);
}

TEST_F(TerminalProgressTest, QvxShowsItsCountOnTheTerminalAndNothingOnStandardOutput) {
  const terminal_run run =
      run_on_terminal({QVX_EXE, "extract", (place_ / "in.qvx").string()}, work_.path(), 30);
  EXPECT_EQ(run.exit_status, 0) << run.terminal;
  expect_progress_that_fits(run.terminal, 30, "qvx: ");
  expect_entries_written();
  EXPECT_EQ(run.out, "");
}

// One long entry: qvx counts the bytes inside it, and at every width each
// line drawn holds whole fields only, the widest that fit.
TEST_F(TerminalProgressTest, QvxCountsInsideALongEntryAndDropsWholeFieldsToFit) {
  write_file(place_ / "one.qvx", builder::build_archive(std::vector<builder::entry_content>{
                                     {"long", std::string(std::size_t{96} << 20U, 'L')}}));
  const std::regex whole_fields(
      R"(qvx: (extract: )?((1|0) of 1 entry, )?\d+\.\d+ [MG]iB of 96\.0 MiB( \(\d{1,3}%\))?)"
      R"(|qvx: (extract: )?\d{1,3}%)");
  for (const unsigned short columns : {20, 40, 80}) {
    SCOPED_TRACE(columns);
    // Stalled until a line shows part of the entry copied.
    const std::regex partly(R"(([1-9]\d*\.\d|0\.[1-9]) MiB of 96|[^0-9][1-9]\d?%)");
    const terminal_run run = run_on_terminal(
        {QVX_EXE, "extract", (place_ / "one.qvx").string()}, work_.path(), columns, 20,
        [&](const std::string& shown) { return std::regex_search(shown, partly); });
    EXPECT_EQ(run.exit_status, 0) << run.terminal;
    expect_progress_that_fits(run.terminal, columns, "qvx: ");
    bool inside = false;
    std::size_t start = 0;
    while (start < run.terminal.size()) {
      std::size_t end = run.terminal.find('\r', start);
      if (end == std::string::npos) end = run.terminal.size();
      std::string line = run.terminal.substr(start, end - start);
      line.erase(line.find_last_not_of(' ') + 1);
      if (!line.empty()) {
        EXPECT_TRUE(std::regex_match(line, whole_fields)) << line;
        inside = inside || std::regex_search(line, partly);
      }
      start = end + 1;
    }
    EXPECT_TRUE(inside) << run.terminal;
    EXPECT_EQ(read_file(work_ / "long").size(), std::size_t{96} << 20U);
    fs::remove(work_ / "long");
  }
}

// One long file: create counts the bytes inside it while it copies them,
// instead of only once the whole file is in.
TEST(TerminalCreateProgress, CountsInsideALongFile) {
  if (testing_windows_build()) GTEST_SKIP() << "a POSIX terminal";
  const scratch_dir place;
  const scratch_dir work;
  const fs::path file = place / "long";
  { std::ofstream{file}; }
  fs::resize_file(file, std::uintmax_t{128} << 20U);  // a hole: cheap to make, read as zeros
  // Stalled until a line shows more than nothing and less than all of it.
  const std::regex count(R"((\d+\.\d) MiB of 128\.0 MiB)");
  const auto partly = [&](const std::string& shown) {
    for (std::sregex_iterator it(shown.begin(), shown.end(), count), end; it != end; ++it) {
      const double mib = std::stod((*it)[1].str());
      if (mib > 0 && mib < 128) return true;
    }
    return false;
  };
  const terminal_run run = run_on_terminal(
      {QVX_EXE, "create", (work / "out.qvx").string(), file.string()}, work.path(), 80, 20, partly);
  EXPECT_EQ(run.exit_status, 0) << run.terminal;
  expect_progress_that_fits(run.terminal, 80, "qvx: create: ");
  EXPECT_TRUE(partly(run.terminal)) << run.terminal;
}

TEST_F(TerminalProgressTest, ATerminalUnderTwentyColumnsShowsNothing) {
  const terminal_run run =
      run_on_terminal({QVX_EXE, "extract", (place_ / "in.qvx").string()}, work_.path(), 19, 3);
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.terminal, "");
  expect_entries_written();
}

}  // namespace
}  // namespace qvx::test
