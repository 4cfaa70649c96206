// Archives whose names are in a code page other than the system's: with
// --charset, qvx gives files the characters the names were written in, and
// the archive keeps the code page's bytes. The expected bytes are those of
// the published code page tables.
#include <gtest/gtest.h>

#include <cstdio>
#include <nlohmann/json.hpp>

#include "archive_builder.h"
#include "cli_test.h"

namespace qvx::test {
namespace {

using builder::entry_content;

constexpr std::size_t name_field = 15;

// The name fields of an archive laid out as create writes it (names last),
// each up to its first NUL.
std::vector<std::string> stored_names(const std::string& archive, std::size_t count) {
  std::vector<std::string> names;
  names.reserve(count);
  // Where the last record's data end.
  const auto u32 = [&](std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t i = 4; i-- > 0;)
      value = value << 8U | static_cast<unsigned char>(archive[at + i]);
    return value;
  };
  const std::size_t table = u32(builder::offset_field_position(count - 1)) +
                            static_cast<std::size_t>(u32(builder::size_field_position(count - 1)));
  for (std::size_t i = 0; i < count; ++i) {
    const std::string field = archive.substr(table + name_field * i, name_field);
    names.push_back(field.substr(0, field.find('\0')));
  }
  return names;
}

class CharsetTest : public ::testing::Test {
 protected:
  run_result qvx(const std::vector<std::string>& args, const fs::path& cwd) {
    return run_qvx(args, cwd, in_utf8_locale());
  }
  run_result qvx(const std::vector<std::string>& args) { return qvx(args, work_.path()); }

