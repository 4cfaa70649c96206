// qvx view: the archive served over HTTP to a browser on this machine.
// One thread runs every connection as a coroutine, so a client that stalls
// holds up no other; each read and write has a deadline.
#include <algorithm>
// Asio 1.74 uses std::exchange without including <utility>.
#include <utility>
// clang-format off
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
// clang-format on
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "archive/diagnostic.h"
#include "archive/entry_name.h"
#include "platform/platform.h"
#include "platform/temporary_name.h"
#include "qvx/commands.h"
#include "qvx/entry_selection.h"
#include "qvx/list_json.h"
#include "qvx/opened_archive.h"
#include "view/http_rules.h"
#include "view/page_files.h"

namespace qvx::cli {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using view::byte_range;
using view::range_kind;

// A client that sends nothing for this long is dropped.
constexpr auto idle_timeout = std::chrono::seconds(30);
// Entries are sent in pieces of this size, never read whole.
constexpr std::size_t chunk_size = std::size_t{64} << 10U;
constexpr std::size_t header_limit = std::size_t{16} << 10U;

constexpr std::string_view page_policy =
    "default-src 'self'; frame-ancestors 'none'; object-src 'none'";
constexpr std::string_view entry_policy = "sandbox; default-src 'none'";

// The archive as the viewer last read it: its directory and names, with
// the file closed again (see entry_reply).
struct snapshot {
  opened_archive archive;
  platform::file_facts facts;
  std::uint64_t generation = 0;
  std::string json;  // GET /api/archive
};

struct server_state {
  std::string path;
  std::optional<std::string> charset;
  std::shared_ptr<const snapshot> current;
  std::string secret;
  std::string cookie_name;  // one per port: two viewers on one machine keep their own
  std::uint16_t port = 0;
  bool read_only = false;
  std::string trouble;  // why the archive on disk could not be read again, if it could not
};

using request_header = http::request_header<>;
using text_response = http::response<http::string_body>;

std::string_view text_of(beast::string_view text) { return {text.data(), text.size()}; }
beast::string_view field_text(std::string_view text) { return {text.data(), text.size()}; }

// What the server does with a request: send `ready`, stream part of an
// entry with `header`, or take the body for a change.
struct entry_stream {
  std::shared_ptr<const platform::input_file> file;
  std::uint64_t offset = 0;  // in the archive file
  std::uint64_t length = 0;
  bool head = false;  // HEAD: the header only
};

enum class change_kind { replace, add, remove, patch };

struct change {
  change_kind kind = change_kind::replace;
  std::size_t index = 0;  // the entry, for all but add
  std::string name;       // add: the new entry's name
  std::uint64_t generation = 0;
};

struct reply {
  std::optional<text_response> ready;
  http::response<http::empty_body> header;
  entry_stream entry;
  std::optional<change> asked;
};

void add_common_fields(http::response_header<>& header) {
  header.set(http::field::cache_control, "no-store");
  header.set("X-Content-Type-Options", "nosniff");
  header.set("Referrer-Policy", "no-referrer");
}

text_response text_reply(http::status status, unsigned version, std::string_view type,
                         std::string body) {
  text_response response{status, version};
  add_common_fields(response.base());
  response.set(http::field::content_type, field_text(type));
  response.body() = std::move(body);
  response.prepare_payload();
  return response;
}

reply refused(http::status status, unsigned version, std::string why) {
  return {
      text_reply(status, version, "text/plain; charset=utf-8", std::move(why) + "\n"), {}, {}, {}};
}

// What the type column shows: the type an entry is served as, or whether
// it looks like text.
std::string_view detected_type(const opened_archive& archive, std::size_t i) {
  const archive_entry& entry = archive.directory.entries[i];
  std::byte head[64] = {};
  const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(entry.size, 64));
  const platform::io_result got =
      archive.file.read_at(entry.offset, std::span<std::byte>{head, wanted});
  const std::span<const std::byte> bytes{head, static_cast<std::size_t>(got.bytes)};
  const std::string_view type = view::inline_media_type(bytes);
  if (!type.empty()) return type;
  return view::looks_like_text(bytes) ? "text/plain" : "application/octet-stream";
}

