// The editor's codec against iconv: a corpus of files made by iconv in the encodings the editor
// detects (with and without byte-order marks, every kind of line end, empty, tiny and large)
// decodes to iconv's own reading and encodes back to the same bytes; then the edges of detection
// (declarations, the pair count, the Shift JIS test, marks) and of saving.
#include "app/editor/EditorCodec.h"

#include "tests/support/IconvOracle.h"

#include <gtest/gtest.h>

using namespace editor;

namespace {

Bytes bytesOf(const std::string &s) {
  return Bytes(s.begin(), s.end());
}
std::string stringOf(const Bytes &b) {
  return std::string(b.begin(), b.end());
}

struct CorpusCase {
  const char *name;
  const char *charset; // iconv's name for the body
  std::string text;    // UTF-8
  std::string mark;    // bytes before the body
  uint32_t expected;
};

std::vector<CorpusCase> corpus() {
  std::string html = "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; "
                     "charset = 'windows-1251'\">\n<!--";
  html += std::string(2100, '-') + "-->\n</head><body>Привет, мир! Ёлка.</body></html>\n";
  std::string big;
  while (big.size() < 10 * 1024 * 1024)
    big += "Große Straße – ünïcödé line ✓ " + std::to_string(big.size()) + "\n";
  std::string japanese;
  for (int i = 0; i < 20; ++i)
    japanese += "日本語のテキストです。カタカナとひらがな。\r\n";
  return {
      {"ascii", "ASCII", "hello\nworld\n", "", kEncodingNonLossyASCII},
      {"latin1", "ISO-8859-1", "caf\xc3\xa9 d\xc3\xa9j\xc3\xa0 vu\n", "", kEncodingLatin1},
      {"utf8", "UTF-8",
       "na\xc3\xafve \xe2\x80\x93 \xc3\xbcn\xc3\xaf"
       "c\xc3\xb6"
       "d\xc3\xa9 \xe2\x9c\x93\n",
       "", kEncodingUTF8},
      {"utf8 with mark", "UTF-8",
       "Gr\xc3\xbc\xc3\x9f"
       "e aus K\xc3\xb6ln\n",
       "\xEF\xBB\xBF", kEncodingUTF8},
      {"utf16 le with mark", "UTF-16LE",
       "Gr\xc3\xbc\xc3\x9f"
       "e \xe2\x82\xac 100\r\nzwei\r\n",
       "\xFF\xFE", kEncodingUTF16},
      {"utf16 be with mark", "UTF-16BE",
       "\xce\x93\xce\xb5\xce\xb9\xce\xac \xcf\x83\xce\xbf\xcf\x85\n", "\xFE\xFF", kEncodingUTF16},
      {"shift jis", "SHIFT_JIS", japanese, "", kEncodingShiftJIS},
      {"windows-1251 html", "WINDOWS-1251", html, "", kEncodingWin1251},
      {"cr", "ASCII", "one\rtwo\rthree", "", kEncodingNonLossyASCII},
      {"crlf", "ASCII", "one\r\ntwo\r\n", "", kEncodingNonLossyASCII},
      {"mixed", "ASCII", "one\r\ntwo\nthree\rfour\n", "", kEncodingNonLossyASCII},
      {"empty", "ASCII", "", "", kEncodingNonLossyASCII},
      {"two bytes ff fe", "ISO-8859-1", "\xc3\xbf\xc3\xbe", "", kEncodingLatin1},
      {"ten megabytes", "UTF-8", big, "", kEncodingUTF8},
  };
}

} // namespace

