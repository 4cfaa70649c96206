// The viewer's pure decisions: which entries a browser may show inline,
// and which bytes a Range asks for.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "view/http_rules.h"

namespace qvx::view {
namespace {

std::span<const std::byte> bytes_of(const std::string& text) {
  return std::as_bytes(std::span<const char>{text.data(), text.size()});
}

TEST(ViewRules, MediaTypeComesOnlyFromKnownMagicBytes) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {std::string{"\x89PNG\r\n\x1A\n\0\0\0\rIHDR", 16}, "image/png"},
      {"\xFF\xD8\xFF\xE0"
       "0123456789ab",
       "image/jpeg"},
      {"GIF89a0123456789", "image/gif"},
      {"GIF87a", "image/gif"},
      {"BM0123456789abcd", "image/bmp"},
      {"BM", ""},  // too short for a bitmap's header
      {std::string{"RIFF\x10\0\0\0WEBPVP8 ", 16}, "image/webp"},
      {std::string{"RIFF\x10\0\0\0WAVEfmt ", 16}, "audio/wav"},
      {std::string{"RIFF\x10\0\0\0AVI LIST", 16}, ""},
      {std::string{"\0\0\1\0\1\0\x10\x10", 8}, "image/x-icon"},
      {std::string{"\0\0\1\0\0\0", 6}, ""},  // no image in it
      {std::string{"\0\0\2\0\1\0", 6}, ""},  // a cursor
      {"OggS\0\2", "audio/ogg"},
      {"ID3\x04\0\0", "audio/mpeg"},
      {"\xFF\xFB\x90\x64", "audio/mpeg"},
      {"\xFF\xFD\x90\x64", ""},  // layer II
      {"<svg xmlns=\"http://www.w3.org/2000/svg\">", ""},
      {"<!DOCTYPE html><script>", ""},
      {"\x89PNG\r\n", ""},  // cut short
      {"", ""},
  };
  for (const auto& [head, type] : cases) {
    EXPECT_EQ(inline_media_type(bytes_of(head)), type) << head;
  }
  const std::vector<std::pair<std::string, bool>> texts = {
      {"plain words\r\n\tand\f", true},
      {"\x95\x5C\x8E\xA6 in a code page", true},
      {std::string{"a\0b", 3}, false},
      {"bell\a", false},
      {"del\x7F", false},
      {"", false},
  };
  for (const auto& [head, text] : texts) {
    EXPECT_EQ(looks_like_text(bytes_of(head)), text) << head;
  }
}

TEST(ViewRules, RangeIsCutToTheEntryOrRefused) {
  struct range_case {
    std::string header;
    std::uint64_t size;
    range_kind kind;
    std::uint64_t first;
    std::uint64_t length;
  };
  const std::vector<range_case> cases = {
      {"", 100, range_kind::whole, 0, 0},
      {"bytes=0-9", 100, range_kind::part, 0, 10},
      {"bytes=90-200", 100, range_kind::part, 90, 10},
      {"bytes=99-99", 100, range_kind::part, 99, 1},
      {"bytes=10-", 100, range_kind::part, 10, 90},
      {"bytes=-10", 100, range_kind::part, 90, 10},
      {"bytes=-500", 100, range_kind::part, 0, 100},
      {"BYTES = 5-5", 100, range_kind::part, 5, 1},
      {"bytes=100-", 100, range_kind::unsatisfiable, 0, 0},
      {"bytes=100-200", 100, range_kind::unsatisfiable, 0, 0},
      {"bytes=-0", 100, range_kind::unsatisfiable, 0, 0},
      {"bytes=0-", 0, range_kind::unsatisfiable, 0, 0},
      {"bytes=-5", 0, range_kind::unsatisfiable, 0, 0},
      {"bytes=9-3", 100, range_kind::malformed, 0, 0},
      {"bytes=a-3", 100, range_kind::malformed, 0, 0},
      {"bytes=-", 100, range_kind::malformed, 0, 0},
      {"bytes=5", 100, range_kind::malformed, 0, 0},
      {"bytes=+1-2", 100, range_kind::malformed, 0, 0},
      {"bytes=0-99999999999999999999", 100, range_kind::malformed, 0, 0},
      {"bytes", 100, range_kind::malformed, 0, 0},
      {"items=0-1", 100, range_kind::whole, 0, 0},
      {"bytes=0-1,5-6", 100, range_kind::whole, 0, 0},
  };
  for (const range_case& c : cases) {
    const byte_range range = requested_range(c.header, c.size);
    EXPECT_EQ(range.kind, c.kind) << c.header;
    if (c.kind == range_kind::part) {
      EXPECT_EQ(range.first, c.first) << c.header;
      EXPECT_EQ(range.length, c.length) << c.header;
    }
  }
}

TEST(ViewRules, HostsCookiesAndQueries) {
  EXPECT_TRUE(own_host("127.0.0.1:8080", 8080));
  EXPECT_TRUE(own_host("LocalHost:8080", 8080));
  EXPECT_FALSE(own_host("127.0.0.1:8081", 8080));
  EXPECT_FALSE(own_host("evil.example:8080", 8080));
  EXPECT_FALSE(own_host("127.0.0.1", 8080));
  EXPECT_FALSE(own_host("x127.0.0.1:8080", 8080));
  EXPECT_TRUE(own_origin("http://localhost:8080", 8080));
  EXPECT_FALSE(own_origin("https://localhost:8080", 8080));
  EXPECT_FALSE(own_origin("http://evil.example:8080", 8080));
  EXPECT_FALSE(own_origin("null", 8080));
  EXPECT_EQ(cookie_value("a=1; qvx_token_1=ab ; b=2", "qvx_token_1"), "ab");
  EXPECT_EQ(cookie_value("qvx_token_12=ab", "qvx_token_1"), "");
  std::string value;
  EXPECT_TRUE(query_value("x=1&name=a%2Fb+c", "name", value));
  EXPECT_EQ(value, "a/b c");
  EXPECT_FALSE(query_value("name=%4", "name", value));
  EXPECT_FALSE(query_value("names=1", "name", value));
  EXPECT_TRUE(same_secret("abc", "abc"));
  EXPECT_FALSE(same_secret("abd", "abc"));
  EXPECT_FALSE(same_secret("ab", "abc"));
}

}  // namespace
}  // namespace qvx::view
