// qvx view end to end: the real program, spoken to over HTTP on 127.0.0.1.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>

#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "archive_builder.h"
#include "cli_test.h"
#include "test_support.h"

namespace qvx::test {
namespace {

using clock_type = std::chrono::steady_clock;
constexpr auto deadline_span = std::chrono::seconds(10);

int remaining_ms(clock_type::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
  return static_cast<int>(std::max<long long>(left.count(), 0));
}

// A connection to the server, with every wait bounded.
class connection {
 public:
  explicit connection(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~connection() { ::close(fd_); }
  connection(const connection&) = delete;
  connection& operator=(const connection&) = delete;

  [[nodiscard]] bool connected() const { return connected_; }
  void send(const std::string& bytes) const {
    ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  // Everything until the server closes the connection, or the deadline.
  [[nodiscard]] std::string receive_all() const {
    std::string got;
    const clock_type::time_point deadline = clock_type::now() + deadline_span;
    for (;;) {
      pollfd ready{fd_, POLLIN, 0};
      if (::poll(&ready, 1, remaining_ms(deadline)) <= 0) break;
      char buffer[65536];
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
  }

 private:
  int fd_;
  bool connected_ = false;
};

struct response {
  int status = 0;
  std::string head;  // the status line and fields
  std::string body;

  // A field's value, by its exact name; empty when it is not there.
  [[nodiscard]] std::string field(const std::string& name) const {
    const std::size_t at = head.find("\r\n" + name + ": ");
    if (at == std::string::npos) return "";
    const std::size_t start = at + name.size() + 4;
    return head.substr(start, head.find("\r\n", start) - start);
  }
};

response parsed(const std::string& raw) {
  response result;
  const std::size_t end = raw.find("\r\n\r\n");
  if (raw.size() < 12 || end == std::string::npos) return result;
  result.status = std::stoi(raw.substr(9, 3));
  result.head = raw.substr(0, end);
  result.body = raw.substr(end + 4);
  return result;
}

// qvx view running on an archive for the test's lifetime.
class ViewTest : public ::testing::Test {
 protected:
  void start(const std::vector<builder::entry_content>& entries,
             const std::vector<std::string>& options = {}) {
    const std::string archive = (place_ / "shown.qvx").string();
    write_file(archive, builder::build_archive(entries));
    int out[2];
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    // The program that is tested: under Wine, the Windows one.
    std::vector<std::string> args = qvx_command();
    args.insert(args.end(), {"view", "--no-browser"});
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(archive);
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      ::execvp(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    std::string line;
    const clock_type::time_point deadline = clock_type::now() + deadline_span;
    while (line.find('\n') == std::string::npos) {
      pollfd ready{out[0], POLLIN, 0};
      if (::poll(&ready, 1, remaining_ms(deadline)) <= 0) break;
      char buffer[256];
      const ssize_t n = ::read(out[0], buffer, sizeof buffer);
      if (n <= 0) break;
      line.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    const std::string prefix = "http://127.0.0.1:";
    ASSERT_TRUE(line.starts_with(prefix)) << line;
    const std::size_t slash = line.find('/', prefix.size());
    port_ = static_cast<std::uint16_t>(std::stoi(line.substr(prefix.size(), slash)));
    const std::size_t token = line.find("?token=");
    ASSERT_NE(token, std::string::npos) << line;
    secret_ = line.substr(token + 7, line.find_first_of("\r\n") - token - 7);
    EXPECT_GE(secret_.size(), 32U);  // 128 bits in hex
  }

  // Stops the server as a user would and expects it to end with status 0.
  void TearDown() override {
    if (pid_ <= 0) return;
    // Wine hands SIGINT to a Windows program as Ctrl+C; SIGTERM it does
    // not pass on, as Windows has none.
    ::kill(pid_, testing_windows_build() ? SIGINT : SIGTERM);
    int status = -1;
    const clock_type::time_point deadline = clock_type::now() + deadline_span;
    pid_t ended = 0;
    while ((ended = ::waitpid(pid_, &status, WNOHANG)) == 0 && remaining_ms(deadline) > 0) {
      pollfd none{-1, 0, 0};
      ::poll(&none, 0, 10);
    }
    if (ended == 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(list_dir(place_.path()), std::set<std::string>{"shown.qvx"});
  }

  [[nodiscard]] std::string host() const { return "127.0.0.1:" + std::to_string(port_); }

  // One request on a connection of its own; `fields` are whole lines.
  response ask(const std::string& method, const std::string& target,
               const std::vector<std::string>& fields, const std::string& body = "") {
    connection c{port_};
    EXPECT_TRUE(c.connected());
    std::string request = method + " " + target + " HTTP/1.1\r\nConnection: close\r\n";
    for (const std::string& field : fields) request += field + "\r\n";
    if (!body.empty()) request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    c.send(request + "\r\n" + body);
    return parsed(c.receive_all());
  }
  response get(const std::string& target, std::vector<std::string> fields = {}) {
    fields.push_back("Host: " + host());
    fields.push_back("X-QVX-Token: " + secret_);
    return ask("GET", target, fields);
  }

  // A change, with the secret in its header.
  response change(const std::string& method, const std::string& target, const std::string& body,
                  std::vector<std::string> fields = {}) {
    fields.push_back("Host: " + host());
    fields.push_back("X-QVX-Token: " + secret_);
    return ask(method, target, fields, body);
  }

  scratch_dir place_;
  pid_t pid_ = -1;
  std::uint16_t port_ = 0;
  std::string secret_;
};

const std::string png = std::string{"\x89PNG\r\n\x1A\n\0\0\0\rIHDR", 16} + "pixels";
const std::string html = "<!DOCTYPE html><script>alert(1)</script>";
const std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\"><script/></svg>";

TEST_F(ViewTest, EveryRequestNeedsTheSecretAndTheOwnHost) {
  start({{"a.txt", "hello"}});
  const std::string own = "Host: " + host();
  const std::string wrong(secret_.size(), secret_[0] == '0' ? '1' : '0');
  struct refusal {
    std::string target;
    std::vector<std::string> fields;
    int status;
  };
  const std::vector<refusal> refusals = {
      {"/", {own}, 401},
      {"/api/archive", {own}, 401},
      {"/api/entries/1", {own}, 401},
      {"/app.js", {own}, 401},
      {"/", {own, "X-QVX-Token: " + wrong}, 403},
      {"/", {own, "Cookie: qvx_token_" + std::to_string(port_) + "=" + wrong}, 403},
      {"/?token=" + wrong, {own}, 403},
      // Another port's cookie is not this server's.
      {"/", {own, "Cookie: qvx_token_1=" + secret_}, 401},
      {"/", {"Host: evil.example:" + std::to_string(port_), "X-QVX-Token: " + secret_}, 403},
      {"/", {"Host: 127.0.0.1:1", "X-QVX-Token: " + secret_}, 403},
      {"/", {"X-QVX-Token: " + secret_}, 403},
  };
  for (const refusal& r : refusals) {
    const response got = ask("GET", r.target, r.fields);
    EXPECT_EQ(got.status, r.status) << r.target << " " << testing::PrintToString(r.fields);
  }

  // The printed address sets the cookie and sends the browser to the bare path.
  const response moved = ask("GET", "/?token=" + secret_, {own});
  EXPECT_EQ(moved.status, 303);
  EXPECT_EQ(moved.field("Location"), "/");
  const std::string cookie = moved.field("Set-Cookie");
  EXPECT_EQ(cookie, "qvx_token_" + std::to_string(port_) + "=" + secret_ +
                        "; Path=/; HttpOnly; SameSite=Strict");
  const response page =
      ask("GET", "/", {own, "Cookie: other=1; " + cookie.substr(0, cookie.find(';'))});
  EXPECT_EQ(page.status, 200);
  EXPECT_EQ(page.field("Content-Security-Policy"),
            "default-src 'self'; frame-ancestors 'none'; object-src 'none'");
  // No inline script: every script of the page is a file of its own.
  for (std::size_t at = page.body.find("<script"); at != std::string::npos;
       at = page.body.find("<script", at + 1)) {
    const std::string tag = page.body.substr(at, page.body.find('>', at) - at);
    EXPECT_NE(tag.find(" src=\"/"), std::string::npos) << tag;
  }
  const response script = get("/app.js");
  EXPECT_EQ(script.status, 200);
  EXPECT_EQ(script.field("Content-Type"), "text/javascript; charset=utf-8");
  EXPECT_EQ(ask("GET", "//evil.example/?token=" + secret_, {own}).field("Location"), "/");
}

TEST_F(ViewTest, ChangesNeedTheHeaderAndTheOwnOrigin) {
  start({{"a.txt", "hello"}});
  const std::string own = "Host: " + host();
  const std::string cookie = "Cookie: qvx_token_" + std::to_string(port_) + "=" + secret_;
  const std::string header = "X-QVX-Token: " + secret_;
  for (const std::string method : {"PUT", "DELETE"}) {
    EXPECT_EQ(ask(method, "/api/entries/1", {own, cookie}, "new").status, 403) << method;
    EXPECT_EQ(
        ask(method, "/api/entries/1", {own, header, "Origin: http://evil.example"}, "new").status,
        403)
        << method;
  }
  EXPECT_EQ(ask("POST", "/api/entries?name=b", {own, cookie}, "new").status, 403);
  EXPECT_EQ(get("/api/entries/1").body, "hello");
}

TEST_F(ViewTest, EntriesAreServedWithSafeTypesAndRanges) {
  start({{"a.png", png}, {"b.html", html}, {"c.svg", svg}, {"d.txt", "0123456789"}});
  struct typed {
    std::string number;
    std::string type;
    std::string disposition;
    std::string body;
  };
  const std::vector<typed> types = {
      {"1", "image/png", "", png},
      {"2", "application/octet-stream", "attachment; filename=\"b.html\"", html},
      {"3", "application/octet-stream", "attachment; filename=\"c.svg\"", svg},
  };
  for (const typed& t : types) {
    const response got = get("/api/entries/" + t.number);
    EXPECT_EQ(got.status, 200) << t.number;
    EXPECT_EQ(got.field("Content-Type"), t.type) << t.number;
    EXPECT_EQ(got.field("Content-Disposition"), t.disposition) << t.number;
    EXPECT_EQ(got.field("X-Content-Type-Options"), "nosniff") << t.number;
    EXPECT_EQ(got.field("Content-Security-Policy"), "sandbox; default-src 'none'") << t.number;
    EXPECT_EQ(got.field("Accept-Ranges"), "bytes") << t.number;
    EXPECT_EQ(got.body, t.body) << t.number;
  }

  struct ranged {
    std::string range;
    int status;
    std::string content_range;
    std::string body;
  };
  const std::vector<ranged> ranges = {
      {"bytes=2-4", 206, "bytes 2-4/10", "234"},
      {"bytes=7-20", 206, "bytes 7-9/10", "789"},
      {"bytes=8-", 206, "bytes 8-9/10", "89"},
      {"bytes=-3", 206, "bytes 7-9/10", "789"},
      {"bytes=10-12", 416, "bytes */10", ""},
      {"bytes=5-2", 400, "", ""},
      {"bytes=x", 400, "", ""},
  };
  for (const ranged& r : ranges) {
    const response got = get("/api/entries/4", {"Range: " + r.range});
    EXPECT_EQ(got.status, r.status) << r.range;
    EXPECT_EQ(got.field("Content-Range"), r.content_range) << r.range;
    EXPECT_EQ(got.field("Content-Security-Policy"), "sandbox; default-src 'none'") << r.range;
    if (r.status == 206) {
      EXPECT_EQ(got.body, r.body) << r.range;
    }
  }
  for (const std::string missing : {"0", "5", "01", "1x", ""}) {
    EXPECT_EQ(get("/api/entries/" + missing).status, 404) << missing;
  }
}

TEST_F(ViewTest, ArchiveListingIsTheJsonListing) {
  const std::string big(200000, 'x');
  start({{"one", "1"}, {"two", big}}, {"--read-only"});
  const response got = get("/api/archive");
  ASSERT_EQ(got.status, 200);
  EXPECT_EQ(got.field("Content-Type"), "application/json");
  const nlohmann::json archive = nlohmann::json::parse(got.body);
  EXPECT_EQ(archive["path"], (place_ / "shown.qvx").string());
  EXPECT_EQ(archive["read_only"], true);
  ASSERT_EQ(archive["entries"].size(), 2U);
  const std::vector<std::pair<std::string, std::size_t>> expected = {{"one", 1},
                                                                     {"two", big.size()}};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const nlohmann::json& entry = archive["entries"][i];
    EXPECT_EQ(entry["number"], i + 1);
    EXPECT_EQ(entry["name"], expected[i].first);
    EXPECT_EQ(entry["size"], expected[i].second);
  }
  // Larger than one piece of the stream.
  EXPECT_EQ(get("/api/entries/2").body, big);
  for (const auto& [method, target] :
       std::vector<std::pair<std::string, std::string>>{{"DELETE", "/api/entries/1"},
                                                        {"PUT", "/api/entries/1"},
                                                        {"POST", "/api/entries?name=x"}}) {
    const response refused = change(method, target, "x");
    EXPECT_EQ(refused.status, 405) << method;
    EXPECT_EQ(refused.body, "qvx view was started with --read-only\n") << method;
  }
}

// The viewer's changes are those of the commands: the same archive, byte
// for byte, as qvx update, delete, rename and set leave.
TEST_F(ViewTest, ChangesGiveTheArchiveTheCommandsGive) {
  const std::vector<builder::entry_content> entries = {
      {"a.txt", "hello"}, {"b.png", png}, {"c.txt", "cc"}};
  start(entries);
  const scratch_dir by_hand;
  write_file(by_hand / "shown.qvx", builder::build_archive(entries));
  fs::create_directory(by_hand / "in");
  write_file(by_hand / "in" / "a.txt", "a longer hello");
  write_file(by_hand / "in" / "new.bin", std::string(70000, 'n'));
  const std::vector<std::vector<std::string>> commands = {
      {"update", "shown.qvx", "in/a.txt"},
      {"update", "shown.qvx", "in/new.bin"},
      {"delete", "shown.qvx", "c.txt"},
      {"rename", "shown.qvx", "b.png", "d.png"},
      {"set", "--tag", "9", "--spare", "70000", "shown.qvx", "d.png"},
  };
  for (const auto& args : commands) {
    ASSERT_EQ(run_qvx(args, by_hand.path()).exit_status, 0) << args[0];
  }

  struct step {
    std::string method, target, body;
    int status;
    std::string answer;
  };
  const std::vector<step> steps = {
      {"PUT", "/api/entries/1", "a longer hello", 200, "replaced entry 1\n"},
      {"POST", "/api/entries?name=new.bin", std::string(70000, 'n'), 200, "added new.bin\n"},
      {"DELETE", "/api/entries/3", "", 200, "deleted entry 3\n"},
      {"PATCH", "/api/entries/2", R"({"name": "d.png"})", 200, "changed entry 2\n"},
      {"PATCH", "/api/entries/2", R"({"tag": 9, "spare": 70000})", 200, "changed entry 2\n"},
      // Refused, and nothing changes.
      {"POST", "/api/entries?name=d.png", "x", 409,
       "entry 2 has that name; PUT /api/entries/2 replaces it\n"},
      {"POST", "/api/entries?name=..%2Fx", "x", 400,
       "cannot be an entry's name: name contains a path separator\n"},
      {"POST", "/api/entries?name=D.PNG", "x", 409, ""},
      {"PATCH", "/api/entries/2", R"({"tag": 65536})", 400, "tag: must be from 0 to 65535\n"},
      {"PATCH", "/api/entries/2", R"({"owner": 1})", 400, "unknown or mistyped field \"owner\"\n"},
      {"PATCH", "/api/entries/2", "not json", 400,
       "the body must be a JSON object with name, tag or spare\n"},
      {"PATCH", "/api/entries/1", R"({"name": "d.png"})", 409, ""},
      {"GET", "/api/entries/4", "", 404, "no such entry\n"},
  };
  for (const step& s : steps) {
    const response got = change(s.method, s.target, s.body);
    EXPECT_EQ(got.status, s.status)
        << s.method << " " << s.target << ": " << got.body.substr(0, 200);
    // The commands' own notes may follow.
    EXPECT_TRUE(got.body.starts_with(s.answer)) << s.method << " " << got.body.substr(0, 200);
  }
  EXPECT_TRUE(read_file(place_ / "shown.qvx") == read_file(by_hand / "shown.qvx"));
  const nlohmann::json archive = nlohmann::json::parse(get("/api/archive").body);
  EXPECT_EQ(archive["generation"], 5);
  EXPECT_EQ(archive["entries"][1]["name"], "d.png");
  EXPECT_EQ(archive["entries"][1]["type"], "image/png");
  EXPECT_EQ(archive["entries"][2]["type"], "text/plain");
}

TEST_F(ViewTest, AChangeOnDiskIsSeenAndStaleOrHugeChangesAreRefused) {
  start({{"a.txt", "hello"}, {"b.txt", "bye"}});
  EXPECT_EQ(get("/api/status").body, R"({"generation":0})");
  write_file(place_ / "b.txt", "changed elsewhere");
  ASSERT_EQ(run_qvx({"update", "shown.qvx", "b.txt"}, place_.path()).exit_status, 0);
  fs::remove(place_ / "b.txt");
  EXPECT_EQ(get("/api/status").body, R"({"generation":1})");
  EXPECT_EQ(get("/api/entries/2").body, "changed elsewhere");
  const auto selected = [&](const std::string& pattern) {
    return nlohmann::json::parse(get("/api/select?pattern=" + pattern).body)["numbers"];
  };
  EXPECT_EQ(selected("*.txt"), nlohmann::json::array({1, 2}));
  EXPECT_EQ(selected("b.txt"), nlohmann::json::array({2}));
  EXPECT_EQ(selected("none"), nlohmann::json::array());

  // A page that read the archive before that change may not change it.
  EXPECT_EQ(change("DELETE", "/api/entries/1", "", {"X-QVX-Generation: 0"}).status, 409);
  // Too large for any entry: refused before a byte of the body is taken.
  connection c{port_};
  c.send("PUT /api/entries/1 HTTP/1.1\r\nHost: " + host() + "\r\nX-QVX-Token: " + secret_ +
         "\r\nContent-Length: 4294967296\r\n\r\n");
  EXPECT_EQ(parsed(c.receive_all()).status, 413);
  const std::string chunked = "PUT /api/entries/1 HTTP/1.1\r\nHost: " + host() +
                              "\r\nX-QVX-Token: " + secret_ +
                              "\r\nContent-Type: application/json\r\n"
                              "Transfer-Encoding: chunked\r\n\r\n";
  connection patch{port_};
  std::string big = "PATCH" + chunked.substr(3);
  patch.send(big + "10000\r\n" + std::string(0x10000, ' ') + "\r\n1\r\n \r\n0\r\n\r\n");
  EXPECT_EQ(parsed(patch.receive_all()).status, 413);
  EXPECT_EQ(get("/api/status").body, R"({"generation":1})");
  EXPECT_EQ(get("/api/entries/1").body, "hello");
}

TEST_F(ViewTest, BadOrStalledClientsHoldUpNoOne) {
  start({{"a.txt", "hello"}});
  for (const std::string bad :
       {"GARBAGE\r\n\r\n", "GET / HTTP/1.1\r\nno colon here\r\n\r\n", "GET / HTTP/9\r\n\r\n"}) {
    connection c{port_};
    c.send(bad);
    EXPECT_EQ(parsed(c.receive_all()).status, 400) << bad;
    EXPECT_EQ(get("/api/entries/1").body, "hello") << bad;
  }
  // Half a request on one connection while another is served.
  connection stalled{port_};
  ASSERT_TRUE(stalled.connected());
  stalled.send("GET /api/entries/1 HTTP/1.1\r\nHost: " + host());
  EXPECT_EQ(get("/api/entries/1").body, "hello");
  stalled.send("\r\nX-QVX-Token: " + secret_ + "\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(parsed(stalled.receive_all()).body, "hello");
}

}  // namespace
}  // namespace qvx::test
