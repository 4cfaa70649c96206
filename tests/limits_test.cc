// The tool under what a real shell and system do to it: a reader that goes
// away, a file-size limit, few file descriptors, an archive that is a FIFO or
// a device, and read errors. Every signal is at its default disposition, so
// a fault that would kill the tool does.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <map>
#include <optional>
#include <set>
#include <string_view>
#include <utility>

#include "archive_builder.h"
#include "cli_test.h"

namespace qvx::test {
namespace {

using builder::entry_content;

class LimitsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (testing_windows_build()) GTEST_SKIP() << "POSIX signals and limits";
  }

  std::string put_archive(const std::string& bytes) {
    write_file(place_ / "a.qvx", bytes);
    return (place_ / "a.qvx").string();
  }

  scratch_dir place_;
  scratch_dir work_;
};

std::vector<entry_content> numbered_entries(int count) {
  std::vector<entry_content> entries;
  entries.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) entries.push_back({"f" + std::to_string(i), std::to_string(i)});
  return entries;
}

std::size_t count_lines(const std::string& text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

TEST_F(LimitsTest, AClosedStdoutStopsNeitherTheUnpackingNorTheExitStatus) {
  const std::vector<entry_content> entries = numbered_entries(3000);
  run_options closed;
  closed.stdout_closed = true;
  const run_result result =
      run_tool({put_archive(builder::build_archive(entries))}, work_.path(), closed);
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.err, "qvxreader: standard output: write error\n");
  EXPECT_EQ(list_dir(work_.path()).size(), entries.size());
  EXPECT_EQ(read_file(work_ / "f2999"), "2999");

  // An unreadable archive keeps its own status.
  const run_result unreadable = run_tool({(place_ / "missing").string()}, work_.path(), closed);
  EXPECT_EQ(unreadable.signal, 0);
  EXPECT_EQ(unreadable.exit_status, 2);
  EXPECT_EQ(count_lines(unreadable.err), 2U) << unreadable.err;
  EXPECT_NE(unreadable.err.find("qvxreader: standard output: write error\n"), std::string::npos);

  // The usage, too, is output that must arrive.
  for (const bool pipe : {true, false}) {
    run_options usage;
    usage.stdout_closed = pipe;
    if (!pipe) usage.stdout_path = "/dev/full";
    const run_result shown = run_tool({}, work_.path(), usage);
    EXPECT_EQ(shown.exit_status, 1) << (pipe ? "closed pipe" : "/dev/full");
    EXPECT_EQ(shown.err, "qvxreader: standard output: write error\n");
  }
}

TEST_F(LimitsTest, AFileSizeLimitFailsOnlyTheEntriesOverIt) {
  // The limit stops "big" (off a page boundary) part-way through and
  // "aligned" (on one); each is copied in the kernel, and through the
  // read/write buffer when QVXREADER_PORTABLE_IO=1.
  const std::size_t head = builder::head_size(5);
  std::string big(std::size_t{9} << 20U, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i % 251);
  const std::vector<entry_content> entries = {
      {"small", "fits"},
      {"big", big},
      {"pad", std::string(4096 - (head + 4 + big.size()) % 4096, 'p')},
      {"aligned", std::string(std::size_t{5} << 20U, 'A')},
      {"after", "also fits"}};
  const std::string archive = put_archive(builder::build_archive(entries));
  write_file(work_ / "big", "the previous big file");

  for (const char* portable : {"0", "1"}) {
    SCOPED_TRACE(std::string{"QVXREADER_PORTABLE_IO="} + portable);
    run_options limited;
    limited.file_size_limit = std::uint64_t{4} << 20U;
    limited.environment["QVXREADER_PORTABLE_IO"] = portable;
    const run_result result = run_tool({archive}, work_.path(), limited);

    EXPECT_EQ(result.signal, 0) << "killed by " << strsignal(result.signal);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(read_file(work_ / "big"), "the previous big file");
    EXPECT_EQ(read_file(work_ / "small"), "fits");
    EXPECT_EQ(read_file(work_ / "after"), "also fits");
    EXPECT_EQ(list_dir(work_.path()), (std::set<std::string>{"small", "big", "pad", "after"}));
    EXPECT_EQ(count_lines(result.out), 4U + 2U + entries.size() + 1U) << result.out;
    for (const char* name : {"big", "aligned"}) {
      EXPECT_NE(result.err.find(std::string{"qvxreader: "} + name + ": not written: "),
                std::string::npos)
          << result.err;
    }
    EXPECT_NE(result.err.find("File too large"), std::string::npos) << result.err;
  }
}

