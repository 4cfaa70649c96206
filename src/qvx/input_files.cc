#include "qvx/input_files.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "archive/diagnostic.h"
#include "platform/platform.h"

namespace qvx::cli {
namespace {

// What the entry for the file at `path` is called: its last component.
std::string last_component(const std::string& path) {
  const char* separators = platform::uses_windows_names() ? "/\\:" : "/";
  const std::size_t at = path.find_last_of(separators);
  return at == std::string::npos ? path : path.substr(at + 1);
}

std::string shown(const std::string& path) { return platform::displayed_path(path); }

// All of `stream`'s bytes.
std::string read_stream(std::FILE* stream) {
  std::string text;
  char buffer[1 << 16];
  while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, stream)) text.append(buffer, n);
  return text;
}

// The whole list file `from` ("-" for standard input) into `text`; or
// false, and why it cannot be read.
bool read_list(const std::string& from, std::string& text, std::string& why) {
  if (from == "-") {
    // A closed standard input now reads as the null device: no list at all
    // is not an empty one.
    if (platform::standard_input_was_closed()) {
      why = "cannot read the list of files: it is closed";
      return false;
    }
    text = read_stream(stdin);
    why = "read error";
    return std::ferror(stdin) == 0;
  }
  platform::error_code error = 0;
  const platform::file_facts facts = platform::examine(from, error);
  if (error == 0 && facts.kind == platform::file_kind::regular) {
    const platform::input_file file = platform::input_file::open(from, error);
    if (error == 0) {
      text.resize(file.size());
      const platform::io_result read = file.read_at(0, std::as_writable_bytes(std::span{text}));
      text.resize(read.bytes);
      error = read.error;
      if (error == 0) return true;
    }
  } else if (error == 0 && facts.kind == platform::file_kind::other) {
    // A FIFO or a pipe (a shell's process substitution) is read as a
    // stream, opened once: a probe that opened and closed it would leave
    // its writer with a broken pipe.
    if (std::FILE* stream = std::fopen(from.c_str(), "rb")) {
      text = read_stream(stream);
      const bool failed = std::ferror(stream) != 0;
      std::fclose(stream);
      if (!failed) return true;
    }
    error = errno;
  } else if (error == 0) {
    why = "cannot read the list of files: it is a directory";
    return false;
  }
  why = "cannot read the list of files: " + platform::error_text(error);
  return false;
}

// The paths of a list: one a line; a line end may be CR LF, and empty lines
// stand for nothing.
std::vector<std::string> list_lines(const std::string& text) {
  std::vector<std::string> paths;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) paths.push_back(std::move(line));
    start = end + 1;
  }
  return paths;
}

class input_gatherer {
 public:
  input_gatherer(const archive_destination& destination, const name_charset& charset)
      : destination_{destination}, charset_{charset} {}

  // Adds the file at `path`, or the files inside it if it is a directory
  // named by the user (not one inside such a directory).
  void add(const std::string& path, bool inside_directory) {
    platform::error_code error = 0;
    const platform::file_facts file = platform::examine(path, error);
    if (error != 0) {
      refuse(path, "cannot read: " + platform::error_text(error));
    } else if (file.kind == platform::file_kind::directory) {
      if (inside_directory) {
        refuse(path, "is a directory inside a directory: an archive has no folders");
      } else {
        add_directory(path);
      }
    } else if (file.kind != platform::file_kind::regular) {
      refuse(path, "is not a regular file");
    } else if (destination_.exists && file.same_file(destination_.file)) {
      // The old archive would go into the new one, or be lost.
      refuse(path, "is the archive being written");
    } else {
      add_file(path, file.size);
    }
  }

  void add_file(const std::string& path, std::uint64_t size) {
    const std::string text = last_component(path);
    std::string name;
    if (charset_) {
      if (!charset_->to_code_page(text, name)) {
        refuse(path, "its name has characters that " + charset_->charset() + " cannot hold");
        return;
      }
      // A name field ends at its first NUL, and a control byte would be
      // refused by whoever reads the name as bytes (UTF-16, ISO-2022).
      if (std::any_of(name.begin(), name.end(), [](char c) {
            const auto byte = static_cast<unsigned char>(c);
            return byte < 0x20 || byte == 0x7F;
          })) {
        refuse(path, "its name in " + charset_->charset() + " would hold control bytes");
        return;
      }
      archive_member member = file_member(std::move(name), path, size);
      member.text = text;
      gathered_.members.push_back(std::move(member));
    } else if (!platform::as_entry_name(text, name)) {
      refuse(path,
             "its name has characters that entry names, in the system's code page, cannot hold");
    } else {
      gathered_.members.push_back(file_member(std::move(name), path, size));
    }
  }

  void refuse(const std::string& path, const std::string& why) {
    report(shown(path), why);
    gathered_.usable = false;
  }

  gathered_inputs take() { return std::move(gathered_); }

 private:
  void add_directory(const std::string& path) {
    platform::error_code error = 0;
    std::vector<std::string> names = platform::directory_names(path, error);
    if (error != 0) {
      refuse(path, "cannot read the directory: " + platform::error_text(error));
      return;
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) add(platform::joined_path(path, name), true);
  }

  const archive_destination& destination_;
  const name_charset& charset_;
  gathered_inputs gathered_;
};

}  // namespace

gathered_inputs gather_inputs(const input_request& request, const archive_destination& destination,
                              const name_charset& charset) {
  input_gatherer gatherer{destination, charset};
  for (const std::string& argument : request.files) {
    for (const std::string& path : platform::expanded_argument(argument)) {
      gatherer.add(path, false);
    }
  }
  if (const std::optional<std::string>& list = request.files_from) {
    std::string text;
    if (std::string why; !read_list(*list, text, why)) {
      gatherer.refuse(*list == "-" ? "standard input" : *list, why);
    }
    for (const std::string& path : list_lines(text)) gatherer.add(path, false);
  }
  return gatherer.take();
}

}  // namespace qvx::cli
