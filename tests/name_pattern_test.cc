// Shell-style patterns against whole entry names.
#include "archive/name_pattern.h"

#include <gtest/gtest.h>

namespace qvx {
namespace {

struct pattern_case {
  const char* pattern;
  const char* name;
  bool matches;
};

TEST(NamePattern, StarQuestionMarkAndSetsMatchWholeNames) {
  const pattern_case cases[] = {
      {"G*", "GAME.CFG", true},
      {"G*", "aG", false},
      {"*", "", true},
      {"*.cfg", "a.cfg", true},
      {"*.cfg", "a.cfg.bak", false},
      {"a*b*c", "aXbYbZc", true},
      {"a*b*c", "aXbYc.d", false},
      {"?", "", false},
      {"??", "ab", true},
      {"a?c", "abc", true},
      {"a?c", "ac", false},
      {"[abc]x", "bx", true},
      {"[abc]x", "dx", false},
      {"[a-c]", "c", true},
      {"[!a-c]", "c", false},
      {"[^a-c]", "d", true},
      {"[]]", "]", true},
      {"[!]]", "a", true},
      {"[*]", "*", true},
      {"[*]", "a", false},
      {"a[", "a[", true},
      {"[", "[", true},
      {"*[0-9]", "level12", true},
      {"**x", "x", true},
      {"a**", "a", true},
      {"**", "", true},
      {"[a-]", "-", true},
      {"[a-]", "b", false},
      {"[-a]", "-", true},
      {"\xE0*", "\xE0tre", true},
      {"[\x80-\xFF]*", "\xE9t\xE9", true},
      {"[\x80-\xFF]*", "ete", false},
      {"[!\x80-\xFF]", "\x7F", true},
      {"caf[\xE9\xC9]", "caf\xC9", true},
  };
  for (const pattern_case& c : cases) {
    EXPECT_EQ(matches_pattern(c.pattern, c.name, false), c.matches)
        << "'" << c.pattern << "' against '" << c.name << "'";
  }
}

TEST(NamePattern, FoldingCaseMatchesEitherCaseOfAsciiLetters) {
  EXPECT_TRUE(matches_pattern("g*.CFG", "Game.cfg", true));
  EXPECT_FALSE(matches_pattern("g*.CFG", "Game.cfg", false));
  EXPECT_TRUE(matches_pattern("[A-Z]1", "q1", true));
  EXPECT_TRUE(matches_pattern("[a-z]1", "Q1", true));
  EXPECT_FALSE(matches_pattern("[!a-z]1", "Q1", true));
  // A range whose ends are not letters still holds the letters between them.
  EXPECT_TRUE(matches_pattern("[@-_]", "Q", true));
  EXPECT_FALSE(matches_pattern("[!@-_]", "Q", true));
  // Bytes beyond ASCII are not folded: what they are depends on the code page.
  EXPECT_FALSE(matches_pattern("\xE9", "\xC9", true));
  EXPECT_TRUE(is_pattern("a[b"));
  EXPECT_FALSE(is_pattern("plain.txt"));
}

}  // namespace
}  // namespace qvx
