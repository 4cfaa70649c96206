#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <utility>

#include "cli_test.h"

namespace qvx::test {

namespace {

// The command that runs a program: the built executable, or the words of
// the variable `override` ("wine /path/qvxreader.exe").
std::vector<std::string> command_words(const char* override, const char* built) {
  std::vector<std::string> words;
  if (const char* command = std::getenv(override)) {
    std::istringstream in{command};
    for (std::string word; in >> word;) words.push_back(word);
  }
  if (words.empty()) words.emplace_back(built);
  return words;
}

// Where execvp would find `word`, or an empty path.
fs::path find_program(const std::string& word) {
  if (word.find('/') != std::string::npos) return fs::is_regular_file(word) ? word : "";
  const char* search = std::getenv("PATH");
  std::istringstream dirs{search != nullptr ? search : ""};
  for (std::string dir; std::getline(dirs, dir, ':');) {
    fs::path candidate = fs::path{dir.empty() ? "." : dir} / word;
    if (fs::is_regular_file(candidate)) return candidate;
  }
  return "";
}

// Why the command cannot run, or an empty string. A program that is not
// there would otherwise show only as exit status 127 and no output.
std::string missing_program(const std::vector<std::string>& command) {
  for (const std::string& word : command) {
    if (!find_program(word).empty()) continue;
    if (word.find('/') != std::string::npos) return "program not found at " + word;
    return "program not found in any directory of PATH: " + word;
  }
  return "";
}

run_result run_command(std::vector<std::string> argv, const std::vector<std::string>& args,
                       const fs::path& cwd, run_options options) {
  if (const std::string problem = missing_program(argv); !problem.empty()) {
    ADD_FAILURE() << problem;
    run_result missing;
    missing.exit_status = 127;
    missing.err = problem;
    return missing;
  }
  const std::string program = argv.back();
  argv.insert(argv.end(), args.begin(), args.end());
  options.working_directory = cwd;
  // Wine now and then fails to start a program: exit status 1 and not a
  // byte of output. Neither program ever ends that way (a banner, a usage
  // or a diagnostic always comes first). Rarer, Wine never ends a run that
  // takes a fraction of a second every other time. Under Wine such a run is
  // started again, at most twice, and every retry is logged.
  std::optional<run_result> result = run_within(argv, options);
  for (int retry = 1; retry <= 2 && testing_windows_build(); ++retry) {
    if (!result) {
      std::fprintf(stderr, "Wine did not end %s within %d s; retry %d\n", program.c_str(),
                   options.timeout_seconds, retry);
    } else if (result->exit_status == 1 && result->out.empty() && result->err.empty()) {
      std::fprintf(stderr, "Wine did not start %s (exit status 1, no output); retry %d\n",
                   program.c_str(), retry);
    } else {
      break;
    }
    result = run_within(argv, options);
  }
  if (!result) fail_timed_out(argv, options);
  return *std::move(result);
}

}  // namespace

std::vector<std::string> qvx_command() { return command_words("QVX_COMMAND", QVX_EXE); }

bool testing_windows_build() {
  const char* target = std::getenv("QVXREADER_TARGET");
  return target != nullptr && std::string{target} == "windows";
}

std::string console_text(const std::string& unix_text) {
  if (!testing_windows_build()) return unix_text;
  std::string text;
  for (const char c : unix_text) {
    if (c == '\n') text += '\r';
    text += c;
  }
  return text;
}

std::string banner() {
  return console_text(
      "Marvosk\nHomepage: https://qvxreader.example.org/\nQuorvane - QVX Viewer v1.1\n\n");
}

std::string pause_text() {
  // The Windows build leaves the prompt to the command interpreter's "pause";
  // these are the words of the one Wine ships, which the tests run under.
  if (testing_windows_build()) return "Press any key to continue... ";
  return "Press any key to continue . . . \n";
}

run_result run_tool(const std::vector<std::string>& args, const fs::path& cwd,
                    run_options options) {
  return run_command(command_words("QVXREADER_COMMAND", QVXREADER_EXE), args, cwd,
                     std::move(options));
}

run_result run_qvx(const std::vector<std::string>& args, const fs::path& cwd, run_options options) {
  return run_command(command_words("QVX_COMMAND", QVX_EXE), args, cwd, std::move(options));
}

void expect_lines(const std::string& err, const std::vector<std::string>& expected) {
  std::istringstream in{err};
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  ASSERT_EQ(lines.size(), expected.size()) << err;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (expected[i].ends_with(": ")) {
      EXPECT_TRUE(lines[i].starts_with(expected[i])) << lines[i];
    } else {
      EXPECT_EQ(lines[i], expected[i]);
    }
  }
}

std::string laid_out(const std::vector<builder::entry_layout>& records,
                     const std::vector<std::pair<std::size_t, std::string>>& pieces,
                     std::size_t names_at, std::size_t length) {
  std::string bytes(length, '\0');
  const auto put = [&](std::size_t at, const std::string& piece) {
    EXPECT_LE(at + piece.size(), length);
    bytes.replace(at, piece.size(), piece);
  };
  put(0, builder::encode_head(records));
  for (const auto& [at, piece] : pieces) put(at, piece);
  put(names_at, builder::encode_names(records));
  return bytes;
}

}  // namespace qvx::test
