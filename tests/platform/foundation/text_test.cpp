#include "platform/foundation/Text.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <iconv.h>

using namespace platform;

namespace {

// glibc's iconv, through its C API, is the independent oracle for the conversion tables.
std::optional<Bytes> iconvConvert(const char *to, const char *from, const Bytes &in) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  Bytes out(in.size() * 8 + 32);
  char *inPtr = const_cast<char *>(reinterpret_cast<const char *>(in.data()));
  size_t inLeft = in.size();
  char *outPtr = reinterpret_cast<char *>(out.data());
  size_t outLeft = out.size();
  bool ok = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1) &&
            iconv(cd, nullptr, nullptr, &outPtr, &outLeft) != static_cast<size_t>(-1);
  iconv_close(cd);
  if (!ok || inLeft != 0) return std::nullopt;
  out.resize(out.size() - outLeft);
  return out;
}

Bytes bytesOf(std::string_view s) {
  return Bytes(s.begin(), s.end());
}
std::string textOf(const Bytes &b) {
  return std::string(b.begin(), b.end());
}
// A sample for a failure message, its characters beyond ASCII as escapes.
std::string spelled(std::string_view text) {
  return textOf(encodeText(text, Encoding::NonLossyASCII).value_or(Bytes{'?'}));
}

struct Sample {
  Encoding encoding;
  const char *iconvName;
  const char *text;
};

const Sample kSamples[] = {
    {Encoding::UTF8, "UTF-8", "Ünïcödé ✓ 😀 plain"},
    {Encoding::ASCII, "ASCII", "Hello, World! ~\\ {}[]\t\r\n"},
    {Encoding::ISOLatin1, "ISO-8859-1", "Grüße, café, ½ ÿ ¿ñ"},
    {Encoding::ISOLatin2, "ISO-8859-2", "Zażółć gęślą jaźń Łódź"},
    {Encoding::WindowsCP1250, "CP1250", "Příliš žluťoučký kůň úpěl ďábelské ódy"},
    {Encoding::WindowsCP1251, "CP1251", "Съешь же ещё этих мягких французских булок"},
    {Encoding::WindowsCP1252, "CP1252", "Œuvre – “quoted” € … ‰ naïve"},
    {Encoding::WindowsCP1253, "CP1253", "Ξεσκεπάζω την ψυχοφθόρα βδελυγμία"},
    {Encoding::WindowsCP1254, "CP1254", "Pijamalı hasta yağız şoföre çabucak güvendi"},
    {Encoding::WindowsHebrew, "CP1255", "דג סקרן שט בים מאוכזב ולפתע מצא חברה"},
    {Encoding::WindowsArabic, "CP1256", "نص حكيم له سر قاطع وذو شأن عظيم"},
    {Encoding::ShiftJIS, "SHIFT_JIS", "いろはにほへと 日本語テキスト ｶﾀｶﾅ ABC"},
    {Encoding::JapaneseEUC, "EUC-JP", "日本語のテキスト、漢字とかな ABC"},
    {Encoding::ISO2022JP, "ISO-2022-JP", "日本語 and ASCII 混在のテキスト"},
    {Encoding::EUCKR, "EUC-KR", "다람쥐 헌 쳇바퀴에 타고파 ABC"},
    {Encoding::KOI8R, "KOI8-R", "Съешь же ещё этих мягких булок"},
    {Encoding::Big5, "BIG5", "繁體中文測試，你好世界"},
    {Encoding::GBK, "GBK", "简体中文测试，你好世界"},
    {Encoding::GB18030, "GB18030", "简体中文 𠀀 😀 Ünïcödé"},
    {Encoding::UTF16LittleEndian, "UTF-16LE", "Mixed ✓ 😀 text"},
    {Encoding::UTF16BigEndian, "UTF-16BE", "Mixed ✓ 😀 text"},
    {Encoding::Unicode, "UTF-16LE", "Mixed ✓ 😀 text"},
};

