// A save changes no byte the user did not edit: detection takes only readings that encode back to
// the file's own bytes, an edited text keeps the file's bytes around the edit (even where the
// encoding would write a character differently), and a plain ASCII file that gains other
// characters is saved as UTF-8, not as escapes it never used.
#include "tests/app/editor/EditorFixture.h"

#include "app/editor/EditorCodec.h"

#include "tests/support/IconvOracle.h"

#include <functional>

using namespace editor;

namespace {

Bytes bytesOf(const std::string &s) {
  return Bytes(s.begin(), s.end());
}
std::string stringOf(const Bytes &b) {
  return std::string(b.begin(), b.end());
}
// Bytes as hex, so that a difference shows where it is.
std::string hexOf(const std::string &s) {
  static const char *digits = "0123456789ABCDEF";
  std::string h;
  for (unsigned char c : s) {
    h += digits[c >> 4];
    h += digits[c & 15];
    h += ' ';
  }
  return h;
}
std::string gb2312(const std::string &utf8) {
  auto bytes = testsupport::iconvConvert(utf8, "UTF-8", "GB2312");
  EXPECT_TRUE(bytes);
  return bytes.value_or("");
}

// Chinese text whose bytes pass the Shift JIS pair count and read as Shift JIS, and hold ED C7,
// which that reading takes for a character that Shift JIS writes as FA E3.
const std::string kChinese = "海淀区前北\n走国式\n海淀区前北\n";

LoadedFile loadedFrom(const Bytes &bytes, const DecodedText &d) {
  return {bytes,
          d.text,
          {d.useEncoding, d.unicodeWithFFFE, d.unicodeBigEndian, d.utf8WithMark, d.fileHasEscapes,
           d.upperCaseEscapes},
          d.markLength};
}

} // namespace

TEST(EditKeepsBytes, ReadingsThatDoNotEncodeBackAreNotTaken) {
  const std::string file = gb2312(kChinese);
  ASSERT_NE(file.find("\xED\xC7"), std::string::npos);
  ASSERT_TRUE(looksLikeShiftJIS(reinterpret_cast<const uint8_t *>(file.data()), file.size()));
  DecodedText d = decodeFile(bytesOf(file), 0);
  EXPECT_NE(d.useEncoding, kEncodingShiftJIS);
  EXPECT_TRUE(d.loaded);
  auto back = encodeWith(d.text, d.useEncoding);
  ASSERT_TRUE(back);
  EXPECT_EQ(stringOf(*back), file);
  // A file that is Shift JIS and reads back to itself still is.
  auto sjis = testsupport::iconvConvert("日本語のテキスト\nカタカナ\n", "UTF-8", "SHIFT_JIS");
  ASSERT_TRUE(sjis);
  EXPECT_EQ(decodeFile(bytesOf(*sjis), 0).useEncoding, kEncodingShiftJIS);
}

