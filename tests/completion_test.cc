// The bash completion for qvx: the function registered for qvx, given a
// line; and an interactive bash on a terminal, where Tab completes entry
// names that no shell may ever run and the completed line, run, picks just
// that entry. Also the rule the completion relies on: an argument that is
// an entry's name picks that entry alone, even where it reads as a pattern.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <functional>
#include <regex>
#include <thread>

#include "archive_builder.h"
#include "cli_test.h"

namespace qvx::test {
namespace {

using namespace std::chrono_literals;

class CompletionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (testing_windows_build()) GTEST_SKIP() << "bash completion is for the POSIX program";
    write_file(work_ / "game.qvx",
               builder::build_archive(std::vector<builder::entry_content>{
                   {"alpha", "1"}, {"alpine", "2"}, {"beta", "3"}, {"with space", "4"}}));
    fs::create_directory(work_ / "outdir");
  }

  // What completing the end of `line` offers, one a line, sorted.
  std::string complete(const std::string& line) {
    const std::string script = "source '" + std::string{QVX_COMPLETION} +
                               "'; complete -p qvx >/dev/null || exit 3; COMP_LINE=$1; "
                               "COMP_POINT=${#1}; read -ra COMP_WORDS <<<\"$1\"; "
                               "[[ $1 == *' ' ]] && COMP_WORDS+=(''); "
                               "COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _qvx; "
                               "printf '%s\\n' \"${COMPREPLY[@]}\" | sort";
    run_options options = in_utf8_locale();
    options.environment["PATH"] = fs::path{QVX_EXE}.parent_path().string() + ":/usr/bin:/bin";
    options.working_directory = work_.path();
    const run_result result = run({"bash", "-c", script, "bash", line}, options);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    return result.out;
  }

  scratch_dir work_;
};

TEST_F(CompletionTest, CommandsOptionsAndTheArchivesEntryNames) {
  EXPECT_EQ(complete("qvx c"), "cat\ncheck\ncreate\n");
  EXPECT_EQ(complete("qvx create --f"), "--files-from\n--force\n");
  EXPECT_EQ(complete("qvx extract -C out"), "outdir/\n");
  EXPECT_EQ(complete("qvx extract -kCout"), "-kCoutdir/\n");
  EXPECT_EQ(complete("qvx extract --directory=out"), "outdir/\n");  // readline keeps the rest
  // Entry names of the archive on the line, after the options and their values.
  EXPECT_EQ(complete("qvx extract -C outdir -k game.qvx al"), "alpha\nalpine\n");
  EXPECT_EQ(complete("qvx extract -kCoutdir game.qvx al"), "alpha\nalpine\n");  // -C has its value
  EXPECT_EQ(complete("qvx delete game.qvx "), "alpha\nalpine\nbeta\nwith\\ space\n");
  EXPECT_EQ(complete("qvx cat game.qvx 'w"), "'with space'\n");
  // Before the archive, and for commands that pack, paths.
  EXPECT_EQ(complete("qvx cat ga"), "game.qvx\n");
  EXPECT_EQ(complete("qvx update game.qvx out"), "outdir/\n");
  EXPECT_EQ(complete("qvx diff game.qvx ga"), "game.qvx\n");  // the second archive too
  EXPECT_EQ(complete("qvx diff --j"), "--json\n");
  EXPECT_EQ(complete("qvx help up"), "update\n");
  // The commands that pick entries; rename's new name and a number are not.
  EXPECT_EQ(complete("qvx r"), "rename\nrepack\n");
  EXPECT_EQ(complete("qvx list --literal game.qvx b"), "beta\n");
  EXPECT_EQ(complete("qvx rename game.qvx al"), "alpha\nalpine\n");
  EXPECT_EQ(complete("qvx rename game.qvx alpha al"), "\n");  // no file either
  EXPECT_EQ(complete("qvx set --tag 1 game.qvx b"), "beta\n");
  EXPECT_EQ(complete("qvx cat --entry "), "\n");
  EXPECT_EQ(complete("qvx set game.qvx --sp"), "--spare\n");
  // After a name, one beginning with - goes as the pattern [-]...; not when
  // an entry has that very name, which would then be picked instead.
  write_file(work_ / "odd.qvx",
             builder::build_archive(std::vector<builder::entry_content>{
                 {"-x", "1"}, {"-y", "2"}, {"[-]x", "3"}, {"back\\slash", "4"}}));
  EXPECT_EQ(complete("qvx delete odd.qvx beta -y"), "\\[-\\]y\n");
  EXPECT_EQ(complete("qvx delete odd.qvx beta -x"), "\n");
  // In double quotes, \\ is one backslash of the name.
  EXPECT_EQ(complete("qvx cat odd.qvx \"back\\\\s"), "\"back\\\\slash\"\n");
  // Only list and extract take --exclude; update's value is no entry's name.
  EXPECT_EQ(complete("qvx update game.qvx --exclude al"), "\n");
}