TEST(TextEncodingTest, RoundTripAgreesWithIconvForEveryEncoding) {
  for (const Sample &s : kSamples) {
    SCOPED_TRACE(s.iconvName);
    auto oracle = iconvConvert(s.iconvName, "UTF-8", bytesOf(s.text));
    ASSERT_TRUE(oracle) << "iconv cannot convert the sample";
    auto mine = encodeText(s.text, s.encoding);
    ASSERT_TRUE(mine);
    EXPECT_EQ(*mine, *oracle);
    EXPECT_TRUE(canBeConverted(s.text, s.encoding));
    EXPECT_EQ(decodeText(*oracle, s.encoding), std::string(s.text));
    // And the other way: iconv reads what we wrote.
    EXPECT_EQ(iconvConvert("UTF-8", s.iconvName, *mine), bytesOf(s.text));
  }
}

TEST(TextEncodingTest, SingleByteTablesAgreeWithIconv) {
  const std::pair<Encoding, const char *> tables[] = {
      {Encoding::ISOLatin1, "ISO-8859-1"}, {Encoding::ISOLatin2, "ISO-8859-2"},
      {Encoding::WindowsCP1250, "CP1250"}, {Encoding::WindowsCP1251, "CP1251"},
      {Encoding::WindowsCP1252, "CP1252"}, {Encoding::WindowsCP1253, "CP1253"},
      {Encoding::WindowsCP1254, "CP1254"}, {Encoding::WindowsHebrew, "CP1255"},
      {Encoding::WindowsArabic, "CP1256"}, {Encoding::KOI8R, "KOI8-R"},
  };
  for (const auto &[encoding, name] : tables) {
    for (int b = 0; b < 256; ++b) {
      Bytes one{static_cast<uint8_t>(b)};
      auto oracle = iconvConvert("UTF-8", name, one);
      auto mine = decodeText(one, encoding);
      if (!oracle) continue; // a byte iconv leaves undefined; our table may know it
      ASSERT_TRUE(mine) << name << " byte " << b;
      EXPECT_EQ(*mine, textOf(*oracle)) << name << " byte " << b;
      EXPECT_EQ(encodeText(*mine, encoding), one) << name << " byte " << b;
    }
  }
}

TEST(TextEncodingTest, JapaneseKeepsAsciiBackslashAndTilde) {
  // Paths and markup in Shift JIS and EUC-JP files use the ASCII meanings of 0x5C and 0x7E.
  for (Encoding e : {Encoding::ShiftJIS, Encoding::JapaneseEUC}) {
    EXPECT_EQ(encodeText("C:\\~", e), (Bytes{'C', ':', 0x5C, 0x7E}));
    EXPECT_EQ(decodeText(Bytes{0x5C, 0x7E}, e), "\\~");
  }
}

TEST(TextEncodingTest, ConversionIsNeverLossy) {
  EXPECT_FALSE(canBeConverted("naïve", Encoding::ASCII));
  EXPECT_FALSE(canBeConverted("€", Encoding::ISOLatin1));
  EXPECT_TRUE(canBeConverted("€", Encoding::WindowsCP1252));
  EXPECT_FALSE(canBeConverted("ё", Encoding::WindowsCP1252));
  EXPECT_FALSE(canBeConverted("日本", Encoding::WindowsCP1251));
  EXPECT_FALSE(canBeConverted("한국어", Encoding::ShiftJIS));
  EXPECT_FALSE(canBeConverted("😀", Encoding::Big5));
  EXPECT_TRUE(canBeConverted("😀", Encoding::GB18030));
  EXPECT_FALSE(encodeText("caf\xC3", Encoding::UTF8)) << "truncated UTF-8 input";
  EXPECT_FALSE(encodeText("\xED\xA0\x80", Encoding::UTF16LittleEndian)) << "encoded surrogate";
  EXPECT_TRUE(canBeConverted("", Encoding::ISO2022JP));
  EXPECT_EQ(encodeText("", Encoding::ShiftJIS), Bytes{});
  EXPECT_EQ(decodeText(Bytes{}, Encoding::EUCKR), "");
}