// Each file is loaded (detected or in the encoding configured), ASCII is typed at the start of its
// second line, and the save must be the file's bytes with only the typed ones added.
TEST(EditKeepsBytes, AnEditChangesNoByteAroundIt) {
  struct Case {
    const char *name;
    std::string file;
    uint32_t configured; // 0: detect
    int carriage;
    std::string typed;      // inserted at the start of line 2
    std::string typedBytes; // what the typed text is in the file's encoding
  };
  std::string utf16 = "\xFF\xFE";
  for (char c : std::string("h\xE9llo\nw\xF6rld\n"))
    utf16 += std::string{c, '\0'};
  const std::string crlf = gb2312("海淀区前北\r\n走国式\r\n海淀区前北\r\n");
  const Case cases[] = {
      {"gb2312, detected", gb2312(kChinese), 0, 0, "abc", "abc"},
      {"gb2312 read as Shift JIS by setting", gb2312(kChinese), kEncodingShiftJIS, 0, "abc", "abc"},
      {"crlf kept and typed line end written as crlf", crlf, kEncodingShiftJIS, 0, "x\n", "x\r\n"},
      {"escapes keep their spelling", "\\u00C9t\\u00e9\nline two\n", 0, 0, "\xC3\xA9", "\\u00E9"},
      {"utf-16 with its mark", utf16, 0, 0, "ab", std::string("a\0b\0", 4)},
      {"utf-8", "caf\xC3\xA9\nsecond\n", 0, 2, "\xE2\x9C\x93", "\xE2\x9C\x93"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes bytes = bytesOf(c.file);
    DecodedText d = decodeFile(bytes, c.configured);
    ASSERT_TRUE(d.loaded);
    const size_t line2 = d.text.find('\n') + 1;
    std::string edited = d.text;
    edited.insert(line2, c.typed);
    LoadedFile loaded = loadedFrom(bytes, d);
    EncodeState state = loaded.state;
    auto saved = encodeEdited(edited, c.carriage, d.wasCRLF, loaded, state);
    ASSERT_TRUE(saved);
    const size_t lf = d.useEncoding == kEncodingUTF16 ? c.file.find(std::string("\n\0", 2)) + 2
                                                      : c.file.find('\n') + 1;
    std::string expected = c.file;
    expected.insert(lf, c.typedBytes);
    EXPECT_EQ(hexOf(stringOf(*saved)), hexOf(expected));
    EXPECT_EQ(state.useEncoding, d.useEncoding);
  }
}

// Line ends by "CarriageControl", on every line, edited or not: "keep" (0) writes CR LF
// throughout for a file that had CR LF and leaves a file without CR LF as it was.
TEST(EditKeepsBytes, LineEndsFollowTheSettingOnEveryLine) {
  struct Case {
    std::string file;
    int carriage;
    size_t at;
    std::string typed, expected;
  };
  const Case cases[] = {
      {"one\ntwo\r\nthree\n", 0, 3, "!", "one!\r\ntwo\r\nthree\r\n"},
      {"one\ntwo\r\nthree\n", 0, 0, "zero\n", "zero\r\none\r\ntwo\r\nthree\r\n"},
      {"one\ntwo\r\nthree\n", 0, 15, "four", "one\r\ntwo\r\nthree\r\nfour"},
      {"one\ntwo\r\nthree\n", 0, 9, "\n", "one\r\ntwo\r\n\r\nthree\r\n"},
      {"one\ntwo\nthree\n", 0, 4, "\n", "one\n\ntwo\nthree\n"},
      {"one\ntwo\r\nthree\n", 1, 0, "!", "!one\r\ntwo\r\nthree\r\n"},
      {"one\ntwo\r\nthree\n", 2, 0, "!", "!one\ntwo\nthree\n"},
      {"one\ntwo\r\nthree\n", 3, 0, "!", "!one\ntwo\r\nthree\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::to_string(c.carriage) + " " + c.expected);
    const Bytes bytes = bytesOf(c.file);
    DecodedText d = decodeFile(bytes, 0);
    std::string edited = d.text;
    edited.insert(c.at, c.typed);
    EncodeState state = loadedFrom(bytes, d).state;
    auto saved = encodeEdited(edited, c.carriage, d.wasCRLF, loadedFrom(bytes, d), state);
    ASSERT_TRUE(saved);
    EXPECT_EQ(hexOf(stringOf(*saved)), hexOf(c.expected));
  }
}

// A file of mixed line ends is saved with CR LF throughout whatever the save has to do: move a
// plain ASCII file to UTF-8, write the text whole in another encoding, or in one that carries a
// shift state.
TEST(EditKeepsBytes, MixedLineEndsBecomeCrLfOnEverySave) {
  const std::string file = "one\r\ntwo\nthree\r\nfour\n";
  struct Case {
    const char *name;
    uint32_t configured; // 0: detect
    uint32_t savedIn;    // the encoding the save writes (0: as loaded)
    std::string typed;   // typed at the end of line two
    std::string expected;
  };
  const Case cases[] = {
      {"ascii gains one accented letter", 0, 0, "\xC3\xA9",
       "one\r\ntwo\xC3\xA9\r\nthree\r\nfour\r\n"},
      {"ascii gains a character beyond the first plane", 0, 0, "\xF0\x9F\x98\x80",
       "one\r\ntwo\xF0\x9F\x98\x80\r\nthree\r\nfour\r\n"},
      {"written whole in UTF-16", 0, kEncodingUTF16, "!",
       std::string("\xFF\xFE") +
           testsupport::iconvConvert("one\r\ntwo!\r\nthree\r\nfour\r\n", "UTF-8", "UTF-16LE")
               .value_or("")},
      {"iso-2022-jp is always written whole", kEncodingISO2022JP, 0, "\xE6\x97\xA5",
       testsupport::iconvConvert("one\r\ntwo\xE6\x97\xA5\r\nthree\r\nfour\r\n", "UTF-8",
                                 "ISO-2022-JP")
           .value_or("")},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes bytes = bytesOf(file);
    DecodedText d = decodeFile(bytes, c.configured);
    ASSERT_TRUE(d.loaded && d.wasCRLF);
    std::string edited = d.text;
    edited.insert(edited.find("\nthree"), c.typed);
    const LoadedFile loaded = loadedFrom(bytes, d);
    EncodeState state = loaded.state;
    if (c.savedIn == kEncodingUTF16) state = {kEncodingUTF16, true};
    auto saved = encodeEdited(edited, 0, d.wasCRLF, loaded, state);
    ASSERT_TRUE(saved);
    EXPECT_EQ(hexOf(stringOf(*saved)), hexOf(c.expected));
  }
}

// Edits here and there leave every line between them as it was, its line end too (with a
// "CarriageControl" that leaves line ends alone, so that each line shows its own).
TEST(EditKeepsBytes, LinesBetweenEditsKeepTheirBytes) {
  const std::string file = "top\r\na\nb\r\nc\nd\r\nbottom\n";
  struct Case {
    const char *name;
    std::function<void(std::string &)> edit;
    std::string expected;
  };
  const Case cases[] = {
      {"top and bottom", [](std::string &t) { t.insert(3, "!"), t += "!"; },
       "top!\r\na\nb\r\nc\nd\r\nbottom\n!"},
      {"a line typed between two others and the first line edited",
       [](std::string &t) { t.insert(t.find("c\n"), "new\n"), t.insert(0, "x"); },
       "xtop\r\na\nb\r\nnew\nc\nd\r\nbottom\n"},
      {"a line taken out, another edited",
       [](std::string &t) { t.erase(t.find("b\r\n"), 3), t.insert(t.find("d"), "e"); },
       "top\r\na\nc\ned\r\nbottom\n"},
      {"a letter at the end of a line and another at the end of the next",
       [](std::string &t) { t.insert(t.find("\r\nbottom"), "!"), t.insert(t.find("\nd"), "Y"); },
       "top\r\na\nb\r\ncY\nd!\r\nbottom\n"},
      {"an accented letter on the last line and a line on top",
       [](std::string &t) { t.insert(t.find("bottom") + 6, "\xC3\xA9"), t.insert(0, "\n"); },
       "\ntop\r\na\nb\r\nc\nd\r\nbottom\xC3\xA9\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes bytes = bytesOf(file);
    DecodedText d = decodeFile(bytes, 0);
    std::string edited = d.text;
    c.edit(edited);
    const LoadedFile loaded = loadedFrom(bytes, d);
    EncodeState state = loaded.state;
    auto saved = encodeEdited(edited, 3, d.wasCRLF, loaded, state);
    ASSERT_TRUE(saved);
    EXPECT_EQ(hexOf(stringOf(*saved)), hexOf(c.expected));
  }
}

TEST(EditKeepsBytes, PlainAsciiGainingOtherCharactersBecomesUtf8) {
  struct Case {
    std::string file, typed, expected;
    uint32_t savedAs;
  };
  const Case cases[] = {
      {"plain text\n", "caf\xC3\xA9 ", "caf\xC3\xA9 plain text\n", kEncodingUTF8},
      {"a\\u0041\n", "\xE2\x82\xAC",
       "\xE2\x82\xAC"
       "a\\u0041\n",
       kEncodingUTF8},
      {"plain text\n", "more ", "more plain text\n", kEncodingNonLossyASCII},
      {"\\u00c9\n", "\xC3\xA9", "\\u00e9\\u00c9\n", kEncodingNonLossyASCII},
      {"\\u00C9\n", "\xC3\xA9", "\\u00E9\\u00C9\n", kEncodingNonLossyASCII},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.file + " + " + c.typed);
    const Bytes bytes = bytesOf(c.file);
    DecodedText d = decodeFile(bytes, 0);
    ASSERT_EQ(d.useEncoding, kEncodingNonLossyASCII);
    LoadedFile loaded = loadedFrom(bytes, d);
    EncodeState state = loaded.state;
    auto saved = encodeEdited(c.typed + d.text, 0, d.wasCRLF, loaded, state);
    ASSERT_TRUE(saved);
    EXPECT_EQ(stringOf(*saved), c.expected);
    EXPECT_EQ(state.useEncoding, c.savedAs);
    EXPECT_EQ(decodeFile(*saved, 0).text, c.typed + d.text);
  }
}

namespace {

class EditKeepsBytesScreen : public EditorTest {};

} // namespace

TEST_F(EditKeepsBytesScreen, EditingLineTwoOfAChineseFileKeepsEveryOtherByte) {
  const std::string original = gb2312(kChinese);
  const std::string path = write("beijing.txt", original);
  auto editor = open(path);
  EXPECT_NE(editor->useEncoding, kEncodingShiftJIS);
  const std::string shown = text(editor);
  size_t line2 = 0; // in characters of the text
  for (size_t i = 0; i <= shown.find('\n'); ++i)
    line2 += (static_cast<uint8_t>(shown[i]) & 0xC0) != 0x80;
  editor->theText->setSelectedRange({line2, 0});
  ASSERT_TRUE(probe->type("File Text", "abc")) << probe->lastError();
  ASSERT_TRUE(probe->tap("Save"));
  std::string expected = original;
  expected.insert(original.find('\n') + 1, "abc");
  EXPECT_EQ(hexOf(testsupport::readFile(path)), hexOf(expected));
}

TEST_F(EditKeepsBytesScreen, TypingIntoAPlainAsciiFileSavesUtf8) {
  const std::string path = write("menu.txt", "tea\n");
  auto editor = open(path);
  ASSERT_TRUE(probe->type("File Text", "caf\xC3\xA9 "));
  ASSERT_TRUE(probe->tap("Save"));
  EXPECT_EQ(testsupport::readFile(path), "caf\xC3\xA9 tea\n");
}

TEST_F(EditKeepsBytesScreen, AFileWithCrLfIsSavedWithCrLfThroughoutEvenUnedited) {
  const std::string path = write("mixed.txt", "one\ntwo\r\nthree\n");
  auto editor = open(path);
  ASSERT_TRUE(probe->tap("Save"));
  EXPECT_EQ(hexOf(testsupport::readFile(path)), hexOf("one\r\ntwo\r\nthree\r\n"));
}
