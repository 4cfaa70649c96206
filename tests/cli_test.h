// Running the built programs end to end: natively, or the Windows builds
// under Wine when QVXREADER_COMMAND and QVX_COMMAND name them (see
// tests/CMakeLists.txt).
#pragma once

#include <string>
#include <vector>

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

// Runs the tool with `args` in `cwd`.
run_result run_tool(const std::vector<std::string>& args, const fs::path& cwd,
                    run_options options = {});

// Runs qvx with `args` in `cwd`.
run_result run_qvx(const std::vector<std::string>& args, const fs::path& cwd,
                   run_options options = {});

}  // namespace qvx::test