TEST(TextEncodingTest, InvalidBytesGiveNoText) {
  EXPECT_FALSE(decodeText(Bytes{0xC0, 0xAF}, Encoding::UTF8)) << "overlong";
  EXPECT_FALSE(decodeText(Bytes{0xE2, 0x82}, Encoding::UTF8)) << "truncated";
  EXPECT_FALSE(decodeText(Bytes{0xF4, 0x90, 0x80, 0x80}, Encoding::UTF8)) << "beyond U+10FFFF";
  EXPECT_FALSE(decodeText(Bytes{'a', 0x80}, Encoding::ASCII));
  EXPECT_FALSE(decodeText(Bytes{0x82}, Encoding::ShiftJIS)) << "lead byte without trail";
  EXPECT_FALSE(decodeText(Bytes{0xB0}, Encoding::EUCKR));
  EXPECT_EQ(decodeText(Bytes{'a', 0}, Encoding::UTF16LittleEndian), "a");
  EXPECT_FALSE(decodeText(Bytes{'a', 0, 'b'}, Encoding::UTF16LittleEndian)) << "odd length";
  EXPECT_FALSE(decodeText(Bytes{0x00, 0xD8, 'a', 0}, Encoding::UTF16LittleEndian))
      << "lone high surrogate";
  EXPECT_FALSE(decodeText(Bytes{0x00, 0xDC}, Encoding::UTF16LittleEndian)) << "lone low";
  // Every byte is Latin-1.
  EXPECT_EQ(decodeText(Bytes{0x00, 0x80, 0xFF}, Encoding::ISOLatin1),
            std::string("\0\xC2\x80\xC3\xBF", 5));
}

// Characters that an encoding has no byte for, among them the default-ignorable ones (which ICU
// leaves out without a word): no encoding succeeds by dropping them, each says it cannot.
TEST(TextEncodingTest, IgnorableAndUnmappableCharactersAreNeverDropped) {
  const char *const kLost[] = {
      "a\u200Bb",     "a\u200Cb", "a\u200Db",     "a\u2060b",     "a\uFEFFb",     "\uFEFFab",
      "ab\u200E",     "a\u200Fb", "a\u202Ab",     "a\u034Fb",     "a\u180Eb",     "a\uFE0Fb",
      "a\u3164b",     "a\uFFA0b", "a\U0001D173b", "a\U000E0001b", "a\U000E0020b", "a\U000E01EFb",
      "a\U000E0FFFb", "\u200B",   "a\uE000b", // and one that is not ignorable, only unmapped
  };
  const Encoding kNarrow[] = {
      Encoding::ASCII,         Encoding::ISOLatin1,     Encoding::ISOLatin2,
      Encoding::WindowsCP1250, Encoding::WindowsCP1251, Encoding::WindowsCP1252,
      Encoding::WindowsCP1253, Encoding::WindowsCP1254, Encoding::WindowsHebrew,
      Encoding::WindowsArabic, Encoding::KOI8R,         Encoding::ShiftJIS,
      Encoding::JapaneseEUC,   Encoding::ISO2022JP,     Encoding::Big5,
      Encoding::GBK,           Encoding::EUCKR,
  };
  for (const char *sample : kLost) {
    const std::string text = sample;
    const std::string escaped = spelled(sample);
    for (Encoding e : kNarrow) {
      SCOPED_TRACE(escaped + " in " + charsetName(e));
      auto bytes = encodeText(text, e);
      if (bytes) {
        // Only an encoding that really has the character may succeed: its bytes read back.
        EXPECT_EQ(decodeText(*bytes, e), text);
      }
      EXPECT_EQ(bytes.has_value(), canBeConverted(text, e));
    }
    // Every Unicode form and GB18030 carry every character.
    for (Encoding e : {Encoding::UTF8, Encoding::Unicode, Encoding::UTF16BigEndian,
                       Encoding::UTF16LittleEndian, Encoding::GB18030, Encoding::NonLossyASCII}) {
      auto bytes = encodeText(text, e);
      ASSERT_TRUE(bytes) << escaped << " in " << charsetName(e);
      EXPECT_EQ(decodeText(*bytes, e), text) << escaped << " in " << charsetName(e);
    }
  }
  // The Western encodings the FTP commands fall back on refuse the zero-width characters, and
  // the soft hyphen, which Latin-1 and Windows-1252 have (0xAD), goes out as that byte.
  for (Encoding e : {Encoding::ISOLatin1, Encoding::WindowsCP1252, Encoding::ISOLatin2,
                     Encoding::WindowsCP1251}) {
    SCOPED_TRACE(charsetName(e));
    for (const char *name : {"a\u200Bb.txt", "a\u200Cb.txt", "a\u200Db.txt", "a\u2060b.txt",
                             "a\uFEFFb.txt", "\uFEFFab.txt"})
      EXPECT_FALSE(encodeText(name, e)) << spelled(name);
    EXPECT_EQ(encodeText("a\xC2\xAD"
                         "b.txt",
                         e),
              (Bytes{'a', 0xAD, 'b', '.', 't', 'x', 't'}));
  }
  EXPECT_FALSE(encodeText("a\xC2\xAD"
                          "b",
                          Encoding::ShiftJIS))
      << "no soft hyphen in Shift JIS";
  EXPECT_FALSE(encodeText("a\xC2\xAD"
                          "b",
                          Encoding::KOI8R))
      << "nor in KOI8-R";
}

