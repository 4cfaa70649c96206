#include "archive/archive_format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "archive/entry_name.h"

namespace qvx {
namespace {

name_field field_of(std::string_view bytes) {
  name_field field{};
  std::memcpy(field.data(), bytes.data(), bytes.size());
  return field;
}

TEST(ArchiveFormat, DecodesRecordFieldsLittleEndianInOrder) {
  const std::array<unsigned char, entry_record_size> raw = {
      0x34, 0x12,              // tag
      0x78, 0x56, 0x34, 0x12,  // offset
      0x01, 0x00, 0x00, 0x80,  // size, top bit set
      0xFF, 0xFF, 0xFF, 0xFF,  // spare
  };
  std::array<std::byte, entry_record_size> record{};
  std::memcpy(record.data(), raw.data(), raw.size());

  const archive_entry entry = decode_entry(record);
  EXPECT_EQ(entry.tag, 0x1234U);
  EXPECT_EQ(entry.offset, 0x12345678U);
  EXPECT_EQ(entry.size, 0x80000001U);
  EXPECT_EQ(entry.spare, 0xFFFFFFFFU);
}

TEST(ArchiveFormat, NameEndsAtFirstNulOrFillsTheField) {
  EXPECT_EQ(entry_name(field_of("a.txt")), "a.txt");
  EXPECT_EQ(entry_name(field_of(std::string_view{"ab\0cd", 5})), "ab");
  EXPECT_EQ(entry_name(field_of("")), "");
  EXPECT_EQ(entry_name(field_of("fifteen-bytes-x")), "fifteen-bytes-x");
}

TEST(ArchiveFormat, NameTablePositionDoesNotWrapAt32Bits) {
  EXPECT_EQ(name_table_position({.offset = 100, .size = 20}), 120U);
  EXPECT_EQ(name_table_position({.offset = 0xFFFFFFFF, .size = 0xFFFFFFFF}), 0x1FFFFFFFEULL);
}

struct name_case {
  const char* name;
  bool posix_ok;
  bool windows_ok;
};

TEST(EntryName, RefusesWhatCouldEscapeOrBeMisread) {
  const name_case cases[] = {
      {"report.txt", true, true},
      {"no-extension", true, true},
      {"\xE9t\xE9.txt", true, true},  // bytes 128-255 are ordinary
      {".hidden", true, true},
      {"...", true, false},  // Windows drops the trailing dots
      {"", false, false},
      {".", false, false},
      {"..", false, false},
      {"../x", false, false},
      {"/etc/x", false, false},
      {"a/b", false, false},
      {"a\\b", false, false},
      {R"(\\srv\s)", false, false},
      {"bell\a", false, false},
      {"\x1B[1Aup", false, false},
      {"del\x7F", false, false},
      {"line\nbreak", false, false},
      // The edges of the control range: 1-31 and 127 are refused, 32-126 are not.
      {"a\x01", false, false},
      {"a\x1F", false, false},
      {"a b", true, true},
      {"a~", true, true},
      {"a\x80", true, true},
      {"C:x", true, false},
      {"a:b", true, false},
      {"CON", true, false},
      {"con", true, false},
      {"nul.txt", true, false},
      {"Com1", true, false},
      {"lpt9.tar.gz", true, false},
      {"COM0", true, false},
      {"CONSOLE", true, true},
      {"com10", true, true},
      {"trailing.", true, false},
      {"trailing ", true, false},
  };
  for (const name_case& c : cases) {
    SCOPED_TRACE(printable_name(c.name));
    EXPECT_EQ(name_refusal(c.name, name_rules::posix).empty(), c.posix_ok);
    EXPECT_EQ(name_refusal(c.name, name_rules::windows).empty(), c.windows_ok);
  }
}

TEST(EntryName, PrintableNameMasksControlBytesOnly) {
  EXPECT_EQ(printable_name("\x1B[1A\r\a\nx\x7F"), "?[1A???x?");
  EXPECT_EQ(printable_name("\x01\x1F \x7E\x7F\x80"), "?? \x7E?\x80");
  EXPECT_EQ(printable_name("caf\xC3\xA9 ok"), "caf\xC3\xA9 ok");
}

// On POSIX the UTF-8 forms of the C1 controls (U+0080-U+009F) and of the
// bidirectional controls (U+202A-U+202E, U+2066-U+2069) are shown as one '?'
// each; their neighbours, and what is not UTF-8 for them, stay as they are.
TEST(EntryName, PrintableNameMasksEncodedControlsUpToTheirEdges) {
  const std::pair<const char*, const char*> cases[] = {
      {"a\xC2\x80z", "a?z"},
      {"a\xC2\x9Fz", "a?z"},
      {"a\xC2\xA0z", "a\xC2\xA0z"},
      {"a\xC2\x7Fz", "a\xC2?z"},
      {"a\xC2", "a\xC2"},
      {"a\xE2\x80\xA9z", "a\xE2\x80\xA9z"},
      {"a\xE2\x80\xAAz", "a?z"},
      {"a\xE2\x80\xAEz", "a?z"},
      {"a\xE2\x80\xAFz", "a\xE2\x80\xAFz"},
      {"a\xE2\x81\xA5z", "a\xE2\x81\xA5z"},
      {"a\xE2\x81\xA6z", "a?z"},
      {"a\xE2\x81\xA9z", "a?z"},
      {"a\xE2\x81\xAAz", "a\xE2\x81\xAAz"},
      {"a\xE2\x80", "a\xE2\x80"},
      {"\xC2\x9B\xE2\x81\xA7\x1B", "???"},
  };
  for (const auto& [name, shown] : cases) {
    EXPECT_EQ(printable_name(name), shown) << printable_name(name);
  }
}

// Without the system's own folding (POSIX), names are folded as code page
// 1252 folds them: ASCII and Latin-1 letters, and the caron and ligature
// letters 1252 adds; the signs between the Latin-1 letters are not letters.
TEST(EntryName, CaseFoldingPairsTheLettersOfCodePage1252Only) {
  const std::pair<const char*, const char*> same[] = {
      {"abc.txt", "ABC.TXT"}, {"\xE0", "\xC0"}, {"\xE9t\xE9", "\xC9T\xC9"}, {"\xFE", "\xDE"},
      {"\x9A", "\x8A"},       {"\x9C", "\x8C"}, {"\x9E", "\x8E"},           {"\xFF", "\x9F"},
  };
  for (const auto& [lower, upper] : same) {
    EXPECT_EQ(case_folded(lower), case_folded(upper)) << printable_name(lower);
    EXPECT_EQ(case_folded(lower), upper) << printable_name(lower);
  }
  const std::pair<const char*, const char*> different[] = {
      {"\xF7", "\xD7"}, {"\xDF", "\xBF"}, {"\x9B", "\x8B"},
      {"\x9D", "\x8D"}, {"@", "`"},       {"[", "{"},
  };
  for (const auto& [one, other] : different) {
    EXPECT_NE(case_folded(one), case_folded(other)) << printable_name(one);
    EXPECT_EQ(case_folded(one), one) << printable_name(one);
  }
}

}  // namespace
}  // namespace qvx
