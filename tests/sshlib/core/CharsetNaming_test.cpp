// Charset names and code pages: accepted spellings, the name given back, and the charset setting
// kept by public objects.
#include <gtest/gtest.h>

#include "sshlib/core/CharsetNaming.h"
#include "sshlib/core/EncodingConvert.h"

namespace {

TEST(CharsetNaming, SpellingsOfOneNameGiveItsCodePage) {
  EXPECT_EQ(CharsetNaming::GetCodePage("utf-8"), 65001);
  EXPECT_EQ(CharsetNaming::GetCodePage("utf_8"), 65001);
  EXPECT_EQ(CharsetNaming::GetCodePage("  UTF-8 \t"), 65001);
  EXPECT_EQ(CharsetNaming::GetCodePage("Utf_8"), 65001);
  EXPECT_EQ(CharsetNaming::GetCodePage("utf8"), 65001);
  EXPECT_EQ(CharsetNaming::GetCodePage("x-ms-cp932"), 932);
  EXPECT_EQ(CharsetNaming::GetCodePage("shift_jis"), 932);
  EXPECT_EQ(CharsetNaming::GetCodePage("SJIS"), 932);
  EXPECT_EQ(CharsetNaming::GetCodePage("windows-1252"), 1252);
  EXPECT_EQ(CharsetNaming::GetCodePage("x-ansi"), 1252);
  EXPECT_EQ(CharsetNaming::GetCodePage("latin1"), 28591);
  EXPECT_EQ(CharsetNaming::GetCodePage("ANSI"), 28591);
  EXPECT_EQ(CharsetNaming::GetCodePage("gb18030"), 54936); // converted as itself, not as GBK
  EXPECT_EQ(CharsetNaming::GetCodePage("gbk"), 936);
  EXPECT_EQ(CharsetNaming::GetCodePage("euc-jp"), 51932);
  EXPECT_EQ(CharsetNaming::GetCodePage("iso-8859-8 visual"), 28598);
  EXPECT_EQ(CharsetNaming::GetCodePage("ebcdic-latin9--euro"), 20924);
  EXPECT_EQ(CharsetNaming::GetCodePage("iso-2022-kr-8bit"), 51949);
  EXPECT_TRUE(CharsetNaming::CharsetValid("koi8-r"));
}

TEST(CharsetNaming, UnknownShortAndNumericNamesGiveZero) {
  EXPECT_EQ(CharsetNaming::GetCodePage(nullptr), 0);
  EXPECT_EQ(CharsetNaming::GetCodePage(""), 0);
  EXPECT_EQ(CharsetNaming::GetCodePage("cp1252"), 0);
  EXPECT_EQ(CharsetNaming::GetCodePage("1252"), 0);
  EXPECT_EQ(CharsetNaming::GetCodePage("l1"), 0);
  EXPECT_EQ(CharsetNaming::GetCodePage("us"), 0);
  EXPECT_EQ(CharsetNaming::GetCodePage(" a "), 0);
  EXPECT_EQ(CharsetNaming::GetCodePage("utf-9"), 0);
  EXPECT_FALSE(CharsetNaming::CharsetValid("nonsense"));
}

TEST(CharsetNaming, NameGivenBack) {
  StringBuffer sb;
  struct {
    int cp;
    const char *name;
  } const cases[] = {{1201, "unicodefffe"},  {54936, "gb18030"},      {20932, "euc-jp"},
                     {932, "shift_jis"},     {949, "ks_c_5601-1987"}, {862, "dos-862"},
                     {50221, "csiso2022jp"}, {28591, "iso-8859-1"},   {65006, "utf-32be"}};
  for (const auto &c : cases) {
    sb.append("junk");
    EXPECT_TRUE(CharsetNaming::GetCharsetName(c.cp, sb)) << c.cp;
    EXPECT_STREQ(sb.getString(), c.name);
  }
  for (int cp : {709, 21027, 50000, 50930, 51950, 12345, 0}) {
    sb.append("junk");
    EXPECT_FALSE(CharsetNaming::GetCharsetName(cp, sb)) << cp;
    EXPECT_EQ(sb.getSize(), 0);
  }
}

TEST(CharsetNaming, EveryNameGivenBackLeadsBackToItsCodePage) {
  // Apart from the two code pages whose name is accepted for another one, and those whose text
  // is not converted (their names are refused).
  StringBuffer sb;
  int named = 0;
  for (int cp = 1; cp < 70000; ++cp) {
    if (!CharsetNaming::GetCharsetName(cp, sb)) continue;
    ++named;
    int back = CharsetNaming::GetCodePage(sb.getString());
    if (!EncodingConvert::canConvert(cp) && cp != 20932)
      EXPECT_EQ(back, 0) << cp << " " << sb.getString();
    else if (cp == 20932 || cp == 50221 || cp == 50222)
      EXPECT_NE(back, cp) << cp;
    else
      EXPECT_EQ(back, cp) << cp << " " << sb.getString();
  }
  EXPECT_EQ(named, 150 - 10); // ten code pages have no name of their own
}

TEST(CkCharset, SetByNameAndCodePage) {
  _ckCharset cs;
  EXPECT_EQ(cs.getCodePage(), 0);
  EXPECT_STREQ(cs.getName(), "");

  cs.setByName("latin-1");
  EXPECT_EQ(cs.getCodePage(), 28591);
  EXPECT_STREQ(cs.getName(), "iso-8859-1");

  cs.setByName("asmo-449"); // a charset that is not converted is refused
  EXPECT_EQ(cs.getCodePage(), 0);
  EXPECT_STREQ(cs.getName(), "");

  cs.setByName("Default"); // not the special word: unknown
  EXPECT_EQ(cs.getCodePage(), 0);
  EXPECT_STREQ(cs.getName(), "");

  cs.setByName("utf-8");
  cs.setByName("x-user-defined");
  EXPECT_EQ(cs.getCodePage(), 0);
  EXPECT_STREQ(cs.getName(), "");

  cs.setByName("OEM");
  EXPECT_EQ(cs.getCodePage(), 28591);
  cs.setByName("ansi");
  EXPECT_STREQ(cs.getName(), "iso-8859-1");

  cs.setByName(nullptr); // nothing happens
  EXPECT_EQ(cs.getCodePage(), 28591);

  cs.setByCodePage(1201);
  EXPECT_STREQ(cs.getName(), "unicodefffe");
  cs.setByCodePage(54936);
  EXPECT_STREQ(cs.getName(), "gb18030");
  EXPECT_EQ(cs.getCodePage(), 54936);
  cs.setByCodePage(12345);
  EXPECT_EQ(cs.getCodePage(), 0);
  EXPECT_STREQ(cs.getName(), "");

  cs.setByName("  Shift_JIS ");
  EXPECT_EQ(cs.getCodePage(), 932);
  EXPECT_STREQ(cs.getName(), "shift_jis");
  cs.clear();
  EXPECT_EQ(cs.getCodePage(), 0);
  EXPECT_STREQ(cs.getName(), "");
}

} // namespace