// A text that starts with a character that reads as a mark gets a mark of its own, so that it
// comes back whole; every other text is written as before, little-endian and without one.
TEST(TextEncodingTest, UnicodeTextThatStartsLikeAMarkComesBack) {
  const char *const kTexts[] = {
      "\ufeffhi",     "\ufffehi", "\ufeff", "\ufffe",       "\ufeff\ufeff", "\ufffe\ufeffx",
      "\ufeff\ufffe", "hi\ufeff", "hi",     "\u6800\u6900", "\U0001F600x",  "",
  };
  for (const char *sample : kTexts) {
    SCOPED_TRACE(spelled(sample));
    const std::string text = sample;
    auto bytes = encodeText(text, Encoding::Unicode);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(decodeText(*bytes, Encoding::Unicode), text);
    std::vector<uint32_t> starts;
    EXPECT_EQ(decodeTextWithOffsets(bytes->data(), bytes->size(), Encoding::Unicode, starts), text);
  }
  EXPECT_EQ(encodeText("\xEF\xBF\xBEhi", Encoding::Unicode),
            (Bytes{0xFF, 0xFE, 0xFE, 0xFF, 'h', 0, 'i', 0}));
  EXPECT_EQ(encodeText("\xEF\xBB\xBF", Encoding::Unicode), (Bytes{0xFF, 0xFE, 0xFF, 0xFE}));
  EXPECT_EQ(encodeText("h\xEF\xBB\xBF", Encoding::Unicode), (Bytes{'h', 0, 0xFF, 0xFE}));
  // What the fuzz target stopped on: four bytes that read as a mark and U+FEFF.
  const Bytes marked{0xFF, 0xFE, 0xFF, 0xFE};
  auto read = decodeText(marked, Encoding::Unicode);
  ASSERT_EQ(read, "\xEF\xBB\xBF");
  EXPECT_EQ(encodeText(*read, Encoding::Unicode), marked);
  // The explicit byte orders never add a mark: their readers take none.
  EXPECT_EQ(encodeText("\xEF\xBB\xBFh", Encoding::UTF16LittleEndian), (Bytes{0xFF, 0xFE, 'h', 0}));
  EXPECT_EQ(encodeText("\xEF\xBB\xBFh", Encoding::UTF16BigEndian), (Bytes{0xFE, 0xFF, 0, 'h'}));
}

TEST(TextEncodingTest, UnicodeHonoursByteOrderMarkAndWritesNone) {
  EXPECT_EQ(decodeText(Bytes{0xFF, 0xFE, 'h', 0, 'i', 0}, Encoding::Unicode), "hi");
  EXPECT_EQ(decodeText(Bytes{0xFE, 0xFF, 0, 'h', 0, 'i'}, Encoding::Unicode), "hi");
  EXPECT_EQ(decodeText(Bytes{'h', 0, 'i', 0}, Encoding::Unicode), "hi");
  EXPECT_EQ(encodeText("hi", Encoding::Unicode), (Bytes{'h', 0, 'i', 0}));
  // The explicit byte orders keep a mark as the character it is.
  EXPECT_EQ(decodeText(Bytes{0xFF, 0xFE, 'h', 0}, Encoding::UTF16LittleEndian), "\xEF\xBB\xBFh");
}