std::string archive_json(const opened_archive& archive, const server_state& state,
                         std::uint64_t generation) {
  nlohmann::ordered_json entries = nlohmann::ordered_json::array();
  for (std::size_t i = 0; i < archive.directory.entries.size(); ++i) {
    nlohmann::ordered_json entry = entry_json(archive, i);
    entry["type"] = detected_type(archive, i);
    entries.push_back(std::move(entry));
  }
  const nlohmann::ordered_json document = {{"path", state.path},
                                           {"read_only", state.read_only},
                                           {"charset", state.charset.value_or("")},
                                           {"generation", generation},
                                           {"entries", std::move(entries)}};
  return document.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

// Reports made while it lives, gathered for the page instead of standard
// error. The server runs one thing at a time, so one at a time is set.
class gathered_reports final : public report_sink {
 public:
  gathered_reports() { set_report_sink(this); }
  ~gathered_reports() override { set_report_sink(nullptr); }
  gathered_reports(const gathered_reports&) = delete;
  gathered_reports& operator=(const gathered_reports&) = delete;
  void take(std::string_view line) override {
    text_.append(line);
    text_ += '\n';
  }
  [[nodiscard]] const std::string& text() const { return text_; }

 private:
  std::string text_;
};

// Reads the archive again when the file at its path is no longer the one
// read last: another program, or the viewer itself, changed it.
void refresh(server_state& state) {
  platform::error_code error = 0;
  const platform::file_facts facts = platform::examine(state.path, error);
  const platform::file_facts& had = state.current->facts;
  if (!error && facts.same_file(had) && facts.size == had.size && facts.modified == had.modified) {
    return;
  }
  gathered_reports reports;
  name_charset charset;
  std::optional<opened_archive> archive;
  if (open_charset(state.charset, charset)) archive = open_archive(state.path, "", charset);
  if (!archive) {
    state.trouble = reports.text().empty() ? "the archive cannot be read" : reports.text();
    return;
  }
  auto next = std::make_shared<snapshot>();
  next->archive = std::move(*archive);
  next->facts = facts;  // as before the read: a change since is seen next time
  next->generation = state.current->generation + 1;
  next->json = archive_json(next->archive, state, next->generation);
  next->archive.file = platform::input_file{};  // see entry_reply
  state.current = std::move(next);
  state.trouble.clear();
}

// A name a download may suggest: only letters, digits, '.', '-' and '_',
// or none, so that no quote or separator reaches the header.
std::string download_name(std::string_view name, std::size_t number) {
  const bool plain =
      !name.empty() && name.front() != '.' && std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '-' || c == '_';
      });
  return plain ? std::string{name} : "entry-" + std::to_string(number);
}

// The entry of number `text` (from 1), or nothing.
std::optional<std::size_t> entry_index(std::string_view text, std::size_t count) {
  std::size_t number = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (text.empty() || text[0] == '0' || error != std::errc{} || end != text.data() + text.size() ||
      number == 0 || number > count) {
    return std::nullopt;
  }
  return number - 1;
}

