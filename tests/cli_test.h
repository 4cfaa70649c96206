// Running the built programs end to end: natively, or the Windows builds
// under Wine when QVXREADER_COMMAND and QVX_COMMAND name them (see
// tests/CMakeLists.txt).
#pragma once

#include <string>
#include <vector>

#include "archive_builder.h"
#include "test_support.h"

namespace qvx::test {

// True when the programs under test are the Windows builds.
bool testing_windows_build();

// `unix_text` with line ends as the tool under test prints them.
std::string console_text(const std::string& unix_text);

// What the tool prints before anything else.
std::string banner();

// What the wait for a key prints when standard input is empty.
std::string pause_text();

// Greek and CJK letters: none of them is in the ANSI code page the tests run
// Wine with (1252, from the C.UTF-8 locale), so a program that takes its
// path from the 8-bit command line gets question marks instead.
inline const std::string foreign_name = "\u03A9\u03BC\u03AD\u03B3\u03B1 \u65E5\u672C";

// Options for a run whose arguments are UTF-8, as a terminal in a UTF-8
// locale gives them.
inline run_options in_utf8_locale() {
  run_options options;
  options.environment["LC_ALL"] = "C.UTF-8";
  return options;
}

// Runs the tool with `args` in `cwd`.
run_result run_tool(const std::vector<std::string>& args, const fs::path& cwd,
                    run_options options = {});

// Lines of `err` against `expected`; an expected line ending in ": " needs
// only to begin the actual line (what follows is the system's own words).
void expect_lines(const std::string& err, const std::vector<std::string>& expected);

// An archive laid out by hand: `records` in the table, `pieces` of bytes at
// their positions, the name table at `names_at`, zeros elsewhere, and
// `length` bytes in all.
std::string laid_out(const std::vector<builder::entry_layout>& records,
                     const std::vector<std::pair<std::size_t, std::string>>& pieces,
                     std::size_t names_at, std::size_t length);

// The words that start qvx: the built program, or QVX_COMMAND's
// ("wine /path/qvx.exe").
std::vector<std::string> qvx_command();

// Runs qvx with `args` in `cwd`.
run_result run_qvx(const std::vector<std::string>& args, const fs::path& cwd,
                   run_options options = {});

}  // namespace qvx::test
