// Shell-style patterns for entry names, so that users can pick entries by
// pattern as they pick files: `*` any bytes, `?` one byte, `[...]` one byte
// of a set.
#pragma once

#include <string_view>

namespace qvx {

// Whether `text` holds a pattern character (`*`, `?` or `[`); other text
// names one entry exactly.
[[nodiscard]] bool is_pattern(std::string_view text);

// Whether `pattern` matches the whole of `name`. In a set, `a-z` is a range
// of byte values (bytes 128-255 too), a leading `!` or `^` negates it, and a
// `]` first in it stands for itself; a `[` without its `]` matches itself.
// There is no escape character: `[*]` matches a `*`. With `fold_case`, ASCII
// letters match in either case (Windows, whose names ignore case).
[[nodiscard]] bool matches_pattern(std::string_view pattern, std::string_view name, bool fold_case);

}  // namespace qvx