TEST(TextEncodingTest, NonLossyAsciiEscapesOnlyWhatItMust) {
  auto bytes = encodeText("café ✓ 😀", Encoding::NonLossyASCII);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(textOf(*bytes), "caf\\u00e9 \\u2713 \\ud83d\\ude00");
  EXPECT_EQ(decodeText(*bytes, Encoding::NonLossyASCII), "café ✓ 😀");
  EXPECT_EQ(decodeText("\\u00C9t\\u00E9", Encoding::NonLossyASCII), "Été");

  // Plain ASCII, backslashes included, keeps its bytes both ways.
  const std::string windowsPath = "C:\\dir\\users\\x \\u12 \\\\";
  EXPECT_EQ(textOf(*encodeText(windowsPath, Encoding::NonLossyASCII)), windowsPath);
  EXPECT_EQ(decodeText(windowsPath, Encoding::NonLossyASCII), windowsPath);
  // A backslash that would read as an escape is escaped itself, so the text survives.
  const std::string looksEscaped = "literal \\u0041 here";
  auto encoded = encodeText(looksEscaped, Encoding::NonLossyASCII);
  ASSERT_TRUE(encoded);
  EXPECT_EQ(textOf(*encoded), "literal \\u005cu0041 here");
  EXPECT_EQ(decodeText(*encoded, Encoding::NonLossyASCII), looksEscaped);

  EXPECT_FALSE(decodeText(Bytes{'a', 0xE9}, Encoding::NonLossyASCII)) << "8-bit byte";
  EXPECT_FALSE(decodeText("\\ud83d alone", Encoding::NonLossyASCII)) << "unpaired surrogate";
}

TEST(TextEncodingTest, NumbersFromSettings) {
  EXPECT_EQ(encodingFromNumber(4), Encoding::UTF8);
  EXPECT_EQ(encodingFromNumber(2562), Encoding::KOI8R);
  EXPECT_EQ(encodingFromNumber(0x80000000u | 2563), Encoding::Big5);
  EXPECT_EQ(encodingFromNumber(0x90000100u), Encoding::UTF16BigEndian);
  EXPECT_FALSE(encodingFromNumber(0));
  EXPECT_FALSE(encodingFromNumber(6));
  EXPECT_STREQ(charsetName(Encoding::WindowsCP1251), "windows-1251");
  EXPECT_STREQ(charsetName(Encoding::UTF8), "UTF-8");
}

TEST(TextPercentTest, EscapesAndUnescapes) {
  EXPECT_EQ(addPercentEscapes("a b/ü?x=1&y=%#top"), "a%20b/%C3%BC?x=1&y=%25#top");
  EXPECT_EQ(addPercentEscapes("!$&'()*+,-./:;=?@_~AZaz09"), "!$&'()*+,-./:;=?@_~AZaz09");
  EXPECT_EQ(addPercentEscapes("\"<>\\^`{|}\x7f"), "%22%3C%3E%5C%5E%60%7B%7C%7D%7F");
  EXPECT_EQ(addPercentEscapes("ü", Encoding::ISOLatin1), "%FC");
  EXPECT_FALSE(addPercentEscapes("ü", Encoding::ASCII));

  EXPECT_EQ(replacePercentEscapes("a%20b%C3%bc+c"), "a bü+c");
  EXPECT_EQ(replacePercentEscapes("/My%20File.txt"), "/My File.txt");
  EXPECT_EQ(replacePercentEscapes("%FC", Encoding::ISOLatin1), "ü");
  EXPECT_EQ(replacePercentEscapes(""), "");
  EXPECT_FALSE(replacePercentEscapes("%FC")) << "not UTF-8";
  EXPECT_FALSE(replacePercentEscapes("100%"));
  EXPECT_FALSE(replacePercentEscapes("%4"));
  EXPECT_FALSE(replacePercentEscapes("%zz"));
  EXPECT_FALSE(replacePercentEscapes("a%2"));
  // Escaping and unescaping are inverse for any UTF-8 text.
  const std::string odd = "dir/ä ö%20#?\t\"x\"";
  EXPECT_EQ(replacePercentEscapes(addPercentEscapes(odd)), odd);
}

// A text sent as one line comes back whole, whatever line ends or "%" it holds; a "%" that
// begins no known escape is kept as it stands.
TEST(TextPercentTest, OneLineEscapesRoundTrip) {
  struct Case {
    std::string text, line;
  } cases[] = {
      {"plain", "plain"},
      {"a\nb\r\nc", "a%0Ab%0D%0Ac"},
      {"100% sure", "100%25 sure"},
      {"%0A typed", "%250A typed"},
      {"", ""},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(lineEscaped(c.text), c.line) << c.text;
    EXPECT_EQ(lineUnescaped(c.line), c.text) << c.line;
  }
  EXPECT_EQ(lineUnescaped("50%x %2 %"), "50%x %2 %");
}

