#include "archive/name_pattern.h"

#include <cstddef>

namespace qvx {
namespace {

unsigned char lowered(char c, bool fold_case) {
  const auto byte = static_cast<unsigned char>(c);
  return fold_case && byte >= 'A' && byte <= 'Z' ? static_cast<unsigned char>(byte + 32) : byte;
}

// Where the set that starts at `pattern[at]` (a '[') ends, just past its
// ']', or npos when it has none.
std::size_t set_end(std::string_view pattern, std::size_t at) {
  std::size_t i = at + 1;
  if (i < pattern.size() && (pattern[i] == '!' || pattern[i] == '^')) ++i;
  if (i < pattern.size() && pattern[i] == ']') ++i;  // a ']' first is a member
  const std::size_t close = pattern.find(']', i);
  return close == std::string_view::npos ? close : close + 1;
}

// Whether `c` is in the set pattern[at, end).
bool in_set(std::string_view pattern, std::size_t at, std::size_t end, char c, bool fold_case) {
  std::size_t i = at + 1;
  const bool negated = pattern[i] == '!' || pattern[i] == '^';
  if (negated) ++i;
  const unsigned char wanted = lowered(c, fold_case);
  bool found = false;
  for (bool first = true; i < end - 1; first = false) {
    if (pattern[i] == ']' && !first) break;
    const unsigned char low = lowered(pattern[i], fold_case);
    if (i + 2 < end - 1 && pattern[i + 1] == '-') {
      const unsigned char high = lowered(pattern[i + 2], fold_case);
      if (wanted >= low && wanted <= high) found = true;
      // Folded, an ASCII range such as [A-Z] also takes the other case.
      const auto byte = static_cast<unsigned char>(c);
      if (fold_case && byte >= low && byte <= high) found = true;
      i += 3;
    } else {
      if (wanted == low) found = true;
      ++i;
    }
  }
  return found != negated;
}

}  // namespace

bool is_pattern(std::string_view text) { return text.find_first_of("*?[") != text.npos; }

bool matches_pattern(std::string_view pattern, std::string_view name, bool fold_case) {
  std::size_t p = 0;
  std::size_t n = 0;
  // The last '*' seen, and where in the name it was last tried to end.
  std::size_t star = std::string_view::npos;
  std::size_t star_name = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      star_name = n;
      continue;
    }
    if (p < pattern.size()) {
      if (pattern[p] == '?') {
        ++p;
        ++n;
        continue;
      }
      if (pattern[p] == '[') {
        if (const std::size_t end = set_end(pattern, p); end != std::string_view::npos) {
          if (in_set(pattern, p, end, name[n], fold_case)) {
            p = end;
            ++n;
            continue;
          }
        } else if (name[n] == '[') {
          ++p;
          ++n;
          continue;
        }
      } else if (lowered(pattern[p], fold_case) == lowered(name[n], fold_case)) {
        ++p;
        ++n;
        continue;
      }
    }
    // A mismatch: let the last '*' take one more byte, or fail.
    if (star == std::string_view::npos) return false;
    p = star + 1;
    n = ++star_name;
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace qvx
