#include "view/http_rules.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <optional>

namespace qvx::view {
namespace {

bool starts_with_bytes(std::span<const std::byte> head, std::size_t at, std::string_view magic) {
  if (head.size() < at + magic.size()) return false;
  return std::equal(magic.begin(), magic.end(), head.begin() + static_cast<std::ptrdiff_t>(at),
                    [](char m, std::byte b) { return static_cast<std::byte>(m) == b; });
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// A run of decimal digits and nothing else, as a number that fits.
std::optional<std::uint64_t> decimal(std::string_view digits) {
  if (digits.empty()) return std::nullopt;
  std::uint64_t n = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
  if (error != std::errc{} || end != digits.data() + digits.size()) return std::nullopt;
  return n;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string_view inline_media_type(std::span<const std::byte> head) {
  const auto byte = [&](std::size_t i) {
    return i < head.size() ? static_cast<unsigned>(head[i]) : 0x100U;
  };
  if (starts_with_bytes(head, 0, "\x89PNG\r\n\x1A\n")) return "image/png";
  if (byte(0) == 0xFF && byte(1) == 0xD8 && byte(2) == 0xFF) return "image/jpeg";
  if (starts_with_bytes(head, 0, "GIF87a") || starts_with_bytes(head, 0, "GIF89a")) {
    return "image/gif";
  }
  // BITMAPFILEHEADER is 14 bytes, and an info header follows it.
  if (starts_with_bytes(head, 0, "BM") && head.size() >= 16) return "image/bmp";
  if (starts_with_bytes(head, 0, "RIFF") && starts_with_bytes(head, 8, "WEBP")) {
    return "image/webp";
  }
  if (starts_with_bytes(head, 0, "RIFF") && starts_with_bytes(head, 8, "WAVE")) return "audio/wav";
  // Reserved 0, type 1 (icon), and at least one image.
  if (byte(0) == 0 && byte(1) == 0 && byte(2) == 1 && byte(3) == 0 && byte(4) + byte(5) > 0 &&
      byte(5) != 0x100U) {
    return "image/x-icon";
  }
  if (starts_with_bytes(head, 0, "OggS")) return "audio/ogg";
  if (starts_with_bytes(head, 0, "ID3")) return "audio/mpeg";
  // An MPEG audio frame's sync bits, then layer III.
  if (byte(0) == 0xFF && byte(1) != 0x100U && (byte(1) & 0xE0U) == 0xE0U &&
      ((byte(1) >> 1U) & 3U) == 1U) {
    return "audio/mpeg";
  }
  return {};
}

bool looks_like_text(std::span<const std::byte> head) {
  return !head.empty() && std::all_of(head.begin(), head.end(), [](std::byte b) {
    const auto c = static_cast<unsigned char>(b);
    return (c >= 0x20 && c != 0x7F) || c == '\t' || c == '\n' || c == '\r' || c == '\f';
  });
}

byte_range requested_range(std::string_view header, std::uint64_t size) {
  header = trimmed(header);
  if (header.empty()) return {};
  const std::size_t equals = header.find('=');
  if (equals == std::string_view::npos) return {range_kind::malformed};
  // Another unit is not an error: the whole entry is the answer.
  if (!equal_ignoring_case(trimmed(header.substr(0, equals)), "bytes")) return {};
  const std::string_view range_set = trimmed(header.substr(equals + 1));
  // Several ranges would need a multipart answer; the whole entry will do.
  if (range_set.find(',') != std::string_view::npos) return {};
  const std::size_t dash = range_set.find('-');
  if (dash == std::string_view::npos) return {range_kind::malformed};
  const std::string_view first_text = range_set.substr(0, dash);
  const std::string_view last_text = range_set.substr(dash + 1);
  if (first_text.empty()) {
    // The last n bytes.
    const std::optional<std::uint64_t> n = decimal(last_text);
    if (!n) return {range_kind::malformed};
    if (*n == 0 || size == 0) return {range_kind::unsatisfiable};
    const std::uint64_t length = std::min(*n, size);
    return {range_kind::part, size - length, length};
  }
  const std::optional<std::uint64_t> first = decimal(first_text);
  if (!first) return {range_kind::malformed};
  std::uint64_t last = size == 0 ? 0 : size - 1;
  if (!last_text.empty()) {
    const std::optional<std::uint64_t> given = decimal(last_text);
    if (!given || *given < *first) return {range_kind::malformed};
    last = std::min(last, *given);
  }
  if (*first >= size) return {range_kind::unsatisfiable};
  return {range_kind::part, *first, last - *first + 1};
}

bool same_secret(std::string_view given, std::string_view secret) {
  if (given.size() != secret.size()) return false;
  unsigned difference = 0;
  for (std::size_t i = 0; i < secret.size(); ++i) {
    difference |= static_cast<unsigned char>(given[i]) ^ static_cast<unsigned char>(secret[i]);
  }
  return difference == 0;
}

bool own_host(std::string_view host, std::uint16_t port) {
  const std::size_t colon = host.rfind(':');
  if (colon == std::string_view::npos || host.substr(colon + 1) != std::to_string(port)) {
    return false;
  }
  const std::string_view name = host.substr(0, colon);
  return name == "127.0.0.1" || equal_ignoring_case(name, "localhost");
}

bool own_origin(std::string_view origin, std::uint16_t port) {
  constexpr std::string_view scheme = "http://";
  if (origin.size() < scheme.size() ||
      !equal_ignoring_case(origin.substr(0, scheme.size()), scheme)) {
    return false;
  }
  return own_host(origin.substr(scheme.size()), port);
}

std::string_view cookie_value(std::string_view cookies, std::string_view name) {
  while (!cookies.empty()) {
    const std::size_t end = std::min(cookies.find(';'), cookies.size());
    const std::string_view pair = trimmed(cookies.substr(0, end));
    cookies.remove_prefix(std::min(end + 1, cookies.size()));
    const std::size_t equals = pair.find('=');
    if (equals != std::string_view::npos && trimmed(pair.substr(0, equals)) == name) {
      return trimmed(pair.substr(equals + 1));
    }
  }
  return {};
}

bool query_value(std::string_view query, std::string_view key, std::string& value) {
  while (!query.empty()) {
    const std::size_t end = std::min(query.find('&'), query.size());
    const std::string_view pair = query.substr(0, end);
    query.remove_prefix(std::min(end + 1, query.size()));
    const std::size_t equals = std::min(pair.find('='), pair.size());
    if (pair.substr(0, equals) != key) continue;
    const std::string_view encoded = pair.substr(std::min(equals + 1, pair.size()));
    value.clear();
    for (std::size_t i = 0; i < encoded.size(); ++i) {
      if (encoded[i] == '+') {
        value += ' ';
      } else if (encoded[i] != '%') {
        value += encoded[i];
      } else {
        const int high = i + 2 < encoded.size() ? hex_digit(encoded[i + 1]) : -1;
        const int low = high >= 0 ? hex_digit(encoded[i + 2]) : -1;
        if (low < 0) return false;
        value += static_cast<char>(high * 16 + low);
        i += 2;
      }
    }
    return true;
  }
  return false;
}

std::string hex_text(std::span<const std::byte> bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string text;
  for (const std::byte b : bytes) {
    text += digits[std::to_integer<unsigned>(b) >> 4U];
    text += digits[std::to_integer<unsigned>(b) & 0xFU];
  }
  return text;
}

}  // namespace qvx::view