TEST(TextSearchTest, CaseInsensitiveRangesArePositionsInTheBytes) {
  auto r = rangeOfCaseInsensitive("Hello World hello", "HELLO");
  EXPECT_EQ(r.location, 0u);
  EXPECT_EQ(r.length, 5u);
  r = rangeOfCaseInsensitive("Hello World hello", "HELLO", true);
  EXPECT_EQ(r.location, 12u);
  r = rangeOfCaseInsensitive("ÉCOLE and école", "école", true);
  EXPECT_EQ(r.location, 11u);
  EXPECT_EQ(r.length, 6u);
  r = rangeOfCaseInsensitive("ÉCOLE and école", "école");
  EXPECT_EQ(r.location, 0u);
  EXPECT_FALSE(rangeOfCaseInsensitive("abc", "").found());
  EXPECT_FALSE(rangeOfCaseInsensitive("", "a").found());
  EXPECT_FALSE(rangeOfCaseInsensitive("ab", "abc").found());
  // Bytes that are not UTF-8 match only themselves.
  EXPECT_EQ(rangeOfCaseInsensitive("x\xFFy\xFF", "\xFF", true).location, 3u);

  EXPECT_TRUE(containsCaseInsensitive("IMG_0001.JPG", "img_"));
  EXPECT_TRUE(hasPrefixCaseInsensitive("Photo.JPG", "photo"));
  EXPECT_TRUE(hasSuffixCaseInsensitive("archive.TAR.GZ", ".tar.gz"));
  EXPECT_FALSE(hasSuffixCaseInsensitive("gz", ".tar.gz"));
  EXPECT_FALSE(hasPrefixCaseInsensitive("abc", ""));
  EXPECT_FALSE(hasSuffixCaseInsensitive("abc", ""));
  EXPECT_TRUE(hasSuffixCaseInsensitive("ΣΊΣΥΦΟΣ", "φος"));
  // Plain ASCII on both sides and a letter outside ASCII that folds into it agree.
  struct Case {
    const char *text, *target;
    bool found;
  };
  for (const Case &c : {Case{"ASCII only [Z] @", "[z] @", true}, Case{"at_end.TXT", ".txt", true},
                        Case{"@[`{", "`{", true}, Case{"@", "`", false}, Case{"[", "{", false},
                        Case{"KELVIN", "\u212Aelvin", true}, Case{"\u212AELVIN", "kel", true}}) {
    EXPECT_EQ(containsCaseInsensitive(c.text, c.target), c.found) << c.text << " / " << c.target;
  }
  EXPECT_FALSE(hasSuffixCaseInsensitive("READ.ME", "\u212A"));
  EXPECT_TRUE(hasSuffixCaseInsensitive("BOOK", "\u212A"));
  EXPECT_EQ(rangeOfCaseInsensitive("abcABCabc", "ABC", true).location, 6u);
  EXPECT_TRUE(hasPrefixCaseInsensitive("KELVIN", "\u212A"));
  EXPECT_FALSE(hasPrefixCaseInsensitive("@bc", "`bc"));

  EXPECT_EQ(lowercase("ÄBC Straße"), "äbc straße");
  EXPECT_EQ(uppercase("straße"), "STRASSE");
  EXPECT_EQ(lowercase("\xFF"
                      "AB"),
            "\xFF"
            "AB")
      << "text that is not UTF-8 is left alone";
}

