// The wait for a key on a real terminal: one key press ends it without Enter,
// and the terminal is left as it was found, also when Ctrl-C ends the wait.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>

#include "archive_builder.h"
#include "cli_test.h"

namespace qvx::test {
namespace {

struct terminal_run {
  std::string output;
  int wait_status = 0;
  bool canonical_after = false;  // the terminal's ICANON flag after the run
};

// Runs the tool with an empty archive on a new pseudo-terminal, types `key`
// once the prompt shows, and waits (at most a few seconds) for it to end.
terminal_run run_on_terminal(char key) {
  if (!fs::is_regular_file(QVXREADER_EXE)) {
    throw std::runtime_error(std::string{"program not found at "} + QVXREADER_EXE);
  }
  const scratch_dir dir;
  write_file(dir / "empty.qvx", std::string(2, '\0'));
  const std::string archive = (dir / "empty.qvx").string();

  int master = -1;
  const pid_t child = ::forkpty(&master, nullptr, nullptr, nullptr);
  if (child < 0) throw std::runtime_error("forkpty failed");
  if (child == 0) {
    if (::chdir(dir.path().c_str()) != 0) ::_exit(126);
    ::execl(QVXREADER_EXE, QVXREADER_EXE, archive.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY);

  terminal_run run;
  bool typed = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd ready{master, POLLIN, 0};
    if (::poll(&ready, 1, 100) > 0) {
      char buffer[256];
      const ssize_t n = ::read(master, buffer, sizeof buffer);
      if (n <= 0) break;  // the child has gone and closed the terminal
      run.output.append(buffer, static_cast<std::size_t>(n));
    }
    if (!typed && run.output.find("Press any key to continue . . . ") != std::string::npos) {
      // Give the tool time to switch the terminal before the key arrives.
      ::usleep(200 * 1000);
      if (::write(master, &key, 1) != 1) break;
      typed = true;
    }
    if (typed && ::waitpid(child, &run.wait_status, WNOHANG) == child) {
      termios mode{};
      run.canonical_after = slave >= 0 && ::tcgetattr(slave, &mode) == 0 && (mode.c_lflag & ICANON);
      ::close(slave);
      ::close(master);
      return run;
    }
  }
  ::kill(child, SIGKILL);
  ::waitpid(child, &run.wait_status, 0);
  ::close(slave);
  ::close(master);
  throw std::runtime_error("the tool did not end after a key press; output: " + run.output);
}

TEST(PauseTest, OneKeyWithoutEnterEndsTheWaitAndRestoresTheTerminal) {
  if (testing_windows_build()) GTEST_SKIP() << "the POSIX terminal wait";
  const terminal_run run = run_on_terminal('x');
  EXPECT_TRUE(WIFEXITED(run.wait_status) && WEXITSTATUS(run.wait_status) == 0) << run.output;
  EXPECT_TRUE(run.canonical_after);
  const std::string prompt = "Press any key to continue . . . ";
  EXPECT_EQ(run.output.substr(run.output.find(prompt) + prompt.size()), "\r\n")
      << "the key was echoed, or the line not ended";
}

TEST(PauseTest, CtrlCDuringTheWaitStillRestoresTheTerminal) {
  if (testing_windows_build()) GTEST_SKIP() << "the POSIX terminal wait";
  const terminal_run run = run_on_terminal('\x03');
  EXPECT_TRUE(WIFSIGNALED(run.wait_status) && WTERMSIG(run.wait_status) == SIGINT);
  EXPECT_TRUE(run.canonical_after);
}

}  // namespace
}  // namespace qvx::test