reply entry_reply(const request_header& request, const server_state& state, std::size_t index) {
  const unsigned version = request.version();
  const opened_archive& archive = state.current->archive;
  const archive_entry& entry = archive.directory.entries[index];
  const byte_range range = view::requested_range(text_of(request[http::field::range]), entry.size);
  const auto sandboxed = [](reply answer) {
    http::response_header<>& header = answer.ready ? answer.ready->base() : answer.header;
    header.set("Content-Security-Policy", field_text(entry_policy));
    return answer;
  };
  if (range.kind == range_kind::malformed) {
    return sandboxed(refused(http::status::bad_request, version, "malformed Range"));
  }
  if (range.kind == range_kind::unsatisfiable) {
    reply answer = refused(http::status::range_not_satisfiable, version, "range outside the entry");
    answer.ready->set(http::field::content_range, "bytes */" + std::to_string(entry.size));
    return sandboxed(std::move(answer));
  }
  // Opened for this answer alone: Windows replaces no file that is open,
  // so the viewer holds none open between requests. An answer under way
  // reads on from the file it opened.
  platform::error_code error = 0;
  auto file = std::make_shared<platform::input_file>(platform::input_file::open(state.path, error));
  const platform::file_facts opened = file->facts();
  if (error || !opened.same_file(state.current->facts) ||
      opened.size != state.current->facts.size) {
    return sandboxed(
        refused(http::status::service_unavailable, version, "the archive is changing; ask again"));
  }
  std::byte head[16] = {};
  const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(entry.size, 16));
  const platform::io_result got = file->read_at(entry.offset, std::span<std::byte>{head, wanted});
  const std::string_view type = view::inline_media_type(
      std::span<const std::byte>{head, static_cast<std::size_t>(got.bytes)});

  reply answer;
  http::response<http::empty_body>& header = answer.header;
  header.version(version);
  header.result(range.kind == range_kind::part ? http::status::partial_content : http::status::ok);
  add_common_fields(header.base());
  header.set(http::field::accept_ranges, "bytes");
  if (type.empty()) {
    header.set(http::field::content_type, "application/octet-stream");
    header.set(http::field::content_disposition,
               "attachment; filename=\"" + download_name(archive.name(index), index + 1) + "\"");
  } else {
    header.set(http::field::content_type, field_text(type));
  }
  answer.entry.file = std::move(file);
  answer.entry.offset = entry.offset;
  answer.entry.length = entry.size;
  if (range.kind == range_kind::part) {
    header.set(http::field::content_range, "bytes " + std::to_string(range.first) + "-" +
                                               std::to_string(range.first + range.length - 1) +
                                               "/" + std::to_string(entry.size));
    answer.entry.offset += range.first;
    answer.entry.length = range.length;
  }
  header.content_length(answer.entry.length);
  answer.entry.head = request.method() == http::verb::head;
  return sandboxed(std::move(answer));
}

// The largest upload: an entry's size field holds no more.
constexpr std::uint64_t upload_limit = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint64_t patch_limit = std::uint64_t{64} << 10U;

std::filesystem::path as_path(const std::string& utf8) {
  return std::filesystem::path{
      std::u8string{reinterpret_cast<const char8_t*>(utf8.data()), utf8.size()}};
}

std::string as_text(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return {reinterpret_cast<const char*>(text.data()), text.size()};
}