TEST_F(LimitsTest, FewFileDescriptorsStillWriteEveryEntry) {
  // A descriptor kept open per entry would run out long before 300.
  const std::vector<entry_content> entries = numbered_entries(300);
  run_options limited;
  limited.open_files_limit = 32;
  const run_result result =
      run_tool({put_archive(builder::build_archive(entries))}, work_.path(), limited);
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(list_dir(work_.path()).size(), entries.size());
}

// With standard descriptors closed (`<&-`, `>&-`), no file the programs
// open takes their numbers: every file holds its entry's bytes and none of
// the listing or the diagnostics, and a list of files from a closed
// standard input is refused rather than read from whatever holds 0.
TEST_F(LimitsTest, ClosedStandardDescriptorsLendTheirNumbersToNoFile) {
  // A refused name in every ten: each diagnostic, and the listing it
  // flushes, is written while other entries' files are open.
  std::vector<entry_content> entries;
  std::map<std::string, std::string> files;  // what unpacking must leave, in byte order
  for (int i = 0; i < 1000; ++i) {
    entry_content entry{(i % 10 == 0 ? "bad/" : "e") + std::to_string(i),
                        "<" + std::to_string(i) + ">"};
    if (i % 10 != 0) files[entry.name] = entry.data;
    entries.push_back(std::move(entry));
  }
  const std::string archive = put_archive(builder::build_archive(entries));
  // The same files to pack, and the archive create must make of them.
  std::vector<entry_content> sorted;
  sorted.reserve(files.size());
  for (const auto& [name, data] : files) {
    write_file(work_ / name, data);
    sorted.push_back({name, data});
  }
  const std::string packed = builder::build_archive(sorted);

  using program = run_result (*)(const std::vector<std::string>&, const fs::path&, run_options);
  struct unpacking {
    program run;
    std::vector<std::string> args;
  };
  const unpacking unpackings[] = {{run_tool, {archive}}, {run_qvx, {"extract", "-v", archive}}};
  const std::set<int> closings[] = {{0}, {1}, {2}, {0, 1}, {0, 2}, {1, 2}, {0, 1, 2}};
  for (const std::set<int>& closed : closings) {
    std::string shown = "closed:";
    for (const int fd : closed) shown += " " + std::to_string(fd);
    SCOPED_TRACE(shown);
    run_options options;
    options.closed_descriptors = closed;
    options.environment["QVXREADER_JOBS"] = "4";  // several entry files open at once
    const bool errors_seen = !closed.contains(2);

    for (const unpacking& unpack : unpackings) {
      SCOPED_TRACE(unpack.args.front());
      const scratch_dir out;
      const run_result result = unpack.run(unpack.args, out.path(), options);
      EXPECT_EQ(result.exit_status, 1);  // the refused names
      EXPECT_EQ(list_dir(out.path()).size(), files.size());
      std::size_t wrong = 0;
      for (const std::string& name : list_dir(out.path())) {
        const auto entry = files.find(name);
        if (entry == files.end() || read_file(out / name) != entry->second) ++wrong;
      }
      EXPECT_EQ(wrong, 0U);
      // Output to a closed standard output fails, as it did on the closed one.
      if (errors_seen) {
        EXPECT_EQ(result.err.find(": standard output: write error\n") != std::string::npos,
                  closed.contains(1));
      }
    }

    const scratch_dir packing;
    const run_result created =
        run_qvx({"create", "c.qvx", work_.path().string()}, packing.path(), options);
    EXPECT_EQ(created.exit_status, 0) << created.err;
    EXPECT_EQ(read_file(packing / "c.qvx"), packed);

    if (!closed.contains(0)) continue;
    const std::pair<const char*, const char*> refusals[] = {{"update", "c.qvx: not changed"},
                                                            {"create", "new.qvx: not written"}};
    for (const auto& [command, outcome] : refusals) {
      SCOPED_TRACE(command);
      const std::string target{outcome, std::string_view{outcome}.find(':')};
      const run_result refused = run_qvx({command, target, "-T", "-"}, packing.path(), options);
      EXPECT_EQ(refused.exit_status, 2);
      if (errors_seen) {
        expect_lines(refused.err,
                     {"qvx: standard input: cannot read the list of files: it is closed",
                      std::string{"qvx: "} + outcome});
      }
      EXPECT_EQ(list_dir(packing.path()), std::set<std::string>{"c.qvx"});
      EXPECT_EQ(read_file(packing / "c.qvx"), packed);
    }
  }
}

