// The viewer's decisions about a request that need no network: what an
// entry's bytes may be served as, which part of it a Range asks for, and
// whether a secret or a Host is the right one. Kept apart from the server so
// that they can be tested as plain functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace qvx::view {

// The media type an entry that begins with `head` is served as, when its
// magic bytes are one of the few types a browser may show inline (PNG,
// JPEG, GIF, BMP, WebP, ICO, WAV, Ogg, MP3); empty for everything else,
// which is only ever offered as a download. 16 bytes of head are enough.
std::string_view inline_media_type(std::span<const std::byte> head);

// Whether an entry that begins with `head` looks like text, for the
// viewer's type column: no control bytes but tab, line breaks and form
// feed. Bytes from 0x80 up pass, since text in a code page uses them.
bool looks_like_text(std::span<const std::byte> head);

// What a Range header asks of an entry of `size` bytes.
enum class range_kind {
  whole,          // no Range, or one to ignore (another unit, several ranges)
  part,           // the bytes [first, first + length)
  unsatisfiable,  // 416: no byte of it is in the entry
  malformed,      // 400
};

struct byte_range {
  range_kind kind = range_kind::whole;
  std::uint64_t first = 0;
  std::uint64_t length = 0;
};

// Reads `header` (the Range field's value; empty when there is none) as
// one range of bytes (bytes=a-b, bytes=a-, bytes=-n), cut to the entry.
byte_range requested_range(std::string_view header, std::uint64_t size);

// Whether `given` is `secret`, in time that depends only on their lengths.
bool same_secret(std::string_view given, std::string_view secret);

// Whether a Host field names this server itself: 127.0.0.1:PORT or
// localhost:PORT. Any other name may be one an attacker's DNS points here.
bool own_host(std::string_view host, std::uint16_t port);

// Whether an Origin field is this server's own page.
bool own_origin(std::string_view origin, std::uint16_t port);

// The value of cookie `name` in a Cookie field; empty when it has none.
std::string_view cookie_value(std::string_view cookies, std::string_view name);

// The value of `key` in a query string (a=1&b=2), percent-decoded; false
// when it is not there or its escapes are broken.
bool query_value(std::string_view query, std::string_view key, std::string& value);

// `bytes` as lower-case hexadecimal.
std::string hex_text(std::span<const std::byte> bytes);

}  // namespace qvx::view
