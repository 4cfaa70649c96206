#include "qvx/command_line.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "archive/diagnostic.h"
#include "archive/edit_layout.h"
#include "archive/entry_name.h"
#include "platform/platform.h"
#include "qvx/entry_selection.h"

namespace qvx::cli {
namespace {

// "qvx extract": the command whose line was being read when parsing stopped.
std::string command_path(const CLI::App& app) {
  std::string path = app.get_name();
  for (const CLI::App* command : app.get_subcommands()) path += " " + command->get_name();
  return path;
}

// Adds `name` with the options every command has, and makes `run` its work.
CLI::App* add_command(CLI::App& app, const char* name, const char* description,
                      std::function<exit_status()>& chosen, std::function<exit_status()> run) {
  CLI::App* command = app.add_subcommand(name, description);
  command->group("Commands");
  command->set_help_flag("-h,--help", "print this help and exit");
  command->set_version_flag("--version", app.version(), "print the version and exit");
  command->callback([&chosen, run = std::move(run)] { chosen = run; });
  return command;
}

// CLI11 reads an argument in brackets ("[x]", "[a,b]") as a list of values;
// a pattern or a file name may well be one. Such arguments are marked
// before parsing, and `verbatim` takes the mark off each value again.
constexpr char bracket_mark = '\x01';

std::string marked(std::string argument) {
  if (argument.size() >= 2 && argument.front() == '[' && argument.back() == ']') {
    argument.insert(argument.begin(), bracket_mark);
  }
  return argument;
}

std::string verbatim(std::string value) {
  if (value.size() >= 3 && value[0] == bracket_mark && value[1] == '[') value.erase(0, 1);
  return value;
}

// The ARCHIVE argument every command but help takes.
void add_archive(CLI::App& command, std::string& archive, const std::string& description) {
  command.add_option("ARCHIVE", archive, description)->required()->transform(verbatim);
}

// The options that name the files to pack, for create and update.
void add_inputs(CLI::App& command, input_request& inputs) {
  command
      .add_option("FILE", inputs.files,
                  "files to pack, each as an entry named after its last path component; a "
                  "directory stands for the files directly inside it")
      ->transform(verbatim);
  command
      .add_option("-T,--files-from", inputs.files_from,
                  "also pack the files listed in LIST, one path a line (- for standard input)")
      ->type_name("LIST")
      ->transform(verbatim);
  command.add_flag("--paths", inputs.paths,
                   "a directory gives every file below it, named by its path inside it with "
                   "'\\' between the parts");
}

// --exclude, which `what` the entries matching it.
void add_excludes(CLI::App& command, std::vector<std::string>& excludes, const std::string& what) {
  command
      .add_option("--exclude", excludes,
                  what + " the entries matching PATTERN (*, ?, [...]); may be repeated")
      ->type_name("PATTERN")
      ->expected(1)
      ->allow_extra_args(false)
      ->transform(verbatim)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

// --salvage, for the commands that can make do with part of a directory.
void add_salvage(CLI::App& command, bool& salvage, const std::string& what) {
  command.add_flag("--salvage", salvage,
                   "when the archive is cut short, " + what +
                       " what its records still give; entries without a name are called "
                       "entry-NNNNN (exit status 1)");
}

// --charset, for every command that reads or writes entry names.
void add_charset(CLI::App& command, std::optional<std::string>& charset) {
  command
      .add_option("--charset", charset,
                  "the code page the entry names are in (CP1252, CP932, CP1251...): names are "
                  "converted to and from it")
      ->type_name("NAME")
      ->transform(verbatim);
}

// `value` as a number: decimal, or hexadecimal after 0x; nothing for any
// other form (a sign, octal 010, anything after the digits).
std::optional<std::uint64_t> parsed_number(std::string_view value) {
  const bool hex = value.starts_with("0x") || value.starts_with("0X");
  const std::string_view digits = value.substr(hex ? 2 : 0);
  std::uint64_t n = 0;
  const auto [end, error] =
      std::from_chars(digits.data(), digits.data() + digits.size(), n, hex ? 16 : 10);
  const bool whole = error == std::errc{} && end == digits.data() + digits.size() &&
                     !digits.empty() && (hex || digits[0] != '0' || digits.size() == 1);
  if (!whole) return std::nullopt;
  return n;
}

// --align, the multiple at which entries' data start.
template <typename Target>
void add_alignment(CLI::App& command, Target& alignment, const std::string& description) {
  command.add_option("--align", alignment, description)
      ->type_name("N")
      ->check(CLI::Validator(
          [](const std::string& value) -> std::string {
            const std::optional<std::uint64_t> n = parsed_number(value);
            if (!n || *n == 0 || *n > max_alignment || (*n & (*n - 1)) != 0) {
              return "must be a power of two from 1 to " + std::to_string(max_alignment);
            }
            return {};
          },
          ""));
}

// --tag or --spare: a record field of `bits` bits, in decimal or 0x.
template <typename Target>
void add_record_field(CLI::App& command, const char* name, Target& field, unsigned bits,
                      const std::string& description) {
  const std::uint64_t most = (std::uint64_t{1} << bits) - 1;
  command.add_option(name, field, description)
      ->type_name("N")
      ->check(CLI::Validator(
          [most](const std::string& value) -> std::string {
            if (const std::optional<std::uint64_t> n = parsed_number(value); !n || *n > most) {
              return "must be a number from 0 to " + std::to_string(most) +
                     ", in decimal or as 0x followed by hexadecimal digits";
            }
            return {};
          },
          ""));
}

// --entry, which picks entries by their numbers in the listing.
void add_entry_numbers(CLI::App& command, std::vector<std::string>& numbers,
                       const std::string& description) {
  command.add_option("--entry", numbers, description)
      ->type_name("N")
      ->expected(1)
      ->allow_extra_args(false)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
      ->check(CLI::Validator([](const std::string& value) { return entry_numbers_problem(value); },
                             ""));
}

// The NAME arguments, --entry and --literal of a command that picks entries.
CLI::Option* add_entry_choice(CLI::App& command, entry_choice& choice,
                              const std::string& names_description) {
  CLI::Option* names =
      command.add_option("NAME", choice.names, names_description)->transform(verbatim);
  add_entry_numbers(command, choice.numbers,
                    "also the entries of these numbers, as list numbers them: N, N-M, or a comma "
                    "list of them; may be repeated");
  command.add_flag("--literal", choice.literal,
                   "every NAME is an entry's exact name, never a pattern");
  return names;
}

// Parsing stops when a command that needs entries is given none.
void require_entries(const entry_choice& choice) {
  if (choice.names.empty() && choice.numbers.empty()) throw CLI::RequiredError("NAME");
}

// The options every edit takes.
void add_edit_options(CLI::App& command, edit_options& options, const std::string& what) {
  command.add_flag("-n,--dry-run", options.dry_run,
                   "say, one line per entry, what " + what + " would do, and change nothing");
  command.add_flag("-v,--verbose", options.verbose, "say, one line per entry, what was done");
  command.add_flag("--in-place", options.in_place,
                   "change the archive's own file, with no copy: new data go into free space, "
                   "then the records change (see qvx(1) for what a crash leaves)");
}

// Parsing stops when neither FILE nor -T gives anything to pack.
void require_inputs(const input_request& inputs) {
  if (inputs.files.empty() && !inputs.files_from) throw CLI::RequiredError("FILE");
}

// What went wrong on the command line of `parsed` (the command whose line it
// was, or qvx's own), in qvx's words: lower case, and naming the command.
std::string usage_problem(const CLI::ParseError& error, const CLI::App& parsed,
                          const std::string& command) {
  const std::string name = error.get_name();
  std::string what = error.what();
  // An unknown option ("list -x") leaves the arguments after it unread, so
  // that a missing ARCHIVE or NAME is only its consequence.
  if (const std::vector<std::string> extra = parsed.remaining();
      !extra.empty() && (name == "RequiredError" || what.starts_with("The following argument"))) {
    std::string arguments;
    for (const std::string& argument : extra) {
      arguments += (arguments.empty() ? "" : " ") + verbatim(argument);
    }
    return command + " does not take " + arguments;
  }
  if (name == "RequiredError") {
    // "ARCHIVE is required", or "A subcommand is required"
    if (what.starts_with("A subcommand")) return "no command given";
    return command + " needs " + what.substr(0, what.find(' '));
  }
  if (const std::size_t colon = what.find(": "); what.starts_with("The following argument")) {
    return command + " does not take " +
           (colon == std::string::npos ? std::string{"these arguments"} : what.substr(colon + 2));
  }
  if (name == "ExcludesError") {
    // "--json excludes --names"
    const std::size_t at = what.find(" excludes ");
    return what.substr(0, at) + " and " + what.substr(at + 10) + " cannot be given together";
  }
  if (name == "ArgumentMismatch" && what.find(": At Most ") != std::string::npos) {
    return what.substr(0, what.find(':')) + " may be given only once";
  }
  if (name == "ArgumentMismatch" && what.find("required") != std::string::npos) {
    return what.substr(0, what.find(':')) + " needs a value";
  }
  if (!what.empty()) what[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(what[0])));
  return what;
}

// How many letters must be added, dropped, changed or swapped with the next
// to make `a` into `b`.
std::size_t edit_distance(std::string_view a, std::string_view b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min(
          {d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

// The command meant by `word`, which is none: the one that other archivers
// call so, or the one within two typing mistakes of it; empty when none is.
std::string meant_command(std::string_view word, const CLI::App& app) {
  static constexpr std::pair<std::string_view, std::string_view> other_words[] = {
      {"add", "update"}, {"a", "update"}, {"u", "update"}, {"rm", "delete"}, {"remove", "delete"},
      {"d", "delete"},   {"ls", "list"},  {"t", "list"},   {"x", "extract"}, {"c", "create"},
  };
  for (const auto& [other, ours] : other_words) {
    if (word == other) return std::string{ours};
  }
  std::string closest;
  std::size_t best = 3;
  for (const CLI::App* command : app.get_subcommands({})) {
    const std::size_t distance = edit_distance(word, command->get_name());
    // Not every word of three letters or fewer is two mistakes from "cat".
    if (distance < best && distance < word.size()) {
      best = distance;
      closest = command->get_name();
    }
  }
  return closest;
}

// "qvx: 'ls' is not a command; did you mean 'list'? (see qvx --help)"
void report_not_a_command(std::string_view word, const CLI::App& app) {
  const std::string meant = meant_command(word, app);
  std::fprintf(stderr, "qvx: '%s' is not a command%s (see qvx --help)\n",
               printable_name(platform::displayed_path(std::string{word})).c_str(),
               meant.empty() ? "" : ("; did you mean '" + meant + "'?").c_str());
}

// Reports a command line that does not start with a command: a mistyped
// one, or the archive put first. Returns false when there is nothing to
// report.
bool report_missing_command(const CLI::App& app, std::span<const char* const> args) {
  if (args.size() < 2 || args[1][0] == '-') return false;
  const auto is_command = [&](std::string_view word) {
    const std::vector<const CLI::App*> commands = app.get_subcommands({});
    return std::any_of(commands.begin(), commands.end(),
                       [&](const CLI::App* command) { return command->get_name() == word; });
  };
  if (is_command(args[1])) return false;
  const std::string first = printable_name(platform::displayed_path(args[1]));
  for (std::size_t i = 2; i < args.size(); ++i) {
    if (is_command(args[i])) {
      std::fprintf(stderr, "qvx: the command comes first: qvx %s %s ... (see qvx --help)\n",
                   args[i], first.c_str());
      return true;
    }
  }
  report_not_a_command(args[1], app);
  return true;
}

// Prints the help of `app`, or of its command `name`, on standard output.
exit_status print_help(const CLI::App& app, const std::string& name) {
  const CLI::App* shown = &app;
  if (!name.empty()) {
    try {
      shown = app.get_subcommand(name);
    } catch (const CLI::OptionNotFound&) {
      report_not_a_command(name, app);
      return exit_status::fatal;
    }
  }
  // Not shown->help(), which shows the help of the command being run.
  std::cout << app.get_formatter()->make_help(shown, shown == &app ? "qvx" : "qvx " + name,
                                              CLI::AppFormatMode::Normal);
  std::cout.flush();
  if (std::cout.fail()) {
    report("standard output", "write error");
    return exit_status::problems;
  }
  return exit_status::success;
}

}  // namespace

exit_status run_command_line(std::span<const char* const> args) {
  CLI::App app{"List, check, unpack, create and edit QVX archives.", "qvx"};
  // "/tmp/a.qvx" is a path, also on Windows.
  app.allow_windows_style_options(false);
  app.set_version_flag("--version", "qvx " QVX_VERSION, "print the version and exit");
  app.require_subcommand(1);
  app.footer("Exit status: 0 done, 1 problems found or entries left out, 2 nothing done.");
  // Placeholders say what an argument is; no parser words such as TEXT or
  // REQUIRED. Commands made after this share these labels.
  app.get_formatter()->label("TEXT", "");
  app.get_formatter()->label("REQUIRED", "");
  app.get_formatter()->label("SUBCOMMAND", "COMMAND");
  app.get_formatter()->label("Positionals", "Arguments");
  app.set_help_flag("-h,--help", "print this help and exit");

  std::function<exit_status()> chosen;

  list_request list;
  CLI::App* list_command = add_command(app, "list", "Show the entries without unpacking anything.",
                                       chosen, [&] { return run_list(list); });
  add_archive(*list_command, list.archive, "the archive");
  add_entry_choice(*list_command, list.choice,
                   "only the entries of these names, or matching these patterns (see qvx(1), "
                   "Choosing entries)");
  CLI::Option* json =
      list_command->add_flag("--json", list.json, "one JSON object per entry, for scripts");
  CLI::Option* names =
      list_command->add_flag("--names", list.names, "only the entries' names, one a line");
  json->excludes(names);
  list_command->add_flag("--hex", list.hex, "offsets, sizes, tags and spares in hexadecimal")
      ->excludes(json)
      ->excludes(names);
  list_command
      ->add_flag("--human-readable", list.readable,
                 "sizes in KiB, MiB and GiB, as ls -h shows them")
      ->excludes(json)
      ->excludes(names);
  add_excludes(*list_command, list.excludes, "do not list");
  add_salvage(*list_command, list.salvage, "list");
  add_charset(*list_command, list.charset);

  check_request check;
  CLI::App* check_command = add_command(
      app, "check", "Report everything wrong with the archive's directory: 0 clean, 1 problems.",
      chosen, [&] { return run_check(check); });
  add_archive(*check_command, check.archive, "the archive");
  add_charset(*check_command, check.charset);

  extract_request extract;
  CLI::App* extract_command =
      add_command(app, "extract", "Unpack the entries, or those named, as qvxreader does.", chosen,
                  [&] { return run_extract(extract); });
  add_archive(*extract_command, extract.archive, "the archive");
  add_entry_choice(*extract_command, extract.choice,
                   "only the entries of these names, or matching these patterns (*, ?, [...]; "
                   "put -- before the first NAME when one begins with -)");
  add_excludes(*extract_command, extract.excludes, "do not unpack");
  extract_command
      ->add_option("-C,--directory", extract.directory,
                   "unpack into DIR, which must exist, instead of the working directory")
      ->type_name("DIR")
      ->transform(verbatim);
  extract_command->add_flag("-k,--keep", extract.keep_existing,
                            "never replace an existing file (the entry is reported)");
  extract_command->add_flag("-v,--verbose", extract.verbose, "print each entry's name");
  add_salvage(*extract_command, extract.salvage, "unpack");
  extract_command->add_flag("--paths", extract.paths,
                            "take '\\' and '/' in names as folders, made below the target "
                            "directory as needed (never through a symbolic link)");
  add_charset(*extract_command, extract.charset);

  cat_request cat;
  CLI::App* cat_command =
      add_command(app, "cat", "Write the bytes of the entries named to standard output.", chosen,
                  [&] { return run_cat(cat); });
  add_archive(*cat_command, cat.archive, "the archive");
  add_entry_choice(*cat_command, cat.choice,
                   "the entries, in table order: names, or patterns (*, ?, [...]; put -- before "
                   "the first NAME when one begins with -)");
  add_charset(*cat_command, cat.charset);

  diff_request diff;
  CLI::App* diff_command = add_command(
      app, "diff",
      "Compare two archives entry by entry: 0 the same entries, 1 they differ, 2 trouble.", chosen,
      [&] { return run_diff(diff); });
  add_archive(*diff_command, diff.old_archive, "the archive to compare from");
  diff_command->add_option("OTHER", diff.new_archive, "the archive to compare it with")
      ->required()
      ->transform(verbatim);
  diff_command->add_flag("--json", diff.json, "one JSON object per difference, one a line");
  diff_command->add_flag("-v,--verbose", diff.verbose,
                         "also the entries whose data only moved to another offset");
  add_charset(*diff_command, diff.charset);

  create_request create;
  CLI::App* create_command =
      add_command(app, "create", "Pack files into a new archive, in the order given.", chosen,
                  [&] { return run_create(create); });
  add_archive(*create_command, create.archive, "the archive to write");
  add_inputs(*create_command, create.inputs);
  create_command->add_flag("-f,--force", create.force,
                           "replace an existing file, even an archive (qvx update changes one)");
  add_alignment(*create_command, create.alignment,
                "start every entry's data at a multiple of N bytes (a power of two up to 65536)");
  add_charset(*create_command, create.charset);

  update_request update;
  CLI::App* update_command = add_command(
      app, "update",
      "Replace the entries named like the files, in place, and add the others at the end.", chosen,
      [&] { return run_update(update); });
  add_archive(*update_command, update.archive, "the archive to change");
  add_inputs(*update_command, update.inputs);
  add_charset(*update_command, update.charset);
  add_edit_options(*update_command, update.options, "update");
  update_command->add_flag("--no-add", update.no_add,
                           "only replace: a file whose name no entry has is an error");
  add_alignment(*update_command, update.options.alignment,
                "put data that move at multiples of N bytes (default: the archive's own "
                "alignment)");
  add_entry_numbers(*update_command, update.numbers,
                    "replace the entry of number N with the one FILE, keeping its name");
  add_record_field(*update_command, "--tag", update.tag, 16,
                   "the tag of the entries added (0 to 65535; decimal or 0x...)");
  add_record_field(*update_command, "--spare", update.spare, 32,
                   "the spare field of the entries added (0 to 4294967295; decimal or 0x...)");

  delete_request erase;
  CLI::App* delete_command = add_command(app, "delete", "Remove every entry of the names given.",
                                         chosen, [&] { return run_delete(erase); });
  add_archive(*delete_command, erase.archive, "the archive to change");
  add_entry_choice(*delete_command, erase.choice,
                   "the entries to remove: names, or patterns (*, ?, [...]; put -- before the "
                   "first NAME when one begins with -)");
  add_charset(*delete_command, erase.charset);
  add_edit_options(*delete_command, erase.options, "delete");

  repack_request repack;
  CLI::App* repack_command = add_command(
      app, "repack",
      "Lay the archive out anew as create does, with its entries' order, names and fields kept, "
      "and drop the bytes that belong to no entry.",
      chosen, [&] { return run_repack(repack); });
  add_archive(*repack_command, repack.archive, "the archive to lay out anew");
  add_alignment(*repack_command, repack.alignment,
                "start every entry's data at a multiple of N bytes (a power of two up to 65536)");

  rename_request rename;
  CLI::App* rename_command =
      add_command(app, "rename", "Change the name of one entry; nothing else changes.", chosen,
                  [&] { return run_rename(rename); });
  add_archive(*rename_command, rename.archive, "the archive to change");
  rename_command
      ->add_option("NAME", rename.names,
                   "OLD NEW: the entry's exact name and its new name; with --entry, only NEW")
      ->required()
      ->expected(1, 2)
      ->transform(verbatim);
  add_entry_numbers(*rename_command, rename.numbers, "rename the entry of number N");
  add_charset(*rename_command, rename.charset);
  add_edit_options(*rename_command, rename.options, "rename");

  set_request set;
  CLI::App* set_command =
      add_command(app, "set", "Change the tag or spare field of entries; nothing else changes.",
                  chosen, [&] { return run_set(set); });
  add_archive(*set_command, set.archive, "the archive to change");
  set_command->add_option("NAME", set.choice.names, "the entry's exact name (or give --entry)")
      ->expected(0, 1)
      ->transform(verbatim);
  add_entry_numbers(*set_command, set.choice.numbers,
                    "the entries of these numbers: N, N-M, or a comma list of them; may be "
                    "repeated");
  add_record_field(*set_command, "--tag", set.tag, 16, "the new tag (0 to 65535)");
  add_record_field(*set_command, "--spare", set.spare, 32, "the new spare field (0 to 4294967295)");
  add_charset(*set_command, set.charset);
  add_edit_options(*set_command, set.options, "set");

  view_request view;
  CLI::App* view_command = add_command(
      app, "view",
      "Show the archive in a web browser, served by qvx on this machine only until Ctrl+C.", chosen,
      [&] { return run_view(view); });
  add_archive(*view_command, view.archive, "the archive to show");
  view_command
      ->add_option("--port", view.port, "listen on port N of 127.0.0.1 (default: any free one)")
      ->type_name("N")
      ->check(CLI::Range(1, 65535));
  view_command->add_flag("--no-browser", view.no_browser,
                         "only print the address (with its secret token); open no browser");
  view_command->add_flag("--read-only", view.read_only, "refuse every change to the archive");
  add_charset(*view_command, view.charset);

  std::string help_topic;
  CLI::App* help_command = add_command(app, "help", "Describe qvx, or one command.", chosen,
                                       [&] { return print_help(app, help_topic); });
  help_command->add_option("COMMAND", help_topic, "the command to describe")->transform(verbatim);

  if (report_missing_command(app, args)) return exit_status::fatal;
  try {
    // CLI11 takes the arguments after the program's name, last first.
    std::vector<std::string> reversed;
    for (std::size_t i = args.size(); i > 1; --i) reversed.push_back(marked(args[i - 1]));
    app.parse(reversed);
    if (create_command->parsed()) require_inputs(create.inputs);
    if (update_command->parsed()) require_inputs(update.inputs);
    if (cat_command->parsed()) require_entries(cat.choice);
    if (delete_command->parsed()) require_entries(erase.choice);
  } catch (const CLI::ParseError& error) {
    if (error.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
      app.exit(error);  // --help or --version, through std::cout
      std::cout.flush();
      if (std::cout.fail()) {
        report("standard output", "write error");
        return exit_status::problems;
      }
      return exit_status::success;
    }
    const std::string path = command_path(app);
    std::fflush(stdout);
    const std::string command = path == "qvx" ? path : path.substr(4);  // "list"
    const std::vector<CLI::App*> parsed = app.get_subcommands();
    std::fprintf(
        stderr, "qvx: %s (see %s --help)\n",
        printable_name(usage_problem(error, parsed.empty() ? app : *parsed.back(), command))
            .c_str(),
        path.c_str());
    std::fflush(stderr);
    return exit_status::fatal;
  }
  return chosen();
}

}  // namespace qvx::cli