TEST_F(CompletionTest, EntryNamesComeInTheCharsetOnTheLine) {
  write_file(
      work_ / "sjis.qvx",
      builder::build_archive(std::vector<builder::entry_content>{{"\x95\x5C\x8E\xA6.txt", "1"}}));
  EXPECT_EQ(complete("qvx cat --charset CP932 sjis.qvx "), "\u8868\u793A.txt\n");
  EXPECT_EQ(complete("qvx list --charset CP9"), "CP932\nCP936\nCP949\nCP950\n");
}

// An interactive bash on a new terminal, with nothing of the system's or
// the user's set-up: in `dir`, which is also its HOME, with qvx on its PATH
// and the completion sourced as a user's rc file would source it.
class interactive_bash {
 public:
  explicit interactive_bash(const fs::path& dir) {
    const std::vector<std::string> environment = {
        "PATH=" + fs::path{QVX_EXE}.parent_path().string() + ":/usr/bin:/bin",
        "HOME=" + dir.string(), "LC_ALL=C.UTF-8", "TERM=dumb", "INPUTRC=/dev/null", "HISTFILE=",
        // Each command's end, apart from the prompt that readline redraws.
        "PROMPT_COMMAND=echo \"<status $?>\"", "PS1=ready> ", "PS2=unfinished> "};
    std::vector<char*> env;
    env.reserve(environment.size() + 1);
    for (const std::string& variable : environment)
      env.push_back(const_cast<char*>(variable.c_str()));
    env.push_back(nullptr);
    winsize size{};
    size.ws_row = 50;
    size.ws_col = 200;
    shell_ = ::forkpty(&master_, nullptr, nullptr, &size);
    if (shell_ < 0) throw std::runtime_error("forkpty failed");
    if (shell_ == 0) {
      for (int s = 1; s < NSIG; ++s) ::signal(s, SIG_DFL);
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      if (::chdir(dir.c_str()) != 0) ::_exit(126);
      const char* argv[] = {"bash", "--norc", "--noprofile", "-i", nullptr};
      ::execvpe("bash", const_cast<char**>(argv), env.data());
      ::_exit(127);
    }
    wait_for_prompt(0);
    EXPECT_EQ(run_line("source '" + std::string{QVX_COMPLETION} + "'"), 0) << output_;
  }

  ~interactive_bash() {
    ::close(master_);
    if (!ended_) {
      ::kill(shell_, SIGKILL);
      ::waitpid(shell_, nullptr, 0);
    }
  }

  interactive_bash(const interactive_bash&) = delete;
  interactive_bash& operator=(const interactive_bash&) = delete;

  // Types `keys`, then Enter, and waits for the line to have run; returns
  // its exit status.
  int run_line(const std::string& keys) {
    const std::size_t from = output_.size();
    const std::string typed = keys + "\r";
    if (::write(master_, typed.data(), typed.size()) != static_cast<ssize_t>(typed.size())) {
      throw std::runtime_error("cannot type");
    }
    static const std::regex ended{"<status ([0-9]+)>"};
    int status = -1;
    std::size_t end = 0;
    wait_until([&] {
      const std::string after = output_.substr(from);
      if (after.find("unfinished> ") != std::string::npos) {
        throw std::runtime_error("the line was left unfinished: " + output_);
      }
      std::smatch match;
      if (!std::regex_search(after, match, ended)) return false;
      status = std::stoi(match[1]);
      end = from + static_cast<std::size_t>(match.position(0) + match.length(0));
      return true;
    });
    wait_for_prompt(end);
    return status;
  }

  // Types exit and waits for bash to end; its exit status.
  int exit_shell() {
    const std::string typed = "exit\r";
    if (::write(master_, typed.data(), typed.size()) < 0) throw std::runtime_error("cannot type");
    int status = 0;
    wait_until([&] { return ::waitpid(shell_, &status, WNOHANG) == shell_; });
    ended_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  [[nodiscard]] const std::string& output() const { return output_; }

 private:
  void wait_for_prompt(std::size_t from) {
    wait_until([&] { return output_.find("ready> ", from) != std::string::npos; });
  }

  // Reads the terminal until `done` holds; throws after 30 seconds.
  void wait_until(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) {
        throw std::runtime_error("timed out; the terminal showed: " + output_);
      }
      pollfd ready{master_, POLLIN, 0};
      if (::poll(&ready, 1, 100) <= 0) continue;
      char buffer[4096];
      const ssize_t n = ::read(master_, buffer, sizeof buffer);
      if (n > 0) {
        output_.append(buffer, static_cast<std::size_t>(n));
      } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
        // EIO: bash has gone; waitpid tells the rest.
        std::this_thread::sleep_for(1ms);
      }
    }
  }

  pid_t shell_ = -1;
  int master_ = -1;
  bool ended_ = false;
  std::string output_;
};

