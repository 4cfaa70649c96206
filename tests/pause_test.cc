// The wait for a key on a real terminal: one key press ends it without Enter,
// and the terminal is left as it was found when a signal ends the wait, and
// while Ctrl-Z has the tool stopped.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <thread>

#include "cli_test.h"

namespace qvx::test {
namespace {

using namespace std::chrono_literals;

const std::string prompt = "Press any key to continue . . . ";

// The tool as the foreground job of a shell on a new pseudo-terminal, with an
// empty archive so that it goes straight to the wait. The "shell" is a
// process of this test that puts the tool in a process group of its own, as
// job control does: only then do Ctrl-Z and the stop signals take effect.
class terminal_job {
 public:
  terminal_job() {
    if (!fs::is_regular_file(QVXREADER_EXE)) {
      throw std::runtime_error(std::string{"program not found at "} + QVXREADER_EXE);
    }
    write_file(dir_ / "empty.qvx", std::string(2, '\0'));
    shell_ = ::forkpty(&master_, nullptr, nullptr, nullptr);
    if (shell_ < 0) throw std::runtime_error("forkpty failed");
    if (shell_ == 0) run_shell();
  }

  ~terminal_job() {
    if (shell_ > 0 && !finished_) {
      if (tool_ > 0) ::kill(-tool_, SIGKILL);
      ::kill(shell_, SIGKILL);
      ::waitpid(shell_, nullptr, 0);
    }
    ::close(master_);
  }

  terminal_job(const terminal_job&) = delete;
  terminal_job& operator=(const terminal_job&) = delete;

  // Waits until the tool shows its prompt and has switched the terminal to
  // single keys.
  void wait_for_prompt() {
    wait_until([&] { return output_.find(prompt) != std::string::npos; }, "the prompt");
    tool_ = ::tcgetpgrp(master_);
    wait_until([&] { return !canonical(); }, "single-key mode");
  }

  void type(char key) {
    if (::write(master_, &key, 1) != 1) throw std::runtime_error("cannot type");
  }

  [[nodiscard]] pid_t tool() const { return tool_; }

  // Whether the terminal reads whole lines and echoes them, as a shell
  // expects to find it. The master side answers for the terminal.
  [[nodiscard]] bool canonical() const {
    termios mode{};
    return ::tcgetattr(master_, &mode) == 0 && (mode.c_lflag & ICANON) != 0 &&
           (mode.c_lflag & ECHO) != 0;
  }

  void set_canonical() const {
    termios mode{};
    ::tcgetattr(master_, &mode);
    mode.c_lflag |= ICANON | ECHO;
    ::tcsetattr(master_, TCSANOW, &mode);
  }

  [[nodiscard]] bool tool_stopped() const {
    std::ifstream stat("/proc/" + std::to_string(tool_) + "/stat");
    std::string pid;
    std::string command;
    char state = 0;
    stat >> pid >> command >> state;
    return state == 'T';
  }

