#include <algorithm>
#include <cstdio>
#include <numeric>
#include <unordered_map>

#include "archive/entry_name.h"
#include "qvx/opened_archive.h"

namespace qvx::cli {
namespace {

std::string counted(std::uint64_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

class checker {
 public:
  checker(const opened_archive& archive, const name_charset& utf8)
      : archive_(archive),
        directory_(archive.directory),
        archive_size_(archive.file.size()),
        utf8_(utf8) {}

  // Prints one line per finding and a summary; returns the number of problems.
  std::size_t run() {
    std::unordered_map<std::string, std::size_t> first_of_name;  // case_folded -> index
    for (std::size_t i = 0; i < directory_.entries.size(); ++i) {
      check_data(i);
      if (check_name(i)) check_duplicate(i, first_of_name);
      note_encoding(i);
    }
    note_overlaps();
    std::printf("%s, %s, %s\n", counted(directory_.entries.size(), "entry", "entries").c_str(),
                counted(problems_, "problem", "problems").c_str(),
                counted(overlaps_, "overlap", "overlaps").c_str());
    return problems_;
  }

 private:
  [[nodiscard]] std::string_view name(std::size_t i) const { return archive_.name(i); }

  [[nodiscard]] std::string entry(std::size_t i) const {
    if (archive_.name(i).empty()) return archive_.described(i);
    return "entry " + std::to_string(i + 1) + " \"" + archive_.shown(i) + "\"";
  }

  void problem(std::size_t i, const std::string& what) {
    std::printf("%s: %s\n", entry(i).c_str(), what.c_str());
    ++problems_;
  }

  void check_data(std::size_t i) {
    const archive_entry& e = directory_.entries[i];
    // An empty entry is whole wherever its offset points.
    const std::uint64_t end = std::uint64_t{e.offset} + e.size;
    if (e.size == 0 || end <= archive_size_) return;
    const std::uint64_t present = e.offset >= archive_size_ ? 0 : archive_size_ - e.offset;
    problem(i, "runs past the end of the archive: " + std::to_string(e.size - present) +
                   " of its " + std::to_string(e.size) + " bytes are missing");
  }

  // A name that is not UTF-8, when no charset was given, is most likely in
  // the code page of the system the archive was made on. Noted, since it
  // unpacks all the same, only not as the characters it was meant to be.
  void note_encoding(std::size_t i) {
    std::string text;
    if (!utf8_ || utf8_->to_text(name(i), text)) return;
    std::printf(
        "note: %s: name is not valid UTF-8; if the names are in a code page, "
        "--charset converts them (e.g. --charset CP1252)\n",
        entry(i).c_str());
  }

  // False when the name is refused anywhere, so that it cannot collide.
  bool check_name(std::size_t i) {
    if (archive_.unconverted[i]) {
      problem(i, "name is not valid " + archive_.charset);
      return false;
    }
    if (const std::string_view why = name_refusal(name(i), name_rules::posix); !why.empty()) {
      problem(i, "name would be refused: " + std::string{why});
      return false;
    }
    if (const std::string_view why = name_refusal(name(i), name_rules::windows); !why.empty()) {
      problem(i, "name would be refused on Windows: " + std::string{why});
      return false;
    }
    return archive_.charset.empty() || check_bytes(i);
  }

  // With a charset, qvxreader still takes the name as the bytes it is in
  // the code page.
  bool check_bytes(std::size_t i) {
    const std::string_view bytes = entry_name(directory_.names[i]);
    const std::string in = " in " + archive_.charset + " (" + hex_bytes(bytes) + ")";
    if (const std::string_view why = stored_name_refusal(bytes, name_rules::posix); !why.empty()) {
      problem(i, "its bytes" + in + " would be refused: " + std::string{why});
      return false;
    }
    if (const std::string_view why = stored_name_refusal(bytes, name_rules::windows);
        !why.empty()) {
      problem(i, "its bytes" + in + " would be refused on Windows: " + std::string{why});
      return false;
    }
    // What passes only as part of a character.
    const bool backslash = !name_refusal(bytes, name_rules::posix).empty();
    if (backslash || !name_refusal(bytes, name_rules::windows).empty()) {
      std::printf(
          "note: %s: a byte of a %s character in its name is %s, which qvxreader%s takes as "
          "'%s' and does not unpack; qvx extract --charset %s does\n",
          entry(i).c_str(), archive_.charset.c_str(), backslash ? "0x5C" : "0x7C",
          backslash ? "" : " on Windows", backslash ? "\\" : "|", archive_.charset.c_str());
    }
    return true;
  }

  void check_duplicate(std::size_t i, std::unordered_map<std::string, std::size_t>& first) {
    const auto [earlier, fresh] = first.try_emplace(case_folded(name(i)), i);
    if (fresh) return;
    const std::size_t j = earlier->second;
    problem(i, name(i) == name(j) ? "same name as entry " + std::to_string(j + 1) +
                                        "; only the later one is left when unpacked"
                                  : "same name as entry " + std::to_string(j + 1) +
                                        " when case is ignored, as on Windows");
  }

  // Entries whose data share bytes. Legal, so noted rather than counted as
  // problems: every pair, each note naming the earlier entry first. A sweep
  // in offset order keeps the entries whose data reach past the current
  // offset; each of them overlaps the entry starting there. An archive of
  // many entries over one area has pairs by the million, so past
  // max_overlap_notes they are only counted.
  void note_overlaps() {
    const auto& entries = directory_.entries;
    const auto end = [&](std::size_t i) {
      return std::uint64_t{entries[i].offset} + entries[i].size;
    };
    std::vector<std::size_t> order(entries.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::erase_if(order, [&](std::size_t i) { return entries[i].size == 0; });
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
      return entries[a].offset != entries[b].offset ? entries[a].offset < entries[b].offset : a < b;
    });
    const auto ends_first = [&](std::size_t a, std::size_t b) { return end(a) > end(b); };
    std::vector<std::size_t> reaching;  // a heap, the one that ends first on top
    std::vector<std::size_t> overlapped;
    for (const std::size_t i : order) {
      while (!reaching.empty() && end(reaching.front()) <= entries[i].offset) {
        std::pop_heap(reaching.begin(), reaching.end(), ends_first);
        reaching.pop_back();
      }
      if (shown_ < max_overlap_notes && !reaching.empty()) {
        overlapped = reaching;
        std::sort(overlapped.begin(), overlapped.end());
        for (const std::size_t j : overlapped) {
          if (shown_ == max_overlap_notes) break;
          const std::uint64_t shared = std::min(end(i), end(j)) - entries[i].offset;
          std::printf("note: %s overlaps %s by %s\n", entry(std::min(i, j)).c_str(),
                      entry(std::max(i, j)).c_str(), counted(shared, "byte", "bytes").c_str());
          ++shown_;
        }
      }
      overlaps_ += reaching.size();
      reaching.push_back(i);
      std::push_heap(reaching.begin(), reaching.end(), ends_first);
    }
    if (shown_ < overlaps_) {
      std::printf("note: %s not shown\n",
                  counted(overlaps_ - shown_, "more overlap", "more overlaps").c_str());
    }
  }

  static constexpr std::uint64_t max_overlap_notes = 1000;

  const opened_archive& archive_;
  const archive_directory& directory_;
  std::uint64_t archive_size_;
  const name_charset& utf8_;  // what tells UTF-8 names from others, if they are to be noted
  std::size_t problems_ = 0;
  std::uint64_t overlaps_ = 0;  // pairs of entries that share bytes
  std::uint64_t shown_ = 0;     // of them, those noted
};

}  // namespace

exit_status run_check(const check_request& request) {
  name_charset charset;
  if (!open_charset(request.charset, charset)) return exit_status::fatal;
  const std::optional<opened_archive> archive = open_archive(request.archive, "", charset);
  if (!archive) return exit_status::fatal;
  // Without --charset, names that are not UTF-8 are noted where names are
  // UTF-8 by custom; on Windows they are in the ANSI code page.
  name_charset utf8;
  if (!charset && !platform::uses_windows_names()) {
    std::string unknown;
    utf8 = platform::name_converter::open("UTF-8", unknown);
  }
  buffer_standard_output();
  const std::size_t problems = checker{*archive, utf8}.run();
  return finish_standard_output(problems == 0 ? exit_status::success : exit_status::problems);
}

}  // namespace qvx::cli
