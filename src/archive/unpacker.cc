#include "archive/unpacker.h"

#include <cstdio>

#include "archive/diagnostic.h"
#include "archive/directory.h"
#include "archive/entry_name.h"

namespace qvx {
namespace {

std::string not_written(std::string_view why) { return "not written: " + std::string{why}; }

std::string not_written(std::string_view what, platform::error_code error) {
  return not_written(std::string{what} + ": " + platform::error_text(error));
}

}  // namespace

entry_result write_entry(std::string_view name, const platform::input_file& archive,
                         std::uint32_t offset, std::uint32_t size) {
  const name_rules rules = platform::uses_windows_names() ? name_rules::windows : name_rules::posix;
  if (const std::string_view refusal = name_refusal(name, rules); !refusal.empty()) {
    return {not_written(refusal)};
  }
  const std::string file_name{name};
  platform::error_code error = 0;
  platform::output_file output = platform::output_file::create(error);
  if (error != 0) return {not_written("cannot create a file", error)};

  const platform::io_result copied = output.copy_from(archive, offset, size);
  if (copied.error != 0) return {not_written("cannot copy its data", copied.error)};

  // Only a name that is already taken needs a look at what it is: the
  // archive itself must never be replaced.
  if (!output.commit_new(file_name, error)) {
    if (error != 0) return {not_written("cannot put the file in place", error)};
    if (archive.is_named(file_name)) return {not_written("it is the archive being read")};
    if (const platform::error_code replace_error = output.commit_replacing(file_name)) {
      return {not_written("cannot put the file in place", replace_error)};
    }
  }
  if (copied.bytes < size) {
    return {"incomplete: the archive ends " + std::to_string(size - copied.bytes) +
            " bytes short of this entry (" + std::to_string(copied.bytes) + " of " +
            std::to_string(size) + " bytes written)"};
  }
  return {};
}

unpack_status unpack_archive(const std::string& path) {
  platform::error_code error = 0;
  const platform::input_file archive = platform::input_file::open(path, error);
  if (error != 0) {
    report(platform::displayed_path(path), "cannot open: " + platform::error_text(error));
    return unpack_status::unreadable;
  }
  const directory_result read = read_directory(archive);
  if (!read.ok()) {
    report(platform::displayed_path(path), read.problem);
    return unpack_status::unreadable;
  }

  const archive_directory& directory = read.directory;
  const auto count = static_cast<unsigned>(directory.entries.size());
  if (count == 0) return unpack_status::complete;

  std::printf("File has %u Entries\n\n", count);
  unpack_status status = unpack_status::complete;
  for (unsigned i = 0; i < count; ++i) {
    const archive_entry& entry = directory.entries[i];
    const std::string_view name = entry_name(directory.names[i]);
    const entry_result written = write_entry(name, archive, entry.offset, entry.size);
    if (!written.ok()) {
      report(name, written.problem);
      status = unpack_status::incomplete;
    }
    std::printf("%4u / %4u %15s %15u bytes %15u bytes\n", i + 1, count,
                printable_name(name).c_str(), static_cast<unsigned>(entry.offset),
                static_cast<unsigned>(entry.size));
  }
  return status;
}

}  // namespace qvx