TEST(TextCompareTest, LocalisedCaseInsensitiveOrder) {
  setCollationLocale("en_US");
  EXPECT_EQ(localizedCaseInsensitiveCompare("apple", "Banana"), -1);
  EXPECT_EQ(localizedCaseInsensitiveCompare("Banana", "apple"), 1);
  EXPECT_EQ(localizedCaseInsensitiveCompare("README", "readme"), 0);
  EXPECT_EQ(localizedCaseInsensitiveCompare("éclair", "fig"), -1) << "accents sort with the letter";
  EXPECT_EQ(localizedCaseInsensitiveCompare("e", "é"), -1) << "but are not ignored";
  // The same names sort differently where the language says so.
  EXPECT_EQ(localizedCaseInsensitiveCompare("ö", "z"), -1);
  setCollationLocale("sv_SE");
  EXPECT_EQ(localizedCaseInsensitiveCompare("ö", "z"), 1);
  // The C and POSIX locales (services, containers) still compare letters without their case and
  // alphabetically, not capitals first.
  for (const char *posix : {"C", "POSIX", "en_US_POSIX", "C.UTF-8"}) {
    setCollationLocale(posix);
    EXPECT_EQ(localizedCaseInsensitiveCompare("README", "readme"), 0) << posix;
    EXPECT_EQ(localizedCaseInsensitiveCompare("apple", "Banana"), -1) << posix;
    EXPECT_EQ(localizedCaseInsensitiveCompare("Zeta", "apple"), 1) << posix;
  }
  setCollationLocale("");
}

TEST(TextCompareTest, NumericRunsCompareByValue) {
  EXPECT_EQ(numericCompare("9", "10"), -1);
  EXPECT_EQ(numericCompare("10", "9"), 1);
  EXPECT_EQ(numericCompare("file2.txt", "file10.txt"), -1);
  EXPECT_EQ(numericCompare("007", "7"), 0);
  EXPECT_EQ(numericCompare("1048576", "999999"), 1);
  EXPECT_EQ(numericCompare("12345678901234567890", "12345678901234567891"), -1);
  EXPECT_EQ(numericCompare("abc", "abd"), -1);
  EXPECT_EQ(numericCompare("ab", "abc"), -1);
  EXPECT_EQ(numericCompare("", ""), 0);
  EXPECT_EQ(numericCompare("B", "a"), -1) << "not case-insensitive";
}

TEST(TextPathTest, ComponentsAndLexicalStandardising) {
  EXPECT_EQ(appendPathComponent("/a", "b"), "/a/b");
  EXPECT_EQ(appendPathComponent("/a/", "/b/"), "/a/b");
  EXPECT_EQ(appendPathComponent("/", "b"), "/b");
  EXPECT_EQ(appendPathComponent("", "b"), "b");
  EXPECT_EQ(appendPathComponent("a", ""), "a");
  EXPECT_EQ(appendPathComponent("a//b", "c"), "a/b/c");

  EXPECT_EQ(lastPathComponent("/a/b.txt"), "b.txt");
  EXPECT_EQ(lastPathComponent("/a/b/"), "b");
  EXPECT_EQ(lastPathComponent("/"), "/");
  EXPECT_EQ(lastPathComponent("name"), "name");
  EXPECT_EQ(lastPathComponent(""), "");

  EXPECT_EQ(pathComponents("/a/b"), (std::vector<std::string>{"/", "a", "b"}));
  EXPECT_EQ(pathComponents("a//b/"), (std::vector<std::string>{"a", "b", "/"}));
  EXPECT_EQ(pathComponents("/"), (std::vector<std::string>{"/"}));
  EXPECT_EQ(pathComponents(""), (std::vector<std::string>{}));
  EXPECT_EQ(pathComponents("./x"), (std::vector<std::string>{".", "x"}));

  EXPECT_EQ(deleteLastPathComponent("/a/b"), "/a");
  EXPECT_EQ(deleteLastPathComponent("/a/b/"), "/a");
  EXPECT_EQ(deleteLastPathComponent("/a"), "/");
  EXPECT_EQ(deleteLastPathComponent("a"), "");
  EXPECT_EQ(deleteLastPathComponent("/"), "/");

  EXPECT_EQ(standardizePath("/a/./b/../c"), "/a/c");
  EXPECT_EQ(standardizePath("/../.."), "/");
  EXPECT_EQ(standardizePath("//a///b/"), "/a/b");
  EXPECT_EQ(standardizePath("../a/../../b"), "../../b");
  EXPECT_EQ(standardizePath("a/.."), ".");
  EXPECT_EQ(standardizePath("./Files/./x"), "Files/x");
  EXPECT_EQ(standardizePath("/a/..b/.c"), "/a/..b/.c") << "names that start with dots stay";
  EXPECT_EQ(standardizePath(""), "");
}

} // namespace
