#include "qvx/input_files.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "archive/diagnostic.h"
#include "archive/entry_name.h"
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

struct list_line {
  std::size_t number;  // from 1
  std::string path;
};

// The paths of a list: one a line; a line end may be CR LF, and empty lines
// stand for nothing.
std::vector<list_line> list_lines(const std::string& text) {
  std::vector<list_line> paths;
  std::size_t start = 0;
  for (std::size_t number = 1; start < text.size(); ++number) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) paths.push_back({number, std::move(line)});
    start = end + 1;
  }
  return paths;
}

// The rules for a name, or for a path of names (--paths).
std::string_view refusal(std::string_view name, name_rules rules, bool path) {
  return path ? path_name_refusal(name, rules) : name_refusal(name, rules);
}

bool passes_name_rules(std::string_view name, bool path) {
  return refusal(name, name_rules::posix, path).empty() &&
         refusal(name, name_rules::windows, path).empty();
}

// Why `stored`, the file name `text` in `charset`, cannot be an entry's
// name, or "". qvxreader takes the bytes as they are; qvx goes by what they
// read back as, which differs where the code page gives a character another
// one's bytes (CP932 stores U+00A5 as 0x5C, a '\' when read back).
std::string stored_name_problem(const platform::name_converter& charset, const std::string& text,
                                const std::string& stored, bool path) {
  const std::string in = "its name in " + charset.charset();
  std::string back;
  if (!charset.to_text(stored, back)) return in + " would not be valid " + charset.charset();
  // A text the rules refuse is reported with the other checks of names.
  if (!passes_name_rules(text, path)) return {};
  const auto problem = [&](name_rules rules, const std::string& where) -> std::string {
    if (const std::string_view why = refusal(back, rules, path); !why.empty()) {
      return in + " reads back as \"" + printable_name(back) + "\", which would be refused" +
             where + std::string{why};
    }
    // A path's separators are '\\' bytes by design.
    if (const std::string_view why = path ? std::string_view{} : stored_name_refusal(stored, rules);
        !why.empty()) {
      return in + " (" + hex_bytes(stored) + ") would be refused" + where + std::string{why};
    }
    return {};
  };
  std::string found = problem(name_rules::posix, ": ");
  return found.empty() ? problem(name_rules::windows, " on Windows: ") : found;
}

}  // namespace

std::string entry_name_for(const std::string& text, const name_charset& charset, std::string& name,
                           bool path) {
  if (!charset) {
    if (platform::as_entry_name(text, name)) return {};
    return "its name has characters that entry names, in the system's code page, cannot hold";
  }
  if (!charset->to_code_page(text, name)) {
    return "its name has characters that " + charset->charset() + " cannot hold";
  }
  // In UTF-16, UTF-7 or ISO-2022 the bytes may hold a NUL, which ends a
  // name field, a control byte or a '/'.
  return stored_name_problem(*charset, text, name, path);
}

namespace {

class input_gatherer {
 public:
  input_gatherer(const archive_destination& destination, const name_charset& charset, bool paths)
      : destination_{destination}, charset_{charset}, paths_{paths} {}

  // Adds the file at `path`, or the files inside it if it is a directory
  // named by the user (not one inside such a directory, unless with paths).
  void add(const std::string& path, bool inside_directory) {
    platform::error_code error = 0;
    const platform::file_facts file = platform::examine(path, error);
    if (error != 0) {
      refuse(path, "cannot read: " + platform::error_text(error));
    } else if (file.kind == platform::file_kind::directory) {
      if (inside_directory) {
        refuse(path, "is a directory inside a directory: an archive has no folders");
      } else if (paths_) {
        add_tree(path);
      } else {
        add_directory(path);
      }
    } else {
      add_file(path, file, last_component(path), false);
    }
  }

  // `text` is the entry's name as the user's system writes it; with `path`
  // a path of names.
  void add_file(const std::string& path, const platform::file_facts& file, const std::string& text,
                bool path_name) {
    if (file.kind != platform::file_kind::regular) {
      refuse(path, "is not a regular file");
      return;
    }
    if (destination_.exists && file.same_file(destination_.file)) {
      // The old archive would go into the new one, or be lost.
      refuse(path, "is the archive being written");
      return;
    }
    const std::uint64_t size = file.size;
    std::string name;
    if (const std::string problem = entry_name_for(text, charset_, name, path_name);
        !problem.empty()) {
      refuse(path, problem);
      return;
    }
    archive_member member = file_member(std::move(name), path, size);
    if (charset_) member.text = text;
    member.path_name = path_name;
    gathered_.members.push_back(std::move(member));
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

  struct tree_file {
    std::string name;  // the path below the root, with '\\' between its parts
    std::string path;
    platform::file_facts facts;
  };

  // Every file below `root`, in byte order of the names they get.
  void add_tree(const std::string& root) {
    std::vector<tree_file> found;
    walk(root, "", found);
    std::sort(found.begin(), found.end(),
              [](const tree_file& a, const tree_file& b) { return a.name < b.name; });
    for (const tree_file& file : found) add_file(file.path, file.facts, file.name, true);
  }

  void walk(const std::string& directory, const std::string& below, std::vector<tree_file>& found) {
    platform::error_code error = 0;
    const std::vector<std::string> names = platform::directory_names(directory, error);
    if (error != 0) {
      refuse(directory, "cannot read the directory: " + platform::error_text(error));
      return;
    }
    for (const std::string& name : names) {
      const std::string path = platform::joined_path(directory, name);
      std::string entry = below;
      if (!entry.empty()) entry += '\\';
      entry += name;
      // A link could lead out of the tree, or round in a loop.
      if (platform::is_symbolic_link(path)) {
        refuse(path, "is a symbolic link, which --paths does not follow");
        continue;
      }
      const platform::file_facts facts = platform::examine(path, error);
      if (error != 0) {
        refuse(path, "cannot read: " + platform::error_text(error));
      } else if (facts.kind == platform::file_kind::directory) {
        walk(path, entry, found);
      } else {
        found.push_back({entry, path, facts});
      }
    }
  }

  const archive_destination& destination_;
  const name_charset& charset_;
  bool paths_;
  gathered_inputs gathered_;
};

}  // namespace

gathered_inputs gather_inputs(const input_request& request, const archive_destination& destination,
                              const name_charset& charset) {
  input_gatherer gatherer{destination, charset, request.paths};
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
    for (const auto& [number, path] : list_lines(text)) {
      // The system would take the path as ending there, and pack another file.
      if (path.find('\0') != std::string::npos) {
        gatherer.refuse(*list == "-" ? "standard input" : *list,
                        "line " + std::to_string(number) +
                            " holds a NUL byte, which no path can: " + printable_name(path));
      } else {
        gatherer.add(path, false);
      }
    }
  }
  return gatherer.take();
}

}  // namespace qvx::cli
