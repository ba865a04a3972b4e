// Charsets by name, converted as iconv converts them: ISO-8859-1 keeps every byte, and a name the
// engine cannot convert is refused instead of turning text into nothing.
#include <gtest/gtest.h>

#include "sshlib/core/CharsetNaming.h"
#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/EncodingConvert.h"
#include "tests/sshlib/core/CodePageOracle.h"
#include "tests/support/IconvOracle.h"

namespace {

// Bytes in a named charset to UTF-8 and back, by the library.
std::string toUtf8(const char *charset, const std::string &bytes, bool *ok = nullptr) {
  EncodingConvert ec;
  DataBuffer out;
  bool r = ec.ChConvert2(charset, 65001, reinterpret_cast<const unsigned char *>(bytes.data()),
                         static_cast<unsigned int>(bytes.size()), out);
  if (ok) *ok = r;
  return std::string(reinterpret_cast<const char *>(out.getData2()), out.getSize());
}

std::string fromUtf8(const char *charset, const std::string &text, bool *ok = nullptr) {
  return oracle::convert(65001, CharsetNaming::GetCodePage(charset), text, ok);
}

struct NamedCase {
  const char *charset; // as a caller names it
  const char *iconvName;
  std::string bytes;
};

// Every case decodes as iconv decodes it, and the text encodes back to the same bytes.
TEST(CharsetConversion, ListedBytesRoundTripAsIconvReadsThem) {
  const NamedCase cases[] = {
      {"iso-8859-1", "ISO-8859-1", "\x81\x8D\x8F\x90\x9D"},
      {"latin1", "ISO-8859-1", "caf\xE9 \x80\x9F\xA0\xFF"},
      {"ansi", "ISO-8859-1", "\x7F\x80\x85\xC0"},
      {"windows-1252", "CP1252", "\x80\x9F caf\xE9"},
      {"gb18030", "GB18030", "\x94\x39\xFC\x36"}, // beyond U+FFFF
      {"gb18030", "GB18030", "\x81\x30\x81\x30\x84\x31\xA4\x39"},
      {"GB18030", "GB18030", "\xBA\xA3\xB5\xED\xC7\xF8 \xA2\xE3\xA8\xBC\x81\x35\xF4\x37"},
      {"gb18030-2000", "GB18030", "\xFE\x51\xA6\xD9\xE3\x32\x9A\x35"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.charset) + " " + oracle::hex(c.bytes));
    auto expected = testsupport::iconvConvert(c.bytes, c.iconvName, "UTF-8");
    ASSERT_TRUE(expected.has_value());
    bool ok = false;
    const std::string text = toUtf8(c.charset, c.bytes, &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(oracle::hex(text), oracle::hex(*expected));
    EXPECT_EQ(oracle::hex(fromUtf8(c.charset, text, &ok)), oracle::hex(c.bytes));
    EXPECT_TRUE(ok);
  }
}

TEST(CharsetConversion, Latin1IsEveryByteBothWays) {
  std::string all;
  for (int b = 1; b < 256; ++b)
    all += char(b);
  auto expected = oracle::iconvConvert("ISO-8859-1", "UTF-16LE", all);
  ASSERT_TRUE(expected.has_value());
  for (int cp : {28591, CharsetNaming::GetCodePage("ansi"), CharsetNaming::GetCodePage("latin1")}) {
    bool ok = false;
    EXPECT_EQ(oracle::convert(cp, 1200, all, &ok), *expected) << cp;
    EXPECT_TRUE(ok);
    EXPECT_EQ(oracle::convert(1200, cp, *expected, &ok), all) << cp;
    EXPECT_TRUE(ok);
  }
  // What ISO-8859-1 has no byte for is not given one of another character.
  bool ok = true;
  EXPECT_EQ(oracle::convert(65001, 28591, "\xE2\x82\xAC", &ok), "");
  EXPECT_FALSE(ok);
}

// Every two-byte code and every character of the first plane, against glibc's GB18030.
TEST(CharsetConversion, Gb18030AgreesWithIconvOnEveryCode) {
  const int cp = CharsetNaming::GetCodePage("gb18030");
  ASSERT_EQ(cp, 54936);
  int differ = 0;
  for (int lead = 0x81; lead <= 0xFE; ++lead)
    for (int trail = 0x40; trail <= 0xFE; ++trail) {
      if (trail == 0x7F) continue; // no trail byte: the lead is dropped, the DEL kept
      const std::string code{char(lead), char(trail)};
      auto g = oracle::iconvConvert("GB18030", "UTF-16LE", code);
      bool ok = false;
      const std::string ours = oracle::convert(cp, 1200, code, &ok);
      if ((g ? *g : std::string()) != ours || ok != g.has_value())
        ADD_FAILURE() << oracle::hex(code) << " " << (g ? oracle::hex(*g) : "-") << " "
                      << oracle::hex(ours),
            ++differ;
      if (differ > 10) return;
    }
  for (char32_t c = 0x80; c <= 0xFFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    // After a letter, so that neither side takes U+FEFF or U+FFFE for a byte-order mark.
    const std::string unit = oracle::utf16le('A') + oracle::utf16le(c);
    auto g = oracle::iconvConvert("UTF-16LE", "GB18030", unit);
    bool ok = false;
    const std::string ours = oracle::convert(1200, cp, unit, &ok);
    if ((g ? *g : std::string("A")) != ours || ok != g.has_value()) // refused: only the letter
      ADD_FAILURE() << std::hex << unsigned(c) << " " << (g ? oracle::hex(*g) : "-") << " "
                    << oracle::hex(ours),
          ++differ;
    if (differ > 10) return;
  }
  // Beyond the plane: linear four-byte codes, through UTF-8 both ways.
  for (char32_t c : {char32_t(0x10000), char32_t(0x1F600), char32_t(0x2A6D6), char32_t(0x10FFFF)}) {
    std::string utf8;
    utf8 += char(0xF0 | (c >> 18));
    utf8 += char(0x80 | ((c >> 12) & 0x3F));
    utf8 += char(0x80 | ((c >> 6) & 0x3F));
    utf8 += char(0x80 | (c & 0x3F));
    auto g = oracle::iconvConvert("UTF-8", "GB18030", utf8);
    ASSERT_TRUE(g);
    EXPECT_EQ(oracle::hex(oracle::convert(65001, cp, utf8)), oracle::hex(*g));
    EXPECT_EQ(oracle::convert(cp, 65001, *g), utf8);
  }
  // Bytes that are no GB18030 are dropped and say so.
  bool ok = true;
  EXPECT_EQ(oracle::convert(cp, 65001, "a\x80\xFF\x81\x30z", &ok), "a0z");
  EXPECT_FALSE(ok);
}

TEST(CharsetConversion, NamesOfCharsetsThatAreNotConvertedAreRefused) {
  for (const char *name : {"hz-gb-2312", "x-user-defined", "asmo-449", "x-chinese-cns", "euc-tw",
                           "x-iscii-de", "cp930", "x-mac-korean", "x-cp50227"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(CharsetNaming::GetCodePage(name), 0);
    EXPECT_FALSE(CharsetNaming::CharsetValid(name));
    _ckCharset cs;
    cs.setByName(name);
    EXPECT_EQ(cs.getCodePage(), 0);
    EncodingConvert ec;
    DataBuffer out;
    EXPECT_FALSE(ec.ChConvert2(name, 65001, reinterpret_cast<const unsigned char *>("A"), 1, out));
    EXPECT_EQ(out.getSize(), 0u);
  }
}

// Whatever a name is accepted for converts: a plain letter goes there and back.
TEST(CharsetConversion, EveryAcceptedNameConverts) {
  StringBuffer name;
  int accepted = 0;
  for (int cp = 1; cp < 70000; ++cp) {
    if (!CharsetNaming::GetCharsetName(cp, name)) continue;
    const int named = CharsetNaming::GetCodePage(name.getString());
    if (named == 0) continue;
    ++accepted;
    SCOPED_TRACE(name.getString());
    bool ok = false;
    const std::string bytes = oracle::convert(65001, named, "A", &ok);
    EXPECT_TRUE(ok);
    EXPECT_FALSE(bytes.empty());
    EXPECT_EQ(toUtf8(name.getString(), bytes, &ok), "A");
    EXPECT_TRUE(ok);
  }
  EXPECT_GT(accepted, 100);
}

} // namespace
