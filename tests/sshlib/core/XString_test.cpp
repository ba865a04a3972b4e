// XString keeps one text in three forms (UTF-8, UTF-16, ANSI): whichever form goes in or comes
// out, and whatever edit comes between, no character is lost.
#include <gtest/gtest.h>

#include <string>

#include "sshlib/core/CharsetNaming.h"
#include "sshlib/core/XString.h"

namespace {

std::string units(XString &x) {
  std::string s;
  for (const unsigned short *p = x.getUnicode(); *p; ++p)
    s += std::to_string(*p) + " ";
  return s;
}

// The ANSI code page (28591) is ISO-8859-1: neither the euro sign nor the Greek small omega has an
// ANSI byte.
const char *kEuro = "\xE2\x82\xAC";
const char *kOmega = "\xCF\x89";
const char *kGrin = "\xF0\x9F\x98\x80"; // U+1F600, beyond the BMP
const unsigned short kGrin16[] = {0xD83D, 0xDE00, 0};

} // namespace

TEST(XString, EmptyInputsGiveTheEmptyString) {
  XString x;
  for (const char *empty : {static_cast<const char *>(nullptr), ""}) {
    x.setFromUtf8("abc");
    x.setFromUtf8(empty);
    EXPECT_STREQ(x.getUtf8(), "");
    x.setFromAnsi("abc");
    x.setFromAnsi(empty);
    EXPECT_STREQ(x.getAnsi(), "");
  }
  x.setFromUnicode2(kGrin16, 0);
  EXPECT_EQ(x.getNumChars(), 0u);
  x.setFromAnsiN("abc", 0);
  EXPECT_EQ(x.getSizeUnicode(), 0u);
  EXPECT_TRUE(x.equalsUtf8(nullptr));
}

// Every way in, read back through every form: sizes and characters agree, nothing is lost.
TEST(XString, EveryFormReadsBackTheSameText) {
  XString x;
  x.setFromUtf8("\xEF\xBB\xBF"
                "abc");
  EXPECT_EQ(units(x), "97 98 99 ") << "the byte-order mark is skipped";
  EXPECT_STREQ(x.getAnsi(), "abc");

  x.setFromAnsi("\xE9t\xE9");
  EXPECT_EQ(x.getNumChars(), 3u);
  EXPECT_STREQ(x.getUtf8(), "\xC3\xA9t\xC3\xA9");
  EXPECT_EQ(x.getSizeUtf8(), 5u);
  EXPECT_EQ(x.getSizeAnsi(), 3u);
  EXPECT_EQ(x.getSizeUnicode(), 6u);

  x.setFromUnicode(kGrin16);
  EXPECT_EQ(x.getNumChars(), 2u) << "a character beyond the BMP counts as two units";
  x.setFromAnsiN("abcdef", 3);
  EXPECT_STREQ(x.getUtf8(), "abc");
  x.setFromUnicode2(kGrin16, 1);
  EXPECT_EQ(x.getSizeUnicode(), 2u);
  x.setFromDual("\xC3\xA9", true);
  EXPECT_EQ(x.getNumChars(), 1u);
  x.setFromDual("\xC3\xA9", false);
  EXPECT_EQ(x.getNumChars(), 2u);
}

TEST(XString, CharactersBeyondTheBmpSurviveEveryForm) {
  XString x;
  x.setFromUtf8((std::string("a") + kGrin + "b").c_str());
  EXPECT_EQ(units(x), "97 55357 56832 98 ");
  XString y;
  y.setFromUnicode(x.getUnicode());
  EXPECT_EQ(std::string(y.getUtf8()), std::string("a") + kGrin + "b");
  // Lone surrogates and encoded surrogates are no characters: U+FFFD.
  const unsigned short lone[] = {'x', 0xD800, 'y', 0xDC00, 0};
  y.setFromUnicode(lone);
  EXPECT_STREQ(y.getUtf8(), "x\xEF\xBF\xBDy\xEF\xBF\xBD");
  y.setFromUtf8("x\xED\xA0\x80y");
  EXPECT_EQ(units(y), "120 65533 121 ");
}