struct entry {
  std::string name;
  std::string data;
};

// Names a shell would take apart if they were not quoted, or run.
const std::vector<entry> dangerous = {{"$(touch PWNED)", "substitution\n"},
                                      {"`touch PWNED`", "backticks\n"},
                                      {"it's \"a\" !b", "quotes\n"},
                                      {"*", "star\n"},
                                      {"[x].txt", "brackets\n"},
                                      {"x.txt", "plain\n"},
                                      {"back\\slash", "backslash\n"},
                                      {"-dash", "dash\n"},
                                      {"#;|&<>x", "operators\n"},
                                      {"~tilde", "tilde\n"},
                                      {"alpha", "alpha\n"}};
const entry shift_jis = {"\u8868\u793A.txt", "shift-jis\n"};

enum class outcome {
  unpacked,    // exactly the entries picked are files in the working directory
  unpacked_C,  // ... in dir, from -C dir
  printed,     // the line ends in >out, which holds the entries' bytes
  deleted,     // inj.qvx holds every entry but those picked
};

struct typed_line {
  std::string keys;  // Enter follows
  outcome result;
  std::vector<std::string> picked;  // in table order
};

TEST_F(CompletionTest, TabQuotesEntryNamesThatTheCompletedLinePicksAlone) {
  std::vector<builder::entry_content> contents;
  contents.reserve(std::size(dangerous));
  for (const entry& e : dangerous) contents.push_back({e.name, e.data});
  const std::string injection = builder::build_archive(contents);
  const std::string sjis = builder::build_archive(
      std::vector<builder::entry_content>{{"\x95\x5C\x8E\xA6.txt", shift_jis.data}});
  const std::vector<typed_line> lines = {
      // Listing every name (Tab twice) runs none of them.
      {"qvx extract inj.qvx \t\t\\$\t", outcome::unpacked, {"$(touch PWNED)"}},
      {"qvx extract inj.qvx \\`\t", outcome::unpacked, {"`touch PWNED`"}},
      // Quotes, spaces and a ! typed bare, in single and in double quotes.
      {"qvx extract inj.qvx it\t", outcome::unpacked, {"it's \"a\" !b"}},
      {"qvx cat inj.qvx 'it\t >out", outcome::printed, {"it's \"a\" !b"}},
      {"qvx cat inj.qvx \"it\t >out", outcome::printed, {"it's \"a\" !b"}},
      {"qvx delete inj.qvx *\t", outcome::deleted, {"*"}},
      {"qvx extract inj.qvx [\t", outcome::unpacked, {"[x].txt"}},
      {"qvx cat inj.qvx back\t >out", outcome::printed, {"back\\slash"}},
      {"qvx extract inj.qvx \\#\t", outcome::unpacked, {"#;|&<>x"}},
      {"qvx extract inj.qvx \\~\t", outcome::unpacked, {"~tilde"}},
      // A name beginning with -: after --, which comes before the first name...
      {"qvx extract inj.qvx -d\t", outcome::unpacked, {"-dash"}},
      {"qvx extract -- inj.qvx -d\t", outcome::unpacked, {"-dash"}},
      // ... or, once a name is given, as a pattern of that name alone.
      {"qvx extract inj.qvx al\t-d\t", outcome::unpacked, {"-dash", "alpha"}},
      // The archive word as the shell reads it.
      {"qvx extract 'my a.qvx' \\$\t", outcome::unpacked, {"$(touch PWNED)"}},
      {"qvx extract \"my a.qvx\" [\t", outcome::unpacked, {"[x].txt"}},
      {"qvx cat my\\ a.qvx 'it\t >out", outcome::printed, {"it's \"a\" !b"}},
      {"qvx extract ~/inj.qvx \\`\t", outcome::unpacked, {"`touch PWNED`"}},
      {"qvx extract -kC dir inj.qvx [\t", outcome::unpacked_C, {"[x].txt"}},
      {"qvx cat --charset=CP932 sjis.qvx \u8868\t >out", outcome::printed, {shift_jis.name}},
      {"qvx extract --charset CP932 sjis.qvx \u8868\t", outcome::unpacked, {shift_jis.name}},
      // --exclude takes entry names too, each standing for itself alone.
      {"qvx extract inj.qvx '*.txt' --exclude [\t", outcome::unpacked, {"x.txt"}},
      {"qvx extract inj.qvx --exclude=[\t'*.txt'", outcome::unpacked, {"x.txt"}},
  };
  const auto data_of = [&](const std::string& name) {
    if (name == shift_jis.name) return shift_jis.data;
    for (const entry& e : dangerous) {
      if (e.name == name) return e.data;
    }
    throw std::runtime_error("no entry " + name);
  };
  for (const typed_line& line : lines) {
    SCOPED_TRACE(line.keys);
    const scratch_dir dir;
    write_file(dir / "inj.qvx", injection);
    write_file(dir / "my a.qvx", injection);
    write_file(dir / "sjis.qvx", sjis);
    fs::create_directory(dir / "dir");
    std::set<std::string> expected_here = {"inj.qvx", "my a.qvx", "sjis.qvx", "dir"};
    std::set<std::string> expected_in_dir;
    std::string output;
    {
      interactive_bash bash(dir.path());
      EXPECT_EQ(bash.run_line(line.keys), 0) << bash.output();
      EXPECT_EQ(bash.exit_shell(), 0);
      output = bash.output();
    }
    EXPECT_FALSE(fs::exists(dir / "PWNED")) << "an entry's name was run: " << output;
    switch (line.result) {
      case outcome::unpacked:
      case outcome::unpacked_C:
        for (const std::string& name : line.picked) {
          const fs::path file =
              (line.result == outcome::unpacked ? dir.path() : dir / "dir") / name;
          (line.result == outcome::unpacked ? expected_here : expected_in_dir).insert(name);
          EXPECT_EQ(fs::exists(file) ? read_file(file) : "(missing)", data_of(name)) << name;
        }
        break;
      case outcome::printed: {
        expected_here.insert("out");
        std::string data;
        for (const std::string& name : line.picked) data += data_of(name);
        EXPECT_EQ(read_file(dir / "out"), data) << output;
        break;
      }
      case outcome::deleted: {
        std::string names;
        for (const entry& e : dangerous) {
          if (std::find(line.picked.begin(), line.picked.end(), e.name) == line.picked.end()) {
            names += e.name + "\n";
          }
        }
        EXPECT_EQ(run_qvx({"list", "--names", "inj.qvx"}, dir.path()).out, names);
        break;
      }
    }
    EXPECT_EQ(list_dir(dir.path()), expected_here) << output;
    EXPECT_EQ(list_dir(dir / "dir"), expected_in_dir) << output;
  }
}

