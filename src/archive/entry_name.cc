#include "archive/entry_name.h"

#include <algorithm>
#include <array>

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

// Windows opens a device for these names whatever extension follows them
// ("nul.txt"), and in any case.
bool is_windows_device_name(std::string_view name) {
  const std::string_view stem = name.substr(0, name.find('.'));
  static constexpr std::array<std::string_view, 4> plain = {"CON", "PRN", "AUX", "NUL"};
  if (std::any_of(plain.begin(), plain.end(),
                  [&](std::string_view device) { return equals_ignoring_case(stem, device); })) {
    return true;
  }
  return stem.size() == 4 && stem[3] >= '1' && stem[3] <= '9' &&
         (equals_ignoring_case(stem.substr(0, 3), "COM") ||
          equals_ignoring_case(stem.substr(0, 3), "LPT"));
}

}  // namespace

std::string_view name_refusal(std::string_view name, name_rules rules) {
  if (name.empty()) return "empty name";
  if (name == "." || name == "..") return "name refers to a directory";
  if (name.find_first_of("/\\") != std::string_view::npos) return "name contains a path separator";
  if (std::any_of(name.begin(), name.end(), is_control)) return "name contains a control character";
  if (rules == name_rules::windows) {
    if (is_windows_device_name(name)) return "name is a Windows device name";
    if (name.find(':') != std::string_view::npos) return "name contains ':'";
    if (name.back() == '.' || name.back() == ' ') return "name ends in a dot or a blank";
  }
  return {};
}

std::string case_folded(std::string_view name) {
  std::string key{name};
  std::transform(key.begin(), key.end(), key.begin(), ascii_upper);
  return key;
}

std::string printable_name(std::string_view name) {
  std::string shown{name};
  std::replace_if(shown.begin(), shown.end(), is_control, '?');
  return shown;
}

}  // namespace qvx