// A lossy ANSI form is only ever an answer to getAnsi: it never replaces the text.
TEST(XString, LossyAnsiNeverReplacesTheText) {
  XString x;
  x.setFromUtf8((std::string("a") + kOmega).c_str());
  EXPECT_FALSE(x.validAnsi());
  EXPECT_STREQ(x.getAnsi(), "a") << "the engine drops what the code page cannot hold";
  EXPECT_TRUE(x.equalsAnsi("a"));
  EXPECT_TRUE(x.containsSubstringNoCaseAnsi("A"));
  EXPECT_EQ(std::string(x.getUtf8()), std::string("a") + kOmega);

  for (int rounds = 1; rounds <= 2; ++rounds) {
    XString u;
    u.setFromUnicode(kGrin16);
    u.getAnsi();
    for (int i = 0; i < rounds; ++i)
      u.minimizeMemory();
    EXPECT_EQ(std::string(u.getUtf8()), kGrin) << rounds;
    EXPECT_EQ(units(u), "55357 56832 ") << rounds;
  }
  XString a;
  a.setFromAnsi("\xE9");
  a.getUnicode();
  a.minimizeMemory();
  EXPECT_STREQ(a.getUtf8(), "\xC3\xA9");
}

TEST(XString, EditsForgetWhatWasKnownOfTheOldText) {
  XString x;
  x.setFromAnsi("abc");
  EXPECT_TRUE(x.validAnsi());
  x.appendUtf8(kOmega);
  EXPECT_FALSE(x.validAnsi());
  x.setFromAnsi("abc");
  x.appendUnicode(kGrin16);
  EXPECT_FALSE(x.validAnsi());
  x.setFromAnsi("abc");
  x.toUpperCase();
  EXPECT_TRUE(x.validAnsi());
  EXPECT_STREQ(x.getAnsi(), "ABC");
}

TEST(XString, AppendingAnsiNeverLosesCharacters) {
  XString x;
  x.setFromUtf8(kOmega);
  x.appendAnsi("\xE9");
  EXPECT_EQ(std::string(x.getUtf8()), std::string(kOmega) + "\xC3\xA9");
  EXPECT_EQ(x.getNumChars(), 2u);

  x.setFromUnicode(kGrin16);
  x.appendAnsiN("xy", 1);
  EXPECT_EQ(std::string(x.getUtf8()), std::string(kGrin) + "x");

  x.setFromUtf8((std::string("abc") + kEuro).c_str());
  x.appendAnsi("\xE9");
  EXPECT_EQ(std::string(x.getUtf8()), std::string("abc") + kEuro + "\xC3\xA9");
  x.setFromUtf8("abc");
  x.appendAnsi("\xE9");
  x.appendAnsi(nullptr);
  x.appendAnsiN("z", 0);
  EXPECT_STREQ(x.getAnsi(), "abc\xE9");
}

TEST(XString, Utf8Edits) {
  XString x;
  x.appendUtf8N("\xEF\xBB\xBF", 3);
  EXPECT_STREQ(x.getUtf8(), "") << "only a byte-order mark: nothing appended";
  x.appendUtf8N("\xEF\xBB\xBF"
                "ab",
                5);
  x.appendUtf8("\xEF\xBB\xBF"
               "cd");
  x.appendUtf8(nullptr);
  x.appendUtf8N(nullptr, 3);
  x.prependUtf8("\xEF\xBB\xBF"
                "<");
  EXPECT_STREQ(x.getUtf8(), "<abcd");
  x.appendInt(-42);
  x.appendInt64(-9000000000LL);
  EXPECT_STREQ(x.getUtf8(), "<abcd-42-9000000000");
  x.setFromUtf8("a-b-c");
  x.getUnicode();
  EXPECT_FALSE(x.replaceFirstOccuranceUtf8("x", "y"));
  EXPECT_TRUE(x.replaceFirstOccuranceUtf8("-", "+"));
  EXPECT_EQ(units(x), "97 43 98 45 99 ") << "the UTF-16 form follows the edit";
  EXPECT_EQ(x.replaceAllOccurancesUtf8("-", "=="), 1);
  EXPECT_STREQ(x.getUtf8(), "a+b==c");
  x.setFromUtf8(" \t x y \r\n");
  x.trim2();
  EXPECT_STREQ(x.getUtf8(), "x y");
}