// A folder beside the archive that an upload waits in, under a name of its
// own, until the edit has read it; removed with what it holds. Beside the
// archive, since a temporary folder may be in memory and the upload large.
class upload_folder {
 public:
  explicit upload_folder(const std::string& archive) {
    const std::filesystem::path beside = as_path(archive).parent_path();
    for (int attempt = 0; attempt < 16 && path_.empty(); ++attempt) {
      const std::filesystem::path candidate = beside / as_path(platform::make_temporary_name());
      std::error_code error;
      if (std::filesystem::create_directory(candidate, error)) path_ = candidate;
    }
  }
  ~upload_folder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  upload_folder(const upload_folder&) = delete;
  upload_folder& operator=(const upload_folder&) = delete;
  [[nodiscard]] const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

text_response plain(http::status status, unsigned version, std::string text) {
  return text_reply(status, version, "text/plain; charset=utf-8", std::move(text));
}

exit_status replace_or_add(const server_state& state, const change& asked,
                           const std::string& file) {
  update_request request;
  request.archive = state.path;
  request.charset = state.charset;
  request.inputs.files = {file};
  if (asked.kind == change_kind::replace) request.numbers = {std::to_string(asked.index + 1)};
  return run_update(request);
}

// A PATCH body: {"name": TEXT, "tag": N, "spare": N}, any of them.
exit_status patch_entry(const server_state& state, const change& asked, const std::string& body,
                        std::string& refusal) {
  const nlohmann::json fields = nlohmann::json::parse(body, nullptr, false);
  if (!fields.is_object() || fields.empty()) {
    refusal = "the body must be a JSON object with name, tag or spare";
    return exit_status::fatal;
  }
  for (const auto& [key, value] : fields.items()) {
    const bool known = (key == "name" && value.is_string()) ||
                       ((key == "tag" || key == "spare") && value.is_number_unsigned());
    if (!known) {
      refusal = "unknown or mistyped field \"" + key + "\"";
      return exit_status::fatal;
    }
  }
  const std::string number = std::to_string(asked.index + 1);
  set_request set;
  set.archive = state.path;
  set.charset = state.charset;
  set.choice.numbers = {number};
  if (fields.contains("tag")) {
    const auto tag = fields["tag"].get<std::uint64_t>();
    if (tag > std::numeric_limits<std::uint16_t>::max()) {
      refusal = "tag: must be from 0 to 65535";
      return exit_status::fatal;
    }
    set.tag = static_cast<std::uint16_t>(tag);
  }
  if (fields.contains("spare")) {
    const auto spare = fields["spare"].get<std::uint64_t>();
    if (spare > std::numeric_limits<std::uint32_t>::max()) {
      refusal = "spare: must be from 0 to 4294967295";
      return exit_status::fatal;
    }
    set.spare = static_cast<std::uint32_t>(spare);
  }
  exit_status status = exit_status::success;
  if (fields.contains("name")) {
    rename_request rename;
    rename.archive = state.path;
    rename.charset = state.charset;
    rename.names = {fields["name"].get<std::string>()};
    rename.numbers = {number};
    status = run_rename(rename);
  }
  if (status != exit_status::fatal && (set.tag || set.spare)) status = run_set(set);
  return status;
}

// Makes the change a request asked for, with its body (an upload's file, or
// a PATCH's text) at hand, through the same commands the command line runs.
text_response apply_change(server_state& state, const change& asked, const std::string& file,
                           const std::string& body, unsigned version) {
  refresh(state);
  if (state.current->generation != asked.generation) {
    return plain(http::status::conflict, version,
                 "the archive changed while the request came in; reload the page\n");
  }
  const std::string number = std::to_string(asked.index + 1);
  std::string done;
  std::string refusal;
  exit_status status = exit_status::fatal;
  gathered_reports reports;
  switch (asked.kind) {
    case change_kind::replace:
      status = replace_or_add(state, asked, file);
      done = "replaced entry " + number;
      break;
    case change_kind::add:
      status = replace_or_add(state, asked, file);
      done = "added " + asked.name;
      break;
    case change_kind::remove: {
      delete_request request;
      request.archive = state.path;
      request.charset = state.charset;
      request.choice.numbers = {number};
      status = run_delete(request);
      done = "deleted entry " + number;
      break;
    }
    case change_kind::patch:
      status = patch_entry(state, asked, body, refusal);
      done = "changed entry " + number;
      break;
  }
  refresh(state);
  if (!refusal.empty()) return plain(http::status::bad_request, version, refusal + "\n");
  if (status == exit_status::fatal) return plain(http::status::conflict, version, reports.text());
  return plain(http::status::ok, version, done + "\n" + reports.text());
}

// Why `name` cannot be that of an entry added by POST, or nothing. The
// upload waits in a file of that name, so it must be one plain file name.
std::string_view added_name_refusal(std::string_view name) {
  if (const std::string_view why = name_refusal(name, name_rules::posix); !why.empty()) return why;
  return name_refusal(name, name_rules::windows);
}

// Everything the server decides before a byte of the answer goes out: the
// checks every request passes, then the route.
reply decide(const request_header& request, server_state& state) {
  const unsigned version = request.version();
  if (!view::own_host(text_of(request[http::field::host]), state.port)) {
    return refused(http::status::forbidden, version, "this server answers only to its own address");
  }
  const std::string_view target = text_of(request.target());
  const std::size_t question = std::min(target.find('?'), target.size());
  const std::string_view path = target.substr(0, question);
  const std::string_view query = target.substr(std::min(question + 1, target.size()));
  const http::verb method = request.method();
  const bool reads = method == http::verb::get || method == http::verb::head;

  // The address the program printed carries the secret once; from then on
  // the cookie stands for it, and the address bar no longer shows it.
  if (std::string token; view::query_value(query, "token", token)) {
    if (!reads || !view::same_secret(token, state.secret)) {
      return refused(http::status::forbidden, version, "wrong token");
    }
    text_response moved = text_reply(http::status::see_other, version, "text/plain", "");
    // A path such as //host would send the browser elsewhere.
    const bool plain_path = path.starts_with('/') && !path.starts_with("//");
    moved.set(http::field::location, plain_path ? std::string{path} : "/");
    moved.set(http::field::set_cookie,
              state.cookie_name + "=" + state.secret + "; Path=/; HttpOnly; SameSite=Strict");
    return {std::move(moved), {}, {}, {}};
  }
  const std::string_view header_token = text_of(request["X-QVX-Token"]);
  if (!reads) {
    // A change must come from the page's own script: a form elsewhere can
    // send the cookie, but cannot set this header.
    const std::string_view origin = text_of(request[http::field::origin]);
    if (!origin.empty() && !view::own_origin(origin, state.port)) {
      return refused(http::status::forbidden, version, "foreign origin");
    }
    if (!view::same_secret(header_token, state.secret)) {
      return refused(http::status::forbidden, version, "a change needs the X-QVX-Token header");
    }
  } else {
    const std::string_view given =
        !header_token.empty()
            ? header_token
            : view::cookie_value(text_of(request[http::field::cookie]), state.cookie_name);
    if (given.empty()) {
      reply answer = refused(http::status::unauthorized, version,
                             "open the address qvx view printed, with its token");
      answer.ready->set(http::field::www_authenticate, "QVX-Token");
      return answer;
    }
    if (!view::same_secret(given, state.secret)) {
      return refused(http::status::forbidden, version, "wrong token");
    }
  }

  const auto only_reads = [&](const char* allowed) {
    reply answer = refused(http::status::method_not_allowed, version, "method not allowed");
    answer.ready->set(http::field::allow, allowed);
    return answer;
  };
  const std::string_view file_path = path == "/" ? std::string_view{"/index.html"} : path;
  for (const view::page_file& file : view::page_files()) {
    if (file.path != file_path) continue;
    if (!reads) return only_reads("GET, HEAD");
    std::string bytes{file.bytes};
    // The page's script sends the secret with each change; it cannot read
    // the cookie, which is HttpOnly.
    if (const std::size_t head = bytes.find("<head>");
        file.path == "/index.html" && head != bytes.npos) {
      bytes.insert(head + 6, "\n<meta name=\"qvx-token\" content=\"" + state.secret + "\">");
    }
    text_response page = text_reply(http::status::ok, version, file.media_type, std::move(bytes));
    page.set("Content-Security-Policy", field_text(page_policy));
    page.set("X-Frame-Options", "DENY");
    return {std::move(page), {}, {}, {}};
  }
  if (path == "/api/archive" || path == "/api/status" || path == "/api/select") {
    if (!reads) return only_reads("GET, HEAD");
    refresh(state);
    const snapshot& now = *state.current;
    std::string body;
    if (path == "/api/archive") {
      body = now.json;
    } else if (path == "/api/status") {
      nlohmann::ordered_json status = {{"generation", now.generation}};
      if (!state.trouble.empty()) status["trouble"] = state.trouble;
      body = status.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    } else {
      // The entries the command line would pick with this text.
      std::string pattern;
      if (!view::query_value(query, "pattern", pattern)) {
        return refused(http::status::bad_request, version, "give ?pattern=");
      }
      nlohmann::ordered_json numbers = nlohmann::ordered_json::array();
      const gathered_reports quiet;  // a pattern that picks nothing is no error here
      const entry_choice choice{{pattern}, {}, false};
      if (const auto picked = pick_entries(now.archive, choice, {})) {
        for (std::size_t i = 0; i < picked->size(); ++i) {
          if ((*picked)[i]) numbers.push_back(i + 1);
        }
      }
      body = nlohmann::ordered_json{{"numbers", std::move(numbers)}}.dump();
    }
    return {text_reply(http::status::ok, version, "application/json", std::move(body)), {}, {}, {}};
  }

  // Changes: PUT, PATCH and DELETE of /api/entries/N, POST of /api/entries?name=NAME.
  constexpr std::string_view entries = "/api/entries";
  if (path != entries && !path.starts_with("/api/entries/")) {
    return refused(http::status::not_found, version, "not found");
  }
  refresh(state);
  const std::shared_ptr<const snapshot> now = state.current;
  std::optional<std::size_t> index;
  if (path != entries) {
    index = entry_index(path.substr(entries.size() + 1), now->archive.directory.entries.size());
    if (!index) return refused(http::status::not_found, version, "no such entry");
  }
  if (reads) {
    if (!index) return refused(http::status::not_found, version, "not found");
    return entry_reply(request, state, *index);
  }
  const char* allowed = index ? "GET, HEAD, PUT, PATCH, DELETE" : "POST";
  if (state.read_only) {
    reply answer =
        refused(http::status::method_not_allowed, version, "qvx view was started with --read-only");
    answer.ready->set(http::field::allow, index ? "GET, HEAD" : "");
    return answer;
  }
  change asked;
  asked.generation = now->generation;
  if (index && method == http::verb::put) {
    asked.kind = change_kind::replace;
  } else if (index && method == http::verb::patch) {
    asked.kind = change_kind::patch;
  } else if (index && method == http::verb::delete_) {
    asked.kind = change_kind::remove;
  } else if (!index && method == http::verb::post) {
    asked.kind = change_kind::add;
    if (!view::query_value(query, "name", asked.name) || asked.name.empty()) {
      return refused(http::status::bad_request, version, "give the new entry's ?name=");
    }
    if (const std::string_view why = added_name_refusal(asked.name); !why.empty()) {
      return refused(http::status::bad_request, version,
                     "cannot be an entry's name: " + std::string{why});
    }
    for (std::size_t i = 0; i < now->archive.count(); ++i) {
      if (now->archive.name(i) != asked.name) continue;
      const std::string number = std::to_string(i + 1);
      return refused(
          http::status::conflict, version,
          "entry " + number + " has that name; PUT /api/entries/" + number + " replaces it");
    }
  } else {
    reply answer = refused(http::status::method_not_allowed, version, "method not allowed");
    answer.ready->set(http::field::allow, allowed);
    return answer;
  }
  if (index) asked.index = *index;
  // A page whose table is older than the archive would change the wrong entry.
  if (const std::string_view seen = text_of(request["X-QVX-Generation"]); !seen.empty()) {
    if (seen != std::to_string(now->generation)) {
      return refused(http::status::conflict, version,
                     "the archive has changed since the page read it; reload it");
    }
  }
  reply answer;
  answer.asked = std::move(asked);
  return answer;
}

asio::awaitable<bool> send_entry(beast::tcp_stream& stream, reply& answer) {
  http::response_serializer<http::empty_body> serializer{answer.header};
  stream.expires_after(idle_timeout);
  co_await http::async_write_header(stream, serializer, asio::use_awaitable);
  if (answer.entry.head) co_return answer.header.keep_alive();
  std::vector<std::byte> chunk(static_cast<std::size_t>(
      std::min<std::uint64_t>(chunk_size, std::max<std::uint64_t>(answer.entry.length, 1))));
  std::uint64_t offset = answer.entry.offset;
  std::uint64_t left = answer.entry.length;
  while (left > 0) {
    const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(left, chunk.size()));
    const platform::io_result got =
        answer.entry.file->read_at(offset, std::span<std::byte>{chunk.data(), wanted});
    // A file cut short since: closing the connection tells the client the
    // body is not whole.
    if (got.bytes == 0) co_return false;
    stream.expires_after(idle_timeout);
    co_await asio::async_write(stream,
                               asio::buffer(chunk.data(), static_cast<std::size_t>(got.bytes)),
                               asio::use_awaitable);
    offset += got.bytes;
    left -= got.bytes;
  }
  co_return answer.header.keep_alive();
}