TEST(EditorCodec, CorpusDecodesAsIconvReadsItAndSavesByteExact) {
  for (const auto &c : corpus()) {
    SCOPED_TRACE(c.name);
    auto body = testsupport::iconvConvert(c.text, "UTF-8", c.charset);
    ASSERT_TRUE(body) << "iconv could not make the file";
    const std::string file = c.mark + *body;
    auto oracle = testsupport::iconvConvert(*body, c.charset, "UTF-8");
    ASSERT_TRUE(oracle);

    DecodedText d = decodeFile(bytesOf(file), 0);
    EXPECT_EQ(d.useEncoding, c.expected);
    EXPECT_TRUE(d.loaded);
    EXPECT_TRUE(d.text == *oracle) << "decoded text differs from iconv's";
    EXPECT_EQ(d.wasCRLF, oracle->find("\r\n") != std::string::npos);

    // Line ends left as they are (a "CarriageControl" that rewrites nothing).
    EncodeState state{d.useEncoding, d.unicodeWithFFFE, d.unicodeBigEndian, d.utf8WithMark};
    auto saved = encodeForSaving(lineEndsForSaving(d.text, 3, d.wasCRLF), state);
    ASSERT_TRUE(saved);
    EXPECT_TRUE(stringOf(*saved) == file) << "saved bytes differ";
  }
}

TEST(EditorCodec, EmptyFileSavesAsZeroBytesOfUtf8) {
  DecodedText d = decodeFile({}, 0);
  EXPECT_EQ(d.useEncoding, kEncodingNonLossyASCII);
  EXPECT_EQ(d.text, "");
  EncodeState state{d.useEncoding};
  auto saved = encodeForSaving("", state);
  ASSERT_TRUE(saved);
  EXPECT_TRUE(saved->empty());
  EXPECT_EQ(state.useEncoding, kEncodingUTF8);
}

// Detection edges: what each file loads as.
TEST(EditorCodec, DetectionEdges) {
  struct Case {
    const char *name;
    std::string bytes;
    uint32_t expected;
  };
  const std::string declared = "<meta charset=\"windows-1251\">";
  std::string utf16WithUtf8Pairs = "\xFF\xFE";
  for (int i = 0; i < 50; ++i)
    utf16WithUtf8Pairs += "\xC3\xA9"; // U+A9C3 as UTF-16: byte pairs that look like UTF-8
  const Case cases[] = {
      {"pure ascii", "plain text\n", kEncodingNonLossyASCII},
      {"one byte above 0x7f", "caf\xE9\n", kEncodingLatin1},
      {"declaration with blanks and quotes",
       "<meta content=\"text/html; charset = \"windows-1251\"\">\nok", kEncodingWin1251},
      {"declaration by encoding=", "<?xml version='1.0' encoding='ISO-8859-2'?><a/>",
       kEncodingLatin2},
      {"declaration after a prefix that is not utf-8", "\xFF\xFF" + declared, kEncodingLatin1},
      {"declaration overruled by utf-8 pairs", declared + "\xC3\xA9\xC3\xA9", kEncodingUTF8},
      {"mark decides over utf-8 pairs", utf16WithUtf8Pairs, kEncodingUTF16},
      {"two bytes ff fe are no mark", "\xFF\xFE", kEncodingLatin1},
      {"the list order decides, not the text order", "charset=Shift_JIS charset=utf-8",
       kEncodingUTF8},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(decodeFile(bytesOf(c.bytes), 0).useEncoding, c.expected);
  }
}

TEST(EditorCodec, DeclarationWindowIsTheFirst2048Bytes) {
  std::string head(2040, 'a');
  head += "\xD0\x9F"; // a two-byte character that the window cuts through
  head += std::string(20, 'b') + "charset=windows-1252";
  std::string inside = "charset=windows-1252" + std::string(2100, 'x');
  auto declared = [](const std::string &s) {
    return declaredEncoding(reinterpret_cast<const uint8_t *>(s.data()), s.size());
  };
  EXPECT_EQ(declared(inside), kEncodingWin1252);
  EXPECT_EQ(declared(head), 0u); // beyond the window
  std::string cut(2047, 'a');
  cut = "charset=windows-1253" + cut.substr(20) + "\xD0\x9F";
  EXPECT_EQ(declared(cut), kEncodingWin1253); // a character cut by the window does not hide it
}