TEST(XString, Utf16Edits) {
  XString x;
  x.setFromUtf8("abcd");
  x.shortenNumChars(2);
  EXPECT_STREQ(x.getUtf8(), "ab");
  x.shortenNumChars(0);
  EXPECT_STREQ(x.getUtf8(), "ab");
  x.setFromUtf8("abcd");
  x.shortenNumChars(4);
  EXPECT_EQ(x.getNumChars(), 0u);
  EXPECT_STREQ(x.getUtf8(), "");

  x.setFromUtf8("a/b/c");
  x.chopAtFirstChar('/');
  EXPECT_STREQ(x.getUtf8(), "a");
  x.setFromUtf8("abc");
  x.chopAtFirstChar('/');
  EXPECT_STREQ(x.getUtf8(), "abc");
  x.chopAtFirstChar(0);
  x.setFromUtf8("a\xC3\xA9"
                "b\xC3\xA9");
  x.chopAtFirstChar('\xE9');
  EXPECT_STREQ(x.getUtf8(), "a") << "the character is an ANSI byte";

  x.setFromUtf8("a/b/c");
  x.replaceChar('/', '\\');
  EXPECT_STREQ(x.getUtf8(), "a\\b\\c");
  x.replaceChar('a', 0);
  EXPECT_STREQ(x.getUtf8(), "a\\b\\c");

  x.setFromUtf8("\xC3\x89"
                "cole \xCF\x89 \xC3\xBF");
  x.toUpperCase();
  EXPECT_STREQ(x.getUtf8(), "\xC3\x89"
                            "COLE \xCE\xA9 \xC3\x9F");
  x.toLowerCase();
  EXPECT_STREQ(x.getUtf8(), "\xC3\xA9"
                            "cole \xCF\x89 \xC3\xBF");

  x.setFromUtf8("ab");
  x.appendUnicode(kGrin16);
  x.appendUnicodeN(kGrin16, 1);
  x.appendUnicode(nullptr);
  x.appendUnicodeN(kGrin16, 0);
  EXPECT_EQ(units(x), "97 98 55357 56832 55357 ");
  EXPECT_EQ(x.getSizeUnicode(), 10u);
}

TEST(XString, AppendXCopyAndEncodings) {
  XString a, b;
  a.setFromUtf8("x");
  b.setFromUtf8(kEuro);
  a.appendX(b);
  b.setFromUnicode(kGrin16);
  a.appendX(b);
  b.setFromAnsi("\xE9");
  a.appendX(b);
  a.appendX(a);
  const std::string once = std::string("x") + kEuro + kGrin + "\xC3\xA9";
  EXPECT_EQ(std::string(a.getUtf8()), once + once);

  XString c;
  c.copyFromX(a);
  EXPECT_EQ(std::string(c.getUtf8()), once + once);

  XString e;
  e.appendFromEncoding("a", nullptr);
  e.appendFromEncoding("b", "  ");
  e.appendFromEncoding("\xC3\xA9", " UTF-8 ");
  e.appendFromEncoding("\xE9", "ansi");
  e.appendFromEncoding("\xE9", "iso-8859-1");
  e.appendFromEncoding(nullptr, "utf-8");
  EXPECT_STREQ(e.getUtf8(), "ab\xC3\xA9\xC3\xA9\xC3\xA9");

  XString h;
  h.setFromUtf8("abc");
  h.canonicalizeHexString();
  EXPECT_STREQ(h.getUtf8(), "0abc");
  h.canonicalizeHexString();
  EXPECT_STREQ(h.getUtf8(), "0abc");
}

