#include "archive/entry_name.h"

#include <algorithm>
#include <array>

#include "platform/platform.h"

namespace qvx {
namespace {

bool is_control(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 32 || byte == 127;
}

char ascii_upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return ascii_upper(x) == ascii_upper(y);
         });
}

// Windows opens a device for these names, in any case, whatever extension
// follows them ("nul.txt") and with blanks before it ("CON .txt"). The
// superscript digits of COM and LPT count as digits, in UTF-8 and as the
// bytes of code page 1252.
bool is_windows_device_name(std::string_view name) {
  std::string_view stem = name.substr(0, name.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
  static constexpr std::array<std::string_view, 6> plain = {"CON", "PRN",    "AUX",
                                                            "NUL", "CONIN$", "CONOUT$"};
  if (std::any_of(plain.begin(), plain.end(),
                  [&](std::string_view device) { return equals_ignoring_case(stem, device); })) {
    return true;
  }
  if (stem.size() < 4 || (!equals_ignoring_case(stem.substr(0, 3), "COM") &&
                          !equals_ignoring_case(stem.substr(0, 3), "LPT"))) {
    return false;
  }
  const std::string_view digit = stem.substr(3);
  static constexpr std::array<std::string_view, 6> superscripts = {
      "\xC2\xB9", "\xC2\xB2", "\xC2\xB3", "\xB9", "\xB2", "\xB3"};
  return (digit.size() == 1 && digit[0] >= '0' && digit[0] <= '9') ||
         std::find(superscripts.begin(), superscripts.end(), digit) != superscripts.end();
}

}  // namespace

std::string_view name_refusal(std::string_view name, name_rules rules) {
  if (name.empty()) return "empty name";
  if (name == "." || name == "..") return "name refers to a directory";
  if (name.find_first_of("/\\") != std::string_view::npos) return "name contains a path separator";
  if (std::any_of(name.begin(), name.end(), is_control)) return "name contains a control character";
  if (rules == name_rules::windows) {
    if (is_windows_device_name(name)) return "name is a Windows device name";
    // Characters the Win32 file functions refuse in a name, or take as a
    // stream (':') or a pattern ('?', '*').
    static constexpr std::string_view refused = ":<>\"|?*";
    static constexpr std::array<std::string_view, refused.size()> why = {
        "name contains ':'", "name contains '<'", "name contains '>'", "name contains '\"'",
        "name contains '|'", "name contains '?'", "name contains '*'"};
    if (const std::size_t at = name.find_first_of(refused); at != std::string_view::npos) {
      return why[refused.find(name[at])];
    }
    if (name.back() == '.' || name.back() == ' ') return "name ends in a dot or a blank";
  }
  return {};
}

std::vector<std::string_view> path_parts(std::string_view name) {
  std::vector<std::string_view> parts;
  for (std::size_t start = 0;;) {
    const std::size_t end = name.find_first_of("/\\", start);
    parts.push_back(name.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

std::string path_key(std::string_view name) {
  std::string key{name};
  std::replace(key.begin(), key.end(), '\\', '/');
  return key;
}

std::string_view path_name_refusal(std::string_view name, name_rules rules) {
  if (name.empty()) return "empty name";
  if (name.front() == '/' || name.front() == '\\') return "name is an absolute path";
  // "C:x" is relative to the drive's working directory on Windows: outside
  // the target directory whatever follows.
  const auto letter = static_cast<unsigned char>(name.front());
  if (name.size() >= 2 && name[1] == ':' && ((letter | 0x20U) >= 'a' && (letter | 0x20U) <= 'z')) {
    return "name begins with a drive";
  }
  for (const std::string_view part : path_parts(name)) {
    if (part.empty()) return "name has an empty part";
    if (part == ".") return "name has a '.' part";
    if (part == "..") return "name has a '..' part";
    if (const std::string_view why = name_refusal(part, rules); !why.empty()) return why;
  }
  return {};
}

std::string_view stored_name_refusal(std::string_view stored, name_rules rules) {
  std::string bytes{stored};
  for (char& c : bytes) {
    if (c == '\\' || c == '|') c = '_';
  }
  return name_refusal(bytes, rules);
}

namespace {

// The upper-case letter of code page 1252 for `c`, or `c`: ASCII, the
// accented letters of Latin-1, and the few 1252 adds (s, z and oe with
// caron or ligature, y with diaeresis).
char upper_1252(char c) {
  const auto byte = static_cast<unsigned char>(c);
  if ((byte >= 'a' && byte <= 'z') || (byte >= 0xE0 && byte <= 0xFE && byte != 0xF7)) {
    return static_cast<char>(byte - 0x20);
  }
  switch (byte) {
    case 0x9A:
    case 0x9C:
    case 0x9E:
      return static_cast<char>(byte - 0x10);
    case 0xFF:
      return static_cast<char>(0x9F);
    default:
      return c;
  }
}

}  // namespace

std::string case_folded(std::string_view name) {
  if (std::string key; platform::system_case_key(name, key)) return key;
  std::string key{name};
  std::transform(key.begin(), key.end(), key.begin(), upper_1252);
  return key;
}

namespace {

// The length of the UTF-8 sequence at the start of `text` that a terminal
// would take as a control, or 0: a C1 control (U+0080-U+009F), which
// terminals that honour 8-bit codes take as an escape, or a bidirectional
// control (U+202A-U+202E, U+2066-U+2069), which shows "r\u202Etxt.exe" as
// "rexe.txt".
std::size_t encoded_control_length(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  if (text.size() >= 2 && byte(0) == 0xC2 && byte(1) >= 0x80 && byte(1) <= 0x9F) return 2;
  if (text.size() >= 3 && byte(0) == 0xE2 &&
      ((byte(1) == 0x80 && byte(2) >= 0xAA && byte(2) <= 0xAE) ||
       (byte(1) == 0x81 && byte(2) >= 0xA6 && byte(2) <= 0xA9))) {
    return 3;
  }
  return 0;
}

}  // namespace

std::string printable_name(std::string_view name) {
  // On Windows names are in the ANSI code page, where these bytes are
  // ordinary letters and signs, and the console does not interpret them.
  const bool utf8_controls = !platform::uses_windows_names();
  std::string shown;
  shown.reserve(name.size());
  for (std::size_t i = 0; i < name.size();) {
    if (const std::size_t length = utf8_controls ? encoded_control_length(name.substr(i)) : 0) {
      shown += '?';
      i += length;
    } else {
      shown += is_control(name[i]) ? '?' : name[i];
      ++i;
    }
  }
  return shown;
}

std::string hex_bytes(std::string_view name) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string text;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (!text.empty()) text += ' ';
    text += digits[byte >> 4U];
    text += digits[byte & 0xFU];
  }
  return text;
}

}  // namespace qvx