  scratch_dir work_;
};

TEST_F(CharsetTest, NamesGoIntoTheCodePageAndComeBackAsTheirCharacters) {
  struct named {
    std::string charset;
    std::string text;     // UTF-8
    std::string bytes;    // in the code page
    std::size_t columns;  // on a terminal: two for each ideograph or kana
  };
  const std::vector<named> cases = {
      // The second byte of each of these two characters is 0x5C, a '\' to
      // anything that reads the name as ASCII.
      {"CP932", "\u8868\u793A.txt", "\x95\x5C\x8E\xA6.txt", 8},
      {"CP932", "\u30BD\u30D5\u30C8", "\x83\x5C\x83\x74\x83\x67", 6},
      // ... or 0x7C, a '|'.
      {"CP932", "\u30DD", "\x83\x7C", 2},
      // A code page by its number, as Windows names it.
      {"932", "\u8868", "\x95\x5C", 2},
      {"1252", "\u00E9t\u00E9", "\xE9t\xE9", 3},
      // The converter's last bytes come only when it is told the text ended.
      {"UTF-7", "caf\u00E9", "caf+AOk-", 4},
      {"CP1252", "Caf\u00E9 \u20AC", "Caf\xE9 \x80", 6},
      {"cp1251", "\u0424\u0430\u0439\u043B", "\xD4\xE0\xE9\xEB", 4},
  };
  for (const named& name : cases) {
    if (testing_windows_build() && name.charset == "UTF-7") continue;  // iconv's name
    SCOPED_TRACE(name.charset + " " + name.text);
    scratch_dir place;
    fs::create_directory(place / "in");
    fs::create_directory(place / "out");
    write_file(place / "in" / name.text, "bytes of " + name.text);
    write_file(place / "in" / "plain.txt", "plain");

    const run_result created =
        qvx({"create", "--charset", name.charset, "a.qvx", "in/" + name.text, "in/plain.txt"},
            place.path());
    ASSERT_EQ(created.exit_status, 0) << created.err;
    const std::string archive = read_file(place / "a.qvx");
    EXPECT_EQ(stored_names(archive, 2), (std::vector<std::string>{name.bytes, "plain.txt"}));

    const run_result listed =
        qvx({"list", "--json", "--charset", name.charset, "a.qvx"}, place.path());
    EXPECT_EQ(listed.exit_status, 0) << listed.err;
    const nlohmann::json entries = nlohmann::json::parse(listed.out);
    EXPECT_EQ(entries.at(0).at("name"), name.text);
    EXPECT_EQ(entries.at(0).at("name_hex").get<std::string>().size(), 2 * name.bytes.size());

    // The table's columns stay in line: the name is padded by the columns
    // it takes on a terminal, not by its bytes.
    if (!testing_windows_build()) {
      const run_result table = qvx({"list", "--charset", name.charset, "a.qvx"}, place.path());
      char numbers[64];
      std::snprintf(numbers, sizeof numbers, "  %10d  %10zu", 30, 9 + name.text.size());
      const std::string line =
          "    1  " + name.text + std::string(15 - name.columns, ' ') + numbers;
      EXPECT_NE(table.out.find(line), std::string::npos) << table.out;
    }

    const run_result extracted =
        qvx({"extract", "--charset", name.charset, "../a.qvx"}, place / "out");
    EXPECT_EQ(extracted.exit_status, 0) << extracted.err;
    EXPECT_EQ(list_dir(place / "out"), (std::set<std::string>{name.text, "plain.txt"}));
    EXPECT_EQ(read_file(place / "out" / name.text), "bytes of " + name.text);
  }
}

TEST_F(CharsetTest, PatternsCaseAndUpdateGoByTheConvertedNames) {
  fs::create_directory(work_ / "in");
  const std::string hyou = "\u8868\u793A.txt";  // 0x955C 0x8EA6 in CP932
  write_file(work_ / "in" / hyou, "first");
  write_file(work_ / "in" / "other.txt", "other");
  ASSERT_EQ(
      qvx({"create", "--charset", "CP932", "a.qvx", "in/" + hyou, "in/other.txt"}).exit_status, 0);

  const run_result cat = qvx({"cat", "--charset", "CP932", "a.qvx", "\u8868*"});
  EXPECT_EQ(cat.exit_status, 0) << cat.err;
  EXPECT_EQ(cat.out, "first");

  // The entry is replaced where it stands, found by its converted name.
  write_file(work_ / "in" / hyou, "second");
  const run_result updated = qvx({"update", "--charset", "CP932", "a.qvx", "in/" + hyou});
  EXPECT_EQ(updated.exit_status, 0) << updated.err;
  const std::string archive = read_file(work_ / "a.qvx");
  EXPECT_EQ(stored_names(archive, 2),
            (std::vector<std::string>{"\x95\x5C\x8E\xA6.txt", "other.txt"}));
  EXPECT_EQ(qvx({"cat", "--charset", "CP932", "a.qvx", hyou}).out, "second");
  // A name that differs only in case is refused, and the entry it clashes
  // with is named as converted.
  fs::create_directory(work_ / "up");
  write_file(work_ / "up" / "\u8868\u793A.TXT", "third");
  const run_result clash = qvx({"update", "--charset", "CP932", "a.qvx", "up/\u8868\u793A.TXT"});
  EXPECT_EQ(clash.exit_status, 2);
  // (The Windows program shows the path in the ANSI code page.)
  EXPECT_NE(clash.err.find("its entry name \"\u8868\u793A.TXT\" differs from that of entry \"" +
                           hyou + "\" only in case, which Windows ignores"),
            std::string::npos)
      << clash.err;
  EXPECT_NE(clash.err.find("qvx: a.qvx: not changed"), std::string::npos) << clash.err;

  // Letters that are one to Windows once converted, by their upper case:
  // accented capitals, and the long s, whose capital is S.
  const struct {
    const char* charset;
    std::string one, other;
  } same_letters[] = {{"CP1252", "\u00E9t\u00E9.txt", "\u00C9T\u00C9.TXT"},
                      {"UTF-8", "\u017F.txt", "s.txt"}};
  for (const auto& [charset, one, other] : same_letters) {
    // The Windows programs fold as the system does; Wine's folding keeps
    // the long s apart from s.
    if (testing_windows_build() && std::string_view{charset} == "UTF-8") continue;
    SCOPED_TRACE(other);
    write_file(work_ / "in" / one, "one");
    write_file(work_ / "in" / other, "other");
    const run_result folded =
        qvx({"create", "--charset", charset, "b.qvx", "in/" + one, "in/" + other});
    EXPECT_EQ(folded.exit_status, 2);
    EXPECT_NE(folded.err.find("only in case, which Windows ignores"), std::string::npos)
        << folded.err;
    EXPECT_FALSE(fs::exists(work_ / "b.qvx"));
  }
}

TEST_F(CharsetTest, WhatDoesNotConvertIsRefusedAndTheRestGoesOn) {
  // A name CP932 cannot hold is not packed, and then nothing is.
  fs::create_directory(work_ / "in");
  write_file(work_ / "in" / "caf\u00E9", "x");
  const run_result created = qvx({"create", "--charset", "CP932", "new.qvx", "in/caf\u00E9"});
  EXPECT_EQ(created.exit_status, 2);
  EXPECT_NE(created.err.find("its name has characters that CP932 cannot hold"), std::string::npos)
      << created.err;
  EXPECT_FALSE(fs::exists(work_ / "new.qvx"));

  // A lead byte with nothing after it is no CP932 name.
  const std::vector<entry_content> entries = {{"ok.txt", "fine"}, {"bad\x81", "lost"}};
  write_file(work_ / "a.qvx", builder::build_archive(entries));
  fs::create_directory(work_ / "out");
  const run_result extracted = qvx({"extract", "--charset", "CP932", "../a.qvx"}, work_ / "out");
  EXPECT_EQ(extracted.exit_status, 1);
  EXPECT_NE(extracted.err.find(": its name is not valid CP932; it is not unpacked"),
            std::string::npos)
      << extracted.err;
  EXPECT_EQ(list_dir(work_ / "out"), std::set<std::string>{"ok.txt"});

  // Such a name is reported for the entries a command reads, and only those.
  struct reading {
    std::vector<std::string> args;
    int status;
    std::string out;
    std::vector<std::string> err;
  };
  // Its number says which entry it is, whatever the terminal makes of the bytes.
  const std::string not_valid = "qvx: entry 2 \"bad\x81\": its name is not valid CP932; ";
  const std::vector<reading> readings = {
      {{"list", "--names", "a.qvx"}, 1, "ok.txt\nbad\x81\n", {not_valid + "it is listed as it is"}},
      {{"list", "--names", "--exclude", "bad*", "a.qvx"}, 0, "ok.txt\n", {}},
      {{"cat", "a.qvx", "bad*"}, 1, "lost", {not_valid + "its bytes are written all the same"}},
  };
  for (const reading& command : readings) {
    std::vector<std::string> args = command.args;
    SCOPED_TRACE(args.front() + " " + args[args.size() - 2]);
    args.insert(args.begin() + 1, {"--charset", "CP932"});
    const run_result read = qvx(args);
    EXPECT_EQ(read.exit_status, command.status);
    EXPECT_EQ(read.out, console_text(command.out));
    expect_lines(read.err, command.err);
  }

  const run_result checked = qvx({"check", "--charset", "CP932", "a.qvx"});
  EXPECT_EQ(checked.exit_status, 1);
  EXPECT_NE(checked.out.find("name is not valid CP932"), std::string::npos) << checked.out;

  // Only a charset that converts names exactly, or none at all: no empty
  // name (the locale's, to iconv), no "//TRANSLIT" look-alikes.
  for (const std::string charset : {"NO-SUCH-CHARSET", "", "CP932//TRANSLIT"}) {
    const run_result unknown = qvx({"list", "--charset", charset, "a.qvx"});
    EXPECT_EQ(unknown.exit_status, 2) << charset;
    EXPECT_EQ(unknown.out, "") << charset;
    expect_lines(unknown.err, {"qvx: --charset" + (charset.empty() ? "" : " " + charset) + ": "});
  }
}

// qvxreader takes a name as its bytes in the code page, so create refuses
// bytes that it would refuse, whatever the characters; a 0x5C or 0x7C that is
// part of a character passes (see NamesGoIntoTheCodePage...).
TEST_F(CharsetTest, CreateRefusesNamesWhoseBytesQvxreaderWouldRefuse) {
  if (testing_windows_build()) GTEST_SKIP() << "iconv's charsets";
  struct refused {
    std::string charset;
    std::string text;
    std::string why;
  };
  const std::vector<refused> cases = {
      {"UTF-16LE", "plain",
       "(70 00 6c 00 61 00 69 00 6e 00) would be refused: name contains a control character"},
      {"UTF-16LE", "\u7F41", "(41 7f) would be refused: name contains a control character"},
      {"UTF-7", "\u03FF", "(2b 41 2f 38 2d) would be refused: name contains a path separator"},
      // A character that the code page stores as another one's bytes.
      {"CP932", "\u00A5.txt",
       R"(reads back as "\.txt", which would be refused: name contains a path separator)"},
  };
  fs::create_directory(work_ / "in");
  for (const refused& name : cases) {
    SCOPED_TRACE(name.charset + " " + name.text);
    write_file(work_ / "in" / name.text, "x");
    const run_result created =
        qvx({"create", "--charset", name.charset, "new.qvx", "in/" + name.text});
    EXPECT_EQ(created.exit_status, 2);
    expect_lines(created.err,
                 {"qvx: in/" + name.text + ": its name in " + name.charset + " " + name.why,
                  "qvx: new.qvx: not written"});
    EXPECT_FALSE(fs::exists(work_ / "new.qvx"));
  }
}

TEST_F(CharsetTest, CheckReadsNamesAsTheCharsetSaysAndNotesNamesThatAreNotUtf8) {
  if (testing_windows_build()) GTEST_SKIP() << "names there are in the ANSI code page";
  write_file(work_ / "sjis.qvx",
             builder::build_archive(std::vector<entry_content>{{"\x95\x5C\x8E\xA6.txt", "x"}}));
  // As bytes, the name holds a '\'; as CP932 it is two characters.
  const run_result raw = qvx({"check", "sjis.qvx"});
  EXPECT_EQ(raw.exit_status, 1);
  EXPECT_NE(raw.out.find("path separator"), std::string::npos) << raw.out;
  // As CP932 it is two characters, and the byte only qvxreader's concern.
  const run_result converted = qvx({"check", "--charset", "CP932", "sjis.qvx"});
  EXPECT_EQ(converted.exit_status, 0) << converted.out;
  EXPECT_EQ(converted.out,
            "note: entry 1 \"\u8868\u793A.txt\": a byte of a CP932 character in its name is 0x5C, "
            "which qvxreader takes as '\\' and does not unpack; qvx extract --charset CP932 does\n"
            "1 entry, 0 problems, 0 overlaps\n");
  // A '/' among the bytes is a problem, whatever it is part of.
  write_file(work_ / "utf7.qvx",
             builder::build_archive(std::vector<entry_content>{{"+A/8-", "x"}}));
  const run_result slash = qvx({"check", "--charset", "UTF-7", "utf7.qvx"});
  EXPECT_EQ(slash.exit_status, 1);
  EXPECT_EQ(slash.out,
            "entry 1 \"\u03FF\": its bytes in UTF-7 (2b 41 2f 38 2d) would be refused: name "
            "contains a path separator\n"
            "1 entry, 1 problem, 0 overlaps\n");

  // A Latin-1 name is noted, with the way out, but is no problem.
  write_file(work_ / "latin.qvx",
             builder::build_archive(std::vector<entry_content>{{"caf\xE9", "x"}, {"tea", "y"}}));
  const run_result noted = qvx({"check", "latin.qvx"});
  EXPECT_EQ(noted.exit_status, 0) << noted.out;
  EXPECT_NE(noted.out.find("note: entry 1 \"caf\xE9\": name is not valid UTF-8"), std::string::npos)
      << noted.out;
  EXPECT_NE(noted.out.find("--charset"), std::string::npos);
  EXPECT_EQ(noted.out.find("entry 2"), std::string::npos) << noted.out;
}

}  // namespace
}  // namespace qvx::test
