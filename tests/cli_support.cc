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

run_result run_command(std::vector<std::string> argv, const std::vector<std::string>& args,
                       const fs::path& cwd, run_options options) {
  argv.insert(argv.end(), args.begin(), args.end());
  options.working_directory = cwd;
  return run(argv, options);
}

}  // namespace

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

}  // namespace qvx::test