bool is_parse_error(const beast::error_code& error) {
  return error.category() == http::make_error_code(http::error::bad_target).category() &&
         error != http::error::end_of_stream && error != http::error::partial_message;
}

// Takes the body of a change, into a file beside the archive for an upload,
// never whole in memory, then makes the change. The connection ends after:
// what is left of a body refused part-way must not be read as a request.
asio::awaitable<text_response> take_change(beast::tcp_stream& stream, beast::flat_buffer& buffer,
                                           http::request_parser<http::empty_body>& header,
                                           server_state& state, const change& asked) {
  const unsigned version = header.get().version();
  const bool upload = asked.kind == change_kind::replace || asked.kind == change_kind::add;
  const std::uint64_t limit = upload ? upload_limit : patch_limit;
  if (const auto length = header.content_length(); length && *length > limit) {
    co_return plain(http::status::payload_too_large, version,
                    upload ? "an entry holds at most 4294967295 bytes\n" : "body too large\n");
  }
  if (beast::iequals(header.get()[http::field::expect], "100-continue")) {
    const http::response<http::empty_body> go_on{http::status::continue_, version};
    stream.expires_after(idle_timeout);
    co_await http::async_write(stream, go_on, asio::use_awaitable);
  }
  std::optional<upload_folder> folder;
  std::ofstream file;
  std::string file_path;
  if (upload) {
    folder.emplace(state.path);
    if (folder->path().empty()) {
      co_return plain(http::status::internal_server_error, version,
                      "cannot make a folder for the upload beside the archive\n");
    }
    const std::filesystem::path in =
        folder->path() / as_path(asked.kind == change_kind::add ? asked.name : "upload");
    file_path = as_text(in);
    file.open(in, std::ios::binary | std::ios::trunc);
  }
  http::request_parser<http::buffer_body> parser{std::move(header)};
  parser.body_limit(limit);
  std::string body;
  std::vector<char> piece(chunk_size);
  while (!parser.is_done()) {
    parser.get().body().data = piece.data();
    parser.get().body().size = piece.size();
    beast::error_code error;
    stream.expires_after(idle_timeout);
    co_await http::async_read(stream, buffer, parser,
                              asio::redirect_error(asio::use_awaitable, error));
    if (error == http::error::body_limit) {
      co_return plain(http::status::payload_too_large, version, "body too large\n");
    }
    if (error && error != http::error::need_buffer) throw beast::system_error{error};
    const std::size_t got = piece.size() - parser.get().body().size;
    if (upload) {
      file.write(piece.data(), static_cast<std::streamsize>(got));
    } else {
      body.append(piece.data(), got);
    }
  }
  if (upload && !file.flush()) {
    co_return plain(http::status::insufficient_storage, version,
                    "cannot store the upload beside the archive\n");
  }
  file.close();
  co_return apply_change(state, asked, file_path, body, version);
}