TEST(XString, ConvertedToACharset) {
  XString x;
  x.setFromUtf8("a\xC3\xA9");
  _ckCharset utf16;
  utf16.setByCodePage(1200);
  DataBuffer out;
  out.append("old", 3);
  EXPECT_TRUE(x.getConverted(utf16, out));
  EXPECT_TRUE(out.equals2("olda\0\xE9\0", 7)) << "appended to the output";
  x.getUnicode();
  EXPECT_TRUE(x.getConverted(utf16, out));
  EXPECT_TRUE(out.equals2("a\0\xE9\0", 4)) << "from UTF-16 the output is emptied first";
  _ckCharset latin1;
  latin1.setByCodePage(28591);
  EXPECT_TRUE(x.getConverted(latin1, out));
  EXPECT_TRUE(out.equals2("a\xE9", 2));
  x.setFromUtf8(kEuro); // ISO-8859-1 has no euro sign
  out.clear();
  EXPECT_FALSE(x.getConverted(latin1, out));
  EXPECT_EQ(out.getSize(), 0u);
  x.setFromUtf8(kOmega);
  out.clear();
  EXPECT_FALSE(x.getConverted(latin1, out));
  x.clear();
  x.getUnicode();
  out.append("zz", 2);
  EXPECT_TRUE(x.getConverted(latin1, out));
  EXPECT_EQ(out.getSize(), 0u);
}

TEST(XString, ComparisonsAndSearches) {
  XString x;
  x.setFromUtf8("Hello W\xC3\xB6rld");
  EXPECT_TRUE(x.equalsUtf8("\xEF\xBB\xBFHello W\xC3\xB6rld"));
  EXPECT_FALSE(x.equalsUtf8("Hello"));
  EXPECT_TRUE(x.equalsIgnoreCaseUtf8("hello w\xC3\x96RLD"));
  EXPECT_FALSE(x.equalsIgnoreCaseUtf8(nullptr));
  EXPECT_TRUE(x.beginsWithUtf8("\xEF\xBB\xBFHel"));
  EXPECT_FALSE(x.beginsWithUtf8(nullptr));
  EXPECT_TRUE(x.endsWithUtf8("\xEF\xBB\xBFrld"));
  EXPECT_FALSE(x.endsWithUtf8(nullptr));
  EXPECT_TRUE(x.tailEqualsUtf8(nullptr));
  EXPECT_TRUE(x.tailEqualsUtf8("rld"));
  EXPECT_FALSE(x.tailEqualsUtf8("\xEF\xBB\xBFrld")) << "no mark skipped here";
  EXPECT_TRUE(x.containsSubstringUtf8("o W"));
  EXPECT_FALSE(x.containsSubstringUtf8(nullptr));
  EXPECT_TRUE(x.matchesUtf8("hello*", false));
  EXPECT_FALSE(x.matchesUtf8("hello*", true));
  EXPECT_FALSE(x.matchesUtf8(nullptr, false));
  EXPECT_TRUE(x.containsSubstringNoCaseUtf8("\xEF\xBB\xBFw\xC3\xB6R"));
  EXPECT_TRUE(x.equalsAnsi("Hello W\xF6rld"));
  EXPECT_TRUE(x.containsSubstringAnsi("W\xF6"));
  EXPECT_TRUE(x.containsSubstringNoCaseAnsi("hello"));
  XString empty;
  EXPECT_TRUE(empty.equalsIgnoreCaseUtf8(nullptr));
}

TEST(XString, SecureClearWipesEveryForm) {
  XString x;
  x.setFromUtf8("secret password text");
  x.getAnsi();
  x.getUnicode();
  x.shortenNumChars(5); // leaves old units behind the terminator
  x.getUtf8();
  x.getAnsi();
  const DataBuffer &u = x.getUnicodeBuffer();
  x.secureClear();
  EXPECT_EQ(u.getSize(), 2u);
  for (unsigned int i = 0; i < u.getBufSize(); ++i)
    EXPECT_EQ(u.getData2()[i], 0) << i;
  EXPECT_STREQ(x.getUtf8(), "");
  EXPECT_STREQ(x.getAnsi(), "");
}