// The rule the completion relies on, in each command that picks entries.
TEST(ExactNameTest, AnEntrysNamePicksThatEntryAloneAndOtherArgumentsArePatterns) {
  if (testing_windows_build()) GTEST_SKIP() << "names with * are not files on Windows";
  const std::string archive = builder::build_archive(std::vector<builder::entry_content>{
      {"[x].txt", "brackets\n"}, {"x.txt", "plain\n"}, {"*", "star\n"}, {"a", "a\n"}});
  const std::string all = "[x].txt\nx.txt\n*\na\n";
  struct {
    std::vector<std::string> args;  // on a.qvx, which follows the command
    std::string out;
    std::string left;                // the names a.qvx holds afterwards
    std::set<std::string> unpacked;  // the files written
  } const cases[] = {
      {{"cat", "[x].txt"}, "brackets\n", all, {}},
      {{"cat", "*"}, "star\n", all, {}},
      {{"cat", "[x]*"}, "plain\n", all, {}},
      {{"delete", "*"}, "", "[x].txt\nx.txt\na\n", {}},
      {{"delete", "[x].txt", "?"}, "", "x.txt\n", {}},
      {{"list", "--names", "--exclude", "[x].txt"}, "x.txt\n*\na\n", all, {}},
      {{"list", "--names", "--exclude", "*"}, "[x].txt\nx.txt\na\n", all, {}},
      {{"extract", "*"}, "", all, {"*"}},
      {{"extract", "--exclude", "[x].txt"}, "", all, {"x.txt", "*", "a"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.begin() + 1, "a.qvx");
    std::string line = "qvx";
    for (const std::string& arg : args) line += " " + arg;
    SCOPED_TRACE(line);
    const scratch_dir dir;
    write_file(dir / "a.qvx", archive);
    const run_result result = run_qvx(args, dir.path());
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(run_qvx({"list", "--names", "a.qvx"}, dir.path()).out, c.left);
    std::set<std::string> files = c.unpacked;
    files.insert("a.qvx");
    EXPECT_EQ(list_dir(dir.path()), files);
  }
}

}  // namespace
}  // namespace qvx::test