TEST(EditorCodec, PairCountDoesNotWrapOnLargeFiles) {
  // 65,537 good pairs and two bad ones: 16-bit counters would have made it 1 against 2.
  std::string s;
  for (int i = 0; i < 65537; ++i)
    s += "\xC3\xA9";
  s += "\xC3"
       "a\xC3"
       "b";
  EXPECT_TRUE(utf8PairsWin(reinterpret_cast<const uint8_t *>(s.data()), s.size()));
}

TEST(EditorCodec, ShiftJISTestNeedsEightGoodPairsPerBadOne) {
  auto sjis = [](const std::string &s) {
    return looksLikeShiftJIS(reinterpret_cast<const uint8_t *>(s.data()), s.size());
  };
  std::string good;
  for (int i = 0; i < 4; ++i)
    good += "\x82\xa0\x83\x41";                 // あア: an even and an odd lead byte
  EXPECT_FALSE(sjis(good + "\x81\x20"));        // 8 good × 0.125 = 1, not above 1 bad
  EXPECT_TRUE(sjis(good + "\x82\xa0\x81\x20")); // 9 good
  EXPECT_FALSE(sjis(""));                       // nothing at all chooses nothing
  EXPECT_FALSE(sjis("\x93"));                   // a lead byte at the very end has no trail
}

TEST(EditorCodec, NonLossyAsciiKeepsPureAsciiFilesAsTheyAre) {
  const std::string file = "path C:\\users\\u0041 and \\u00e9 and \\\\ end\n";
  DecodedText d = decodeFile(bytesOf(file), 0);
  EXPECT_EQ(d.useEncoding, kEncodingNonLossyASCII);
  EXPECT_EQ(d.text, "path C:\\users\\u0041 and \xc3\xa9 and \\\\ end\n");
  EXPECT_TRUE(d.fileHasEscapes); // so its new characters are escaped too
  EncodeState state{d.useEncoding, false, false, false, d.fileHasEscapes, d.upperCaseEscapes};
  auto saved = encodeForSaving(d.text, state);
  ASSERT_TRUE(saved);
  EXPECT_EQ(stringOf(*saved), file);
  // Characters outside ASCII travel as escapes, those beyond the first plane as pairs.
  auto emoji = encodeWith("\xF0\x9F\x98\x80", kEncodingNonLossyASCII);
  ASSERT_TRUE(emoji);
  EXPECT_EQ(stringOf(*emoji), "\\ud83d\\ude00");
  EXPECT_EQ(decodeWith(*emoji, kEncodingNonLossyASCII), "\xF0\x9F\x98\x80");
}

TEST(EditorCodec, ConfiguredEncodingSkipsDetection) {
  auto cp1251 = testsupport::iconvConvert("Привет", "UTF-8", "WINDOWS-1251");
  ASSERT_TRUE(cp1251);
  DecodedText d = decodeFile(bytesOf(*cp1251), 2562); // KOI8-R, as configured
  EXPECT_EQ(d.useEncoding, 2562u);
  EXPECT_EQ(d.text, *testsupport::iconvConvert(*cp1251, "KOI8-R", "UTF-8"));
  // UTF-16 configured: the file is read little-endian and gets its mark on saving.
  DecodedText u = decodeFile(bytesOf(std::string("A\0B\0", 4)), kEncodingUTF16);
  EXPECT_EQ(u.text, "AB");
  EncodeState state{u.useEncoding, u.unicodeWithFFFE};
  EXPECT_EQ(stringOf(*encodeForSaving(u.text, state)), std::string("\xFF\xFE"
                                                                   "A\0B\0",
                                                                   6));
}

TEST(EditorCodec, ReloadInAChosenEncodingHasNoFallbacks) {
  DecodedText d = decodeFileAs(bytesOf("caf\xE9"), kEncodingUTF8);
  EXPECT_FALSE(d.loaded);
  EXPECT_EQ(d.text, "");
  DecodedText u = decodeFileAs(bytesOf(std::string("\xFF\xFE"
                                                   "A\0",
                                                   4)),
                               kEncodingUTF16);
  EXPECT_TRUE(u.loaded);
  EXPECT_EQ(u.text, "A");
  EXPECT_TRUE(u.unicodeWithFFFE);
}