  // Keeps reading the terminal until `done` holds; fails after 20 seconds.
  void wait_until(const std::function<bool()>& done, const std::string& what) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) {
        throw std::runtime_error("timed out waiting for " + what + "; output: " + output_);
      }
      read_some(10);
    }
  }

  // Waits for the job to end and reads everything it printed. Returns the
  // tool's exit status, or 128 + the signal that ended it.
  int finish() {
    int status = 0;
    wait_until([&] { return ::waitpid(shell_, &status, WNOHANG) == shell_; }, "the end");
    finished_ = true;
    canonical_at_end_ = canonical();
    // The last bytes may still be in the terminal: read until it reports
    // that no one holds its other side any more.
    while (read_some(1000)) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  [[nodiscard]] bool canonical_at_end() const { return canonical_at_end_; }

  // What came after the prompt.
  [[nodiscard]] std::string after_prompt() const {
    const std::size_t at = output_.find(prompt);
    return at == std::string::npos ? output_ : output_.substr(at + prompt.size());
  }

 private:
  [[noreturn]] void run_shell() {
    const std::string archive = (dir_ / "empty.qvx").string();
    const pid_t tool = ::fork();
    if (tool == 0) {
      ::setpgid(0, 0);
      // Taking the terminal from the background would stop the job.
      ::signal(SIGTTOU, SIG_IGN);
      ::tcsetpgrp(STDIN_FILENO, ::getpid());
      ::signal(SIGTTOU, SIG_DFL);
      if (::chdir(dir_.path().c_str()) != 0) ::_exit(126);
      ::execl(QVXREADER_EXE, QVXREADER_EXE, archive.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    int status = 0;
    while (::waitpid(tool, &status, 0) < 0 && errno == EINTR) {
    }
    ::_exit(WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status));
  }

  // Reads what the terminal has within `milliseconds`; false once the
  // terminal is closed on the other side.
  bool read_some(int milliseconds) {
    pollfd ready{master_, POLLIN, 0};
    if (::poll(&ready, 1, milliseconds) <= 0) return (ready.revents & POLLHUP) == 0;
    char buffer[256];
    const ssize_t n = ::read(master_, buffer, sizeof buffer);
    if (n <= 0) return n < 0 && errno == EINTR;
    output_.append(buffer, static_cast<std::size_t>(n));
    return true;
  }

  scratch_dir dir_;
  int master_ = -1;
  pid_t shell_ = -1;
  pid_t tool_ = -1;
  bool finished_ = false;
  bool canonical_at_end_ = false;
  std::string output_;
};

class PauseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (testing_windows_build()) GTEST_SKIP() << "the POSIX terminal wait";
  }
};

TEST_F(PauseTest, OneKeyWithoutEnterEndsTheWaitAndRestoresTheTerminal) {
  terminal_job job;
  job.wait_for_prompt();
  job.type('x');
  EXPECT_EQ(job.finish(), 0);
  EXPECT_TRUE(job.canonical_at_end());
  EXPECT_EQ(job.after_prompt(), "\r\n") << "the key was echoed, or the line not ended";
}

TEST_F(PauseTest, ASignalThatEndsTheWaitFirstRestoresTheTerminal) {
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGALRM, SIGRTMIN}) {
    SCOPED_TRACE(strsignal(signal_number));
    terminal_job job;
    job.wait_for_prompt();
    if (signal_number == SIGINT) {
      job.type('\x03');  // Ctrl-C, as the terminal sends it
    } else {
      ::kill(job.tool(), signal_number);
    }
    EXPECT_EQ(job.finish(), 128 + signal_number);
    EXPECT_TRUE(job.canonical_at_end());
  }
}

TEST_F(PauseTest, CtrlZGivesTheTerminalBackAndFgResumesTheSingleKeyWait) {
  terminal_job job;
  job.wait_for_prompt();
  job.type('\x1A');  // Ctrl-Z
  job.wait_until([&] { return job.tool_stopped(); }, "the tool to stop");
  EXPECT_TRUE(job.canonical()) << "the stopped tool left the terminal in single-key mode";

  ::kill(-job.tool(), SIGCONT);  // what fg does, after giving the job the terminal
  job.wait_until([&] { return !job.canonical(); }, "single-key mode after fg");
  job.type('y');
  EXPECT_EQ(job.finish(), 0);
  EXPECT_TRUE(job.canonical_at_end());
  EXPECT_EQ(job.after_prompt().find('y'), std::string::npos) << "the key was echoed";
}

TEST_F(PauseTest, ResumedAfterSIGSTOPTheWaitStillTakesSingleKeys) {
  terminal_job job;
  job.wait_for_prompt();
  ::kill(job.tool(), SIGSTOP);
  job.wait_until([&] { return job.tool_stopped(); }, "the tool to stop");
  // A shell that saw the job stop puts its own terminal mode back.
  job.set_canonical();
  ::kill(job.tool(), SIGCONT);
  job.wait_until([&] { return !job.canonical(); }, "single-key mode after SIGCONT");
  job.type('z');
  EXPECT_EQ(job.finish(), 0);
  EXPECT_TRUE(job.canonical_at_end());
}

}  // namespace
}  // namespace qvx::test