TEST_F(LimitsTest, WhatCannotBeReadByPositionIsRefusedWithoutWaiting) {
  const fs::path fifo = place_ / "fifo.qvx";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const fs::path socket_path = place_ / "socket.qvx";
  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  socket_path.string().copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);

  for (const fs::path& path : {fifo, socket_path, fs::path{"/dev/null"}, fs::path{"/dev/zero"}}) {
    SCOPED_TRACE(path.string());
    run_options bounded;
    bounded.timeout_seconds = 20;
    const run_result result = run_tool({path.string()}, work_.path(), bounded);
    EXPECT_EQ(result.exit_status, 2);
    EXPECT_EQ(result.out, banner() + "Error reading file!\n" + pause_text());
    EXPECT_NE(result.err.find(": not a regular file"), std::string::npos) << result.err;
  }
  ::close(listener);
}

TEST_F(LimitsTest, AReadErrorIsReportedAsOneAndNotAsAShortFile) {
  // /proc/self/mem is a regular file of size 0 whose first page cannot be
  // read: the read fails with EIO rather than reporting the end.
  const run_result result = run_tool({"/proc/self/mem"}, work_.path());
  EXPECT_EQ(result.exit_status, 2);
  EXPECT_NE(result.err.find("cannot read the entry count: Input/output error"), std::string::npos)
      << result.err;
}

// Interrupted, either program removes the temporary files it has in flight
// before the signal ends it, also with named temporary files (portable
// mode), and also while entries of one name wait to be renamed in turn.
TEST_F(LimitsTest, AnInterruptedRunLeavesNoTemporaryFile) {
  std::vector<entry_content> entries;
  entries.reserve(24);
  for (int i = 0; i < 24; ++i) {
    entries.push_back({i % 2 == 0 ? "same" : "f" + std::to_string(i),
                       std::string(std::size_t{8} << 20U, static_cast<char>('a' + i))});
  }
  const std::string archive = put_archive(builder::build_archive(entries));
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    for (const int delay : {10, 40, 120}) {
      SCOPED_TRACE(std::to_string(signal) + " after " + std::to_string(delay) + " ms");
      run_options options;
      options.environment["QVXREADER_PORTABLE_IO"] = "1";
      options.environment["QVXREADER_JOBS"] = "4";
      options.kill_after_ms = delay;
      options.kill_signal = signal;
      const scratch_dir unpacked;
      const run_result unpacking = run_tool({archive}, unpacked.path(), options);
      const run_result packing =
          run_qvx({"create", "out.qvx", unpacked.path().string()}, work_.path(), options);
      for (const fs::path& dir : {unpacked.path(), work_.path()}) {
        for (const std::string& name : list_dir(dir)) {
          EXPECT_FALSE(name.starts_with(".qvxreader-")) << dir / name;
        }
      }
      // Either it ended by the signal, or it was done before it came.
      EXPECT_TRUE(unpacking.signal == signal || unpacking.exit_status == 0) << unpacking.err;
      EXPECT_TRUE(packing.signal == signal || packing.exit_status == 0) << packing.err;
      fs::remove(work_ / "out.qvx");
    }
  }
}

