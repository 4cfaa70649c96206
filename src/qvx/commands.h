// The qvx commands, each run with what its command line asked for.
#pragma once

#include <string>
#include <vector>

namespace qvx::cli {

// The process exit status, as in qvxreader.
enum class exit_status : int {
  success = 0,   // the command did all it was asked
  problems = 1,  // it went through, but found problems in the archive or left entries out
  fatal = 2,     // it could not do its work: a bad command line, an unreadable archive, a
                 // refused file; nothing was written
};

struct list_request {
  std::string archive;
  bool json = false;
};

struct check_request {
  std::string archive;
};

struct extract_request {
  std::string archive;
  std::string directory;           // where to unpack; empty for the working directory
  std::vector<std::string> names;  // the entries to unpack; empty for all of them
  bool keep_existing = false;
  bool verbose = false;
};

struct create_request {
  std::string archive;
  std::vector<std::string> files;
};

exit_status run_list(const list_request& request);
exit_status run_check(const check_request& request);
exit_status run_extract(const extract_request& request);
exit_status run_create(const create_request& request);

}  // namespace qvx::cli
