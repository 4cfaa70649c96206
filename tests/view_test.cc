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
    std::vector<std::string> args = {QVX_EXE, "view", "--no-browser"};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(archive);
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      ::execv(argv[0], argv.data());
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
    secret_ = line.substr(token + 7, line.find('\n') - token - 7);
    EXPECT_GE(secret_.size(), 32U);  // 128 bits in hex
  }

  // Sends SIGTERM and expects the server to end with status 0.
  void TearDown() override {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
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
  const std::string header = "X-QVX-Token: " + secret_;
  EXPECT_EQ(ask("DELETE", "/api/entries/1", {"Host: " + host(), header}).status / 10, 40);
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