bool is_temporary(const std::string& name) { return name.starts_with(".qvxreader-"); }

// A long run makes thousands of temporary files one after another, more
// than there are places to note them at once; each is forgotten when it is
// named, so the one in flight when the signal comes is still removed. And
// the signal ends the run at once: the sweep waits only for threads that
// are making a file at that moment.
TEST_F(LimitsTest, AnInterruptedLongRunEndsAtOnceAndLeavesNoTemporaryFile) {
  using namespace std::chrono_literals;
  std::vector<entry_content> entries = numbered_entries(5000);
  // Large entries last, so that the run goes on for a while after the
  // 4200th file, with a named temporary file there all along in portable
  // mode: the interruption cannot miss it, however fast the build.
  for (int i = 0; i < 6; ++i) {
    entries.push_back({"last" + std::to_string(i),
                       std::string(std::size_t{16} << 20U, static_cast<char>('L' + i))});
  }
  const std::string archive = put_archive(builder::build_archive(entries));
  for (const bool named_temporaries : {true, false}) {
    SCOPED_TRACE(named_temporaries ? "named temporary files" : "anonymous files");
    const scratch_dir out;
    run_options options;
    options.environment["QVXREADER_PORTABLE_IO"] = named_temporaries ? "1" : "0";
    options.environment["QVXREADER_JOBS"] = "2";
    std::optional<std::chrono::steady_clock::time_point> interrupted_at;
    options.while_running = [&](pid_t child) {
      // Once over 4096 files are made, stopped with one in flight.
      if (interrupted_at || list_dir(out.path()).size() < 4200 || !stop_child(child)) return;
      const std::set<std::string> names = list_dir(out.path());
      if (!named_temporaries || std::any_of(names.begin(), names.end(), is_temporary)) {
        ::kill(child, SIGINT);
        interrupted_at = std::chrono::steady_clock::now();
      }
      ::kill(child, SIGCONT);
    };
    const run_result result = run_tool({archive}, out.path(), options);
    ASSERT_TRUE(interrupted_at) << "the run ended before it was interrupted";
    EXPECT_EQ(result.signal, SIGINT) << result.err;
    EXPECT_LT(result.ended_at - *interrupted_at, 500ms);
    const std::set<std::string> left = list_dir(out.path());
    EXPECT_EQ(std::count_if(left.begin(), left.end(), is_temporary), 0);
  }
}

// A signal the program was started with ignored (nohup, a background job)
// stays ignored: it neither ends the run nor removes anything.
TEST_F(LimitsTest, AHangupIgnoredAtTheStartStaysIgnored) {
  const std::string archive = put_archive(builder::build_archive(numbered_entries(3000)));
  for (const bool qvx : {false, true}) {
    SCOPED_TRACE(qvx ? "qvx extract" : "qvxreader");
    const scratch_dir out;
    run_options options;
    options.ignored_signals = {SIGHUP};
    options.environment["QVXREADER_PORTABLE_IO"] = "1";
    bool hung_up = false;
    options.while_running = [&](pid_t child) {
      if (hung_up || list_dir(out.path()).size() < 100 || !stop_child(child)) return;
      ::kill(child, SIGHUP);
      ::kill(child, SIGCONT);
      hung_up = true;
    };
    const run_result result = qvx ? run_qvx({"extract", archive}, out.path(), options)
                                  : run_tool({archive}, out.path(), options);
    EXPECT_TRUE(hung_up) << "the run ended before the hangup";
    EXPECT_EQ(result.signal, 0);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(list_dir(out.path()).size(), 3000U);
  }
}

}  // namespace
}  // namespace qvx::test
