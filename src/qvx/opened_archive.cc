#include "qvx/opened_archive.h"

#include <algorithm>
#include <cstdio>

#include "archive/diagnostic.h"
#include "archive/entry_name.h"

namespace qvx::cli {

bool open_charset(const std::optional<std::string>& charset, name_charset& converter) {
  if (!charset) return true;
  std::string problem;
  // iconv would take "" as the locale's charset, and a suffix such as
  // "//TRANSLIT" or "//IGNORE" would let look-alikes or nothing stand for a
  // character: a name must convert exactly or not at all.
  if (charset->empty()) {
    problem = "no charset given";
  } else if (charset->find('/') != std::string::npos) {
    problem = "a charset's name has no '/'";
  } else {
    converter = platform::name_converter::open(*charset, problem);
  }
  if (!converter) {
    report(charset->empty() ? "--charset" : "--charset " + *charset, problem);
    return false;
  }
  platform::use_utf8_entry_names();
  return true;
}

std::string opened_archive::shown(std::size_t i) const {
  // Converted names go out in the text the console takes, like paths.
  if (charset.empty() || unconverted[i]) return printable_name(name(i));
  return printable_name(platform::displayed_path(texts[i]));
}

std::string opened_archive::described(std::size_t i) const {
  const std::string number = "entry " + std::to_string(i + 1);
  const std::string_view text = name(i);
  if (text.empty()) return number + " (empty name)";
  const bool odd = unconverted[i] || printable_name(text) != text ||
                   !name_refusal(text, name_rules::posix).empty() ||
                   !name_refusal(text, name_rules::windows).empty();
  return odd ? number + " \"" + shown(i) + "\"" : shown(i);
}

std::size_t opened_archive::report_unconverted(const std::vector<bool>& among,
                                               std::string_view consequence) const {
  std::size_t reported = 0;
  for (std::size_t i = 0; i < count(); ++i) {
    if (charset.empty() || !unconverted[i] || (!among.empty() && !among[i])) continue;
    report(described(i), "its name is not valid " + charset + "; " + std::string{consequence});
    ++reported;
  }
  return reported;
}

namespace {

// The archive open in `file`, with its directory read and its names
// converted; or nothing, after saying why.
std::optional<opened_archive> read_opened(platform::input_file file, const std::string& shown,
                                          const name_charset& charset, bool salvage = false) {
  directory_result read = read_directory(file);
  std::optional<std::size_t> salvaged_count;
  std::vector<bool> unnamed;
  if (!read.ok() && read.malformed && salvage) {
    salvaged_directory salvaged = salvage_directory(file);
    if (salvaged.problem.empty()) {
      const std::size_t records = salvaged.directory.entries.size();
      const auto names = static_cast<std::size_t>(
          std::count(salvaged.unnamed.begin(), salvaged.unnamed.end(), false));
      report(shown,
             "salvaging: " + read.problem + ": " + std::to_string(records) + " of " +
                 std::to_string(salvaged.count) + " records and " + std::to_string(names) +
                 " names read" +
                 (names < records ? "; the entries without a name are called entry-NNNNN" : ""));
      read = {std::move(salvaged.directory), {}, false};
      salvaged_count = salvaged.count;
      unnamed = std::move(salvaged.unnamed);
    }
  }
  if (!read.ok()) {
    // Whole records before a missing name table are most likely an archive
    // cut short.
    const bool cut = read.malformed && read.records_whole && !salvage;
    report(shown, (read.malformed ? "not a QVX archive: " : "") + read.problem +
                      (cut ? "; if it was cut short, list --salvage and extract --salvage read "
                             "what it holds"
                           : ""));
    return std::nullopt;
  }
  opened_archive archive{std::move(file), std::move(read.directory), {}, {}, {}, {}, {}, {}, {}};
  archive.salvaged_count = salvaged_count;
  archive.unnamed = std::move(unnamed);
  archive.given = shown;
  const std::size_t count = archive.count();
  archive.unconverted.assign(count, false);
  if (!charset) return archive;
  archive.charset = charset->charset();
  archive.texts.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::string_view bytes = entry_name(archive.directory.names[i]);
    std::string text;
    if (!charset->to_text(bytes, text)) {
      archive.unconverted[i] = true;
      text = bytes;
    }
    archive.texts.push_back(std::move(text));
  }
  return archive;
}

}  // namespace

bool opened_archive::report_salvage(bool each) const {
  if (!salvaged_count) return true;
  std::size_t whole = 0;
  std::size_t cut = 0;
  for (std::size_t i = 0; i < directory.entries.size(); ++i) {
    const archive_entry& entry = directory.entries[i];
    const std::uint64_t end = std::uint64_t{entry.offset} + entry.size;
    if (entry.size == 0 || end <= file.size()) {
      ++whole;
      continue;
    }
    ++cut;
    if (each) {
      const std::uint64_t present = entry.offset >= file.size() ? 0 : file.size() - entry.offset;
      report(shown(i), "cut short: " + std::to_string(present) + " of its " +
                           std::to_string(entry.size) + " bytes are in the archive");
    }
  }
  report(given, "salvaged " + std::to_string(whole) + " of " + std::to_string(*salvaged_count) +
                    " entries whole" + (cut > 0 ? ", " + std::to_string(cut) + " cut short" : ""));
  return false;
}

std::optional<opened_archive> open_archive(const std::string& path, const std::string& given,
                                           const name_charset& charset, bool salvage) {
  const std::string shown = platform::displayed_path(given.empty() ? path : given);
  platform::error_code error = 0;
  platform::input_file file = platform::input_file::open(path, error);
  if (error != 0) {
    report(shown, "cannot open: " + platform::error_text(error));
    return std::nullopt;
  }
  return read_opened(std::move(file), shown, charset, salvage);
}

std::optional<opened_archive> open_archive_to_edit(const std::string& path,
                                                   const std::string& given,
                                                   const name_charset& charset, bool for_update) {
  const std::string shown = platform::displayed_path(given.empty() ? path : given);
  for (;;) {
    platform::error_code error = 0;
    platform::file_facts locked;
    platform::edit_lock lock = platform::edit_lock::acquire(path, locked, error);
    // The editor that held the lock may have put a new file in its place.
    const platform::file_facts now = error == 0 ? platform::examine(path, error) : locked;
    if (error == 0 && !now.same_file(locked)) continue;
    platform::input_file file;
    if (error == 0) {
      file = for_update ? platform::input_file::open_for_update(path, error)
                        : platform::input_file::open(path, error);
    }
    if (error != 0) {
      report(shown, "cannot open: " + platform::error_text(error));
      return std::nullopt;
    }
    if (!file.facts().same_file(locked)) continue;
    std::optional<opened_archive> archive = read_opened(std::move(file), shown, charset);
    if (archive) archive->lock = std::move(lock);
    return archive;
  }
}

void buffer_standard_output() {
  if (!platform::stdout_is_terminal()) {
    static char buffer[1 << 16];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
  }
}

exit_status finish_standard_output(exit_status status) {
  if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) return status;
  report("standard output", "write error");
  return status == exit_status::success ? exit_status::problems : status;
}

}  // namespace qvx::cli
