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
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "archive/diagnostic.h"
#include "platform/platform.h"
#include "qvx/commands.h"
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

struct server_state {
  opened_archive archive;
  std::string archive_json;  // GET /api/archive
  std::string secret;
  std::string cookie_name;  // one per port: two viewers on one machine keep their own
  std::uint16_t port = 0;
  bool read_only = false;
};

using request_header = http::request_header<>;
using text_response = http::response<http::string_body>;

std::string_view text_of(beast::string_view text) { return {text.data(), text.size()}; }
beast::string_view field_text(std::string_view text) { return {text.data(), text.size()}; }

// What the server does with a request: send `ready`, or stream part of an
// entry with `header`.
struct entry_stream {
  std::uint64_t offset = 0;  // in the archive file
  std::uint64_t length = 0;
  bool head = false;  // HEAD: the header only
};

struct reply {
  std::optional<text_response> ready;
  http::response<http::empty_body> header;
  entry_stream entry;
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
  return {text_reply(status, version, "text/plain; charset=utf-8", std::move(why) + "\n"), {}, {}};
}

std::string archive_json(const opened_archive& archive, const std::string& path, bool read_only) {
  nlohmann::ordered_json entries = nlohmann::ordered_json::array();
  for (std::size_t i = 0; i < archive.directory.entries.size(); ++i) {
    entries.push_back(entry_json(archive, i));
  }
  const nlohmann::ordered_json document = {
      {"path", path}, {"read_only", read_only}, {"entries", std::move(entries)}};
  return document.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

// A name a download may suggest: only letters, digits, '.', '-' and '_',
// or none, so that no quote or separator reaches the header.
std::string download_name(const std::string& name, std::size_t number) {
  const bool plain =
      !name.empty() && name.front() != '.' && std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '-' || c == '_';
      });
  return plain ? name : "entry-" + std::to_string(number);
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
  const archive_entry& entry = state.archive.directory.entries[index];
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
  std::byte head[16] = {};
  const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(entry.size, 16));
  const platform::io_result got =
      state.archive.file.read_at(entry.offset, std::span<std::byte>{head, wanted});
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
    header.set(
        http::field::content_disposition,
        "attachment; filename=\"" + download_name(state.archive.names[index], index + 1) + "\"");
  } else {
    header.set(http::field::content_type, field_text(type));
  }
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

// Everything the server decides before a byte of the answer goes out: the
// checks every request passes, then the route.
reply decide(const request_header& request, const server_state& state) {
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
    return {std::move(moved), {}, {}};
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
    text_response page =
        text_reply(http::status::ok, version, file.media_type, std::string{file.bytes});
    page.set("Content-Security-Policy", field_text(page_policy));
    page.set("X-Frame-Options", "DENY");
    return {std::move(page), {}, {}};
  }
  if (path == "/api/archive") {
    if (!reads) return only_reads("GET, HEAD");
    return {text_reply(http::status::ok, version, "application/json", state.archive_json), {}, {}};
  }
  constexpr std::string_view entries = "/api/entries/";
  if (path.starts_with(entries)) {
    const std::optional<std::size_t> index =
        entry_index(path.substr(entries.size()), state.archive.directory.entries.size());
    if (!index) return refused(http::status::not_found, version, "no such entry");
    if (!reads) return only_reads("GET, HEAD");
    return entry_reply(request, state, *index);
  }
  return refused(http::status::not_found, version, "not found");
}

asio::awaitable<bool> send_entry(beast::tcp_stream& stream, const server_state& state,
                                 reply& answer) {
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
        state.archive.file.read_at(offset, std::span<std::byte>{chunk.data(), wanted});
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

asio::awaitable<void> serve_connection(tcp::socket socket, const server_state& state) {
  beast::tcp_stream stream{std::move(socket)};
  beast::flat_buffer buffer;
  try {
    for (bool keep_alive = true; keep_alive;) {
      http::request_parser<http::empty_body> parser;
      parser.header_limit(header_limit);
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
      if (answer.ready) {
        answer.ready->keep_alive(keep);
        stream.expires_after(idle_timeout);
        co_await http::async_write(stream, *answer.ready, asio::use_awaitable);
        keep_alive = keep;
      } else {
        answer.header.keep_alive(keep);
        keep_alive = co_await send_entry(stream, state, answer);
      }
    }
  } catch (const std::exception&) {
    // A client that went away or timed out: only its connection ends.
  }
  beast::error_code ignored;
  stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
}

asio::awaitable<void> accept_connections(tcp::acceptor& acceptor, const server_state& state) {
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
  server_state state{std::move(*archive), {}, view::hex_text(secret), {}, 0, request.read_only};
  state.archive_json = archive_json(state.archive, request.archive, request.read_only);
  try {
    return serve(state, request);
  } catch (const std::exception& error) {
    report("qvx view", error.what());
    return exit_status::fatal;
  }
}

}  // namespace qvx::cli