// UTF-16 text whose first character reads as a mark (U+FEFF, U+FFFE), saved with and without
// the file's own mark, whole and after an edit, reads back as the same text.
TEST(EditorCodec, Utf16TextThatStartsLikeAMarkSurvivesItsSave) {
  const std::string texts[] = {"\uFEFFhi", "\uFFFEhi", "\uFEFF", "\uFEFF\uFEFFx", "hi\uFEFF"};
  for (const auto &text : texts) {
    for (bool withMark : {true, false}) {
      SCOPED_TRACE(std::to_string(text.size()) + (withMark ? " with mark" : " without"));
      EncodeState state{kEncodingUTF16, withMark};
      auto saved = encodeForSaving(text, state);
      ASSERT_TRUE(saved);
      DecodedText d = decodeFileAs(*saved, kEncodingUTF16);
      ASSERT_TRUE(d.loaded);
      EXPECT_EQ(d.text, text);
      // Edited after loading: the same text again with a line added.
      LoadedFile loaded;
      loaded.bytes = *saved;
      loaded.text = d.text;
      loaded.markLength = d.unicodeWithFFFE || d.unicodeBigEndian ? 2 : 0;
      loaded.state = EncodeState{d.useEncoding, d.unicodeWithFFFE, d.unicodeBigEndian};
      EncodeState again = loaded.state;
      auto edited = encodeEdited(text + "\n+", 0, false, loaded, again);
      ASSERT_TRUE(edited);
      EXPECT_EQ(decodeFileAs(*edited, kEncodingUTF16).text, text + "\n+");
    }
  }
}

TEST(EditorCodec, SavingRefusesAnEncodingThatCannotHoldTheText) {
  for (uint32_t id : {kEncodingLatin1, kEncodingWin1251, kEncodingShiftJIS, 2562u}) {
    EncodeState state{id};
    EXPECT_FALSE(encodeForSaving("\xe2\x98\x83 snowman \xf0\x9f\x98\x80", state)) << id;
    EXPECT_EQ(state.useEncoding, id);
  }
  // Invisible characters the legacy encodings lack are refused too, not left out of the file;
  // the soft hyphen, which Latin-1 and Windows-1252 have, is written.
  for (uint32_t id : {kEncodingLatin1, kEncodingWin1252, kEncodingLatin2, kEncodingWin1251,
                      kEncodingShiftJIS, kEncodingEUCJP, kEncodingISO2022JP, 2562u, 2563u}) {
    for (const char *text : {"zero\u200Bwidth", "joiner\u200D", "\uFEFFmark", "word\u2060joiner"}) {
      EncodeState state{id};
      EXPECT_FALSE(encodeForSaving(text, state)) << id << " " << text;
    }
  }
  for (uint32_t id : {kEncodingLatin1, kEncodingWin1252}) {
    EncodeState state{id};
    EXPECT_EQ(encodeForSaving("soft\u00ADhyphen", state), bytesOf("soft\xADhyphen")) << id;
  }
}

TEST(EditorCodec, LineEndsForSaving) {
  struct Case {
    int carriage;
    bool wasCRLF;
    const char *in, *out;
  };
  const Case cases[] = {
      {0, false, "a\nb\r\nc\r", "a\nb\r\nc\r"}, {0, true, "a\nb\r\nc", "a\r\nb\r\nc"},
      {1, false, "a\nb\r\n", "a\r\nb\r\n"},     {2, true, "a\r\nb\r\nc\n", "a\nb\nc\n"},
      {7, true, "a\nb\r\n", "a\nb\r\n"},        {1, false, "", ""},
      {2, false, "\r\n\r\n", "\n\n"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(lineEndsForSaving(c.in, c.carriage, c.wasCRLF), c.out)
        << c.carriage << " " << c.wasCRLF << " " << c.in;
}