asio::awaitable<void> serve_connection(tcp::socket socket, server_state& state) {
  beast::tcp_stream stream{std::move(socket)};
  beast::flat_buffer buffer;
  try {
    for (bool keep_alive = true; keep_alive;) {
      http::request_parser<http::empty_body> parser;
      parser.header_limit(header_limit);
      // take_change judges a body's length. (Not boost::none: Beast 1.74
      // compares a length with it as if it were 0.)
      parser.body_limit(std::numeric_limits<std::uint64_t>::max());
      beast::error_code error;
      stream.expires_after(idle_timeout);
      co_await http::async_read_header(stream, buffer, parser,
                                       asio::redirect_error(asio::use_awaitable, error));
      if (error) {
        if (is_parse_error(error)) {
          text_response bad =
              text_reply(http::status::bad_request, 11, "text/plain", "malformed request\n");
          bad.keep_alive(false);
          stream.expires_after(idle_timeout);
          co_await http::async_write(stream, bad, asio::use_awaitable);
        }
        break;
      }
      const request_header& request = parser.get().base();
      reply answer = decide(request, state);
      // A body nothing reads would be taken for the next request.
      const bool keep = parser.get().keep_alive() && parser.is_done();
      if (answer.asked) {
        text_response done = co_await take_change(stream, buffer, parser, state, *answer.asked);
        done.keep_alive(false);
        stream.expires_after(idle_timeout);
        co_await http::async_write(stream, done, asio::use_awaitable);
        keep_alive = false;
      } else if (answer.ready) {
        answer.ready->keep_alive(keep);
        stream.expires_after(idle_timeout);
        co_await http::async_write(stream, *answer.ready, asio::use_awaitable);
        keep_alive = keep;
      } else {
        answer.header.keep_alive(keep);
        keep_alive = co_await send_entry(stream, answer);
      }
    }
  } catch (const std::exception&) {
    // A client that went away or timed out: only its connection ends.
  }
  beast::error_code ignored;
  stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
}

asio::awaitable<void> accept_connections(tcp::acceptor& acceptor, server_state& state) {
  asio::steady_timer pause{acceptor.get_executor()};
  for (;;) {
    beast::error_code error;
    tcp::socket socket =
        co_await acceptor.async_accept(asio::redirect_error(asio::use_awaitable, error));
    if (error == asio::error::operation_aborted) co_return;
    if (error) {
      // Out of descriptors, most likely: wait for connections to end.
      pause.expires_after(std::chrono::milliseconds(100));
      co_await pause.async_wait(asio::redirect_error(asio::use_awaitable, error));
      continue;
    }
    asio::co_spawn(acceptor.get_executor(), serve_connection(std::move(socket), state),
                   asio::detached);
  }
}

exit_status serve(server_state& state, const view_request& request) {
  asio::io_context context{1};
  tcp::acceptor acceptor{context};
  const tcp::endpoint endpoint{asio::ip::make_address_v4("127.0.0.1"), request.port};
  beast::error_code error;
  acceptor.open(endpoint.protocol(), error);
#if !defined(_WIN32)
  // A port given again soon after must not wait out TIME_WAIT. (On Windows
  // the same option would let another program take the port over.)
  if (!error) acceptor.set_option(asio::socket_base::reuse_address(true), error);
#endif
  if (!error) acceptor.bind(endpoint, error);
  if (!error) acceptor.listen(asio::socket_base::max_listen_connections, error);
  if (error) {
    report("127.0.0.1:" + std::to_string(request.port), "cannot listen: " + error.message());
    return exit_status::fatal;
  }
  state.port = acceptor.local_endpoint().port();
  state.cookie_name = "qvx_token_" + std::to_string(state.port);

  asio::signal_set signals{context, SIGINT, SIGTERM};
  signals.async_wait([&](const beast::error_code&, int) { context.stop(); });
  asio::co_spawn(context, accept_connections(acceptor, state), asio::detached);

  const std::string url =
      "http://127.0.0.1:" + std::to_string(state.port) + "/?token=" + state.secret;
  std::printf("%s\n", url.c_str());
  if (std::fflush(stdout) != 0) {
    report("standard output", "write error");
    return exit_status::fatal;
  }
  if (!request.no_browser) {
    if (const platform::error_code failed = platform::open_in_browser(url)) {
      report("the browser",
             "cannot open: " + platform::error_text(failed) + "; open the address above instead");
    }
  }
  context.run();
  return exit_status::success;
}

}  // namespace

exit_status run_view(const view_request& request) {
  name_charset charset;
  if (!open_charset(request.charset, charset)) return exit_status::fatal;
  std::optional<opened_archive> archive = open_archive(request.archive, "", charset);
  if (!archive) return exit_status::fatal;
  // 128 bits: no one guesses it, however many requests they try.
  std::byte secret[16];
  if (const platform::error_code error = platform::random_bytes(secret)) {
    report("the random number generator", platform::error_text(error));
    return exit_status::fatal;
  }
  server_state state;
  state.path = request.archive;
  state.charset = request.charset;
  state.secret = view::hex_text(secret);
  state.read_only = request.read_only;
  platform::error_code error = 0;
  auto first = std::make_shared<snapshot>();
  first->facts = platform::examine(request.archive, error);
  first->archive = std::move(*archive);
  first->json = archive_json(first->archive, state, 0);
  first->archive.file = platform::input_file{};  // see entry_reply
  state.current = std::move(first);
  try {
    return serve(state, request);
  } catch (const std::exception& error) {
    report("qvx view", error.what());
    return exit_status::fatal;
  }
}

}  // namespace qvx::cli
