// StringBuffer numbers, hex dumps, splitting, conversion and whole-file loading (byte-order
// marks, sizes that cannot be held).
#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/ExtPtrArray.h"
#include "sshlib/core/Logger.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/XString.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "FileTestDir.h"

namespace {

std::string str(const StringBuffer &sb) {
  return std::string(sb.getString(), sb.getSize());
}

std::string logText(Logger &log) {
  StringBuffer sb;
  log.getText(sb);
  return sb.getString();
}

std::vector<std::string> parts(const ExtPtrArray &a) {
  std::vector<std::string> v;
  for (int i = 0; i < a.getSize(); ++i)
    v.push_back(str(*a.sbAt(i)));
  return v;
}

struct Owned : ExtPtrArray {
  Owned() { m_bOwnsObjects = true; }
};

TEST(StringBufferNumbers, DecimalTexts) {
  StringBuffer sb;
  sb.append(0);
  sb.append(",");
  sb.append(-42);
  sb.append(",");
  sb.append(INT_MIN);
  sb.append(",");
  sb.append(4294967295u);
  sb.append(",");
  sb.appendInt64(-9);
  sb.append(",");
  sb.appendInt64(LLONG_MIN);
  EXPECT_EQ(str(sb), "0,-42,-2147483648,4294967295,-9,-9223372036854775808");
  EXPECT_EQ(StringBuffer("").intValue(), 0);
  EXPECT_EQ(StringBuffer("42abc").intValue(), 42);
  EXPECT_EQ(StringBuffer("  -17").intValue(), -17);
  EXPECT_EQ(StringBuffer("abc").intValue(), 0);
  EXPECT_EQ(StringBuffer("99999999999").intValue(), INT_MAX);
  EXPECT_STREQ(StringBuffer::numString(-305), "-305");
  char buf[] = "abcde";
  StringBuffer::reverse_string(buf, 5);
  EXPECT_STREQ(buf, "edcba");
  StringBuffer::reverse_string(nullptr, 3);
  // Each thread gets a text of its own.
  std::string other;
  std::thread t([&other] { other = StringBuffer::numString(7); });
  const char *mine = StringBuffer::numString(8);
  t.join();
  EXPECT_STREQ(mine, "8");
  EXPECT_EQ(other, "7");
}

TEST(StringBufferHex, DumpsAndDecoding) {
  const unsigned char three[] = {1, 2, 3};
  StringBuffer sb;
  sb.appendHexData(three, 3);
  EXPECT_EQ(str(sb), "0102 03");
  unsigned char sixteen[33];
  for (int i = 0; i < 33; ++i)
    sixteen[i] = static_cast<unsigned char>(0xA0 + i);
  StringBuffer full;
  full.appendHexData(sixteen, 16);
  EXPECT_EQ(str(full), "A0A1 A2A3 A4A5 A6A7 A8A9 AAAB ACAD AEAF\n");
  StringBuffer more;
  more.appendHexData(sixteen, 18);
  EXPECT_EQ(str(more), "A0A1 A2A3 A4A5 A6A7 A8A9 AAAB ACAD AEAF\nB0B1 ");
  // Long dumps pass through the small local area many times.
  std::vector<unsigned char> big(1000, 0x5A);
  StringBuffer longDump;
  longDump.appendHexData(big.data(), 1000);
  EXPECT_EQ(longDump.getSize(), 1000 * 2 + 62 * 8 + 4) << "7 blanks and a LF per full line";
  StringBuffer none;
  none.appendHexData(nullptr, 3);
  none.appendHexData(three, 0);
  none.appendHexDataNoWS(three, -1);
  EXPECT_EQ(none.getSize(), 0);
  StringBuffer nows;
  nows.appendHexDataNoWS(sixteen, 3);
  EXPECT_EQ(str(nows), "A0A1A2");
  const unsigned char ab = 0xAB;
  StringBuffer spaced;
  spaced.appendSmallDataAsSpacedHexString(&ab, 1);
  spaced.appendSmallDataAsSpacedHexString(three, 2);
  EXPECT_EQ(str(spaced), "ab 01 02 ");

  DataBuffer db;
  StringBuffer("ABC").hexStringToBinary(db);
  ASSERT_EQ(db.getSize(), 2u);
  EXPECT_EQ(db.getData2()[0], 0x0A);
  EXPECT_EQ(db.getData2()[1], 0xBC);
  DataBuffer db2;
  StringBuffer("0a0B").hexStringToBinary(db2);
  ASSERT_EQ(db2.getSize(), 2u);
  EXPECT_EQ(db2.getData2()[0], 0x0A);
  EXPECT_EQ(db2.getData2()[1], 0x0B);
  DataBuffer db3;
  std::string longHex;
  for (int i = 0; i < 1200; ++i)
    longHex += "7f";
  StringBuffer(longHex.c_str()).hexStringToBinary(db3);
  EXPECT_EQ(db3.getSize(), 1200u);
  EXPECT_EQ(db3.getData2()[1199], 0x7F);
  StringBuffer::hexStringToBinary2(nullptr, 4, db3);
  EXPECT_EQ(db3.getSize(), 1200u);
  StringBuffer odd("abc");
  odd.canonicalizeHexString();
  EXPECT_EQ(str(odd), "0abc");
  odd.canonicalizeHexString();
  EXPECT_EQ(str(odd), "0abc");
}

TEST(StringBufferSplit, DelimitersQuotesAndEscapes) {
  auto split = [](const char *text, char d, bool q, bool e) {
    Owned out;
    StringBuffer(text).split(out, d, q, e);
    return parts(out);
  };
  using V = std::vector<std::string>;
  EXPECT_EQ(split("a,,b", ',', false, false), (V{"a", "", "b"}));
  EXPECT_EQ(split("a,", ',', false, false), (V{"a", ""}));
  EXPECT_EQ(split("", ',', false, false), V{});
  EXPECT_EQ(split("abc", ',', false, false), V{"abc"});
  EXPECT_EQ(split("x,\"a,b\",y", ',', true, false), (V{"x", "\"a,b\"", "y"}));
  EXPECT_EQ(split("x,\"a,b\",y", ',', false, false), (V{"x", "\"a", "b\"", "y"}));
  EXPECT_EQ(split("a\\,b,c", ',', false, true), (V{"a\\,b", "c"}));
  EXPECT_EQ(split("a\\\\,b", ',', false, true), (V{"a\\\\", "b"}));
  EXPECT_EQ(split("x,\"open,rest", ',', true, false), (V{"x", "\"open,rest"}));
  std::string longPart(1000, 'p');
  EXPECT_EQ(split((longPart + ";" + longPart).c_str(), ';', false, false), (V{longPart, longPart}));
}

TEST(StringBufferSplit, Boundaries) {
  auto split = [](const char *text, const char *b, int max) {
    Owned out;
    StringBuffer(text).splitUsingBoundary(StringBuffer(b), out, max);
    return parts(out);
  };
  using V = std::vector<std::string>;
  EXPECT_EQ(split("--a--b--", "--", 0), (V{"a", "b"}));
  EXPECT_EQ(split("--a--b--", "--", 1), V{"a"});
  EXPECT_EQ(split("a----b", "--", 0), (V{"a", "b"}));
  EXPECT_EQ(split("----", "--", 0), V{});
  EXPECT_EQ(split("no boundary", "--", 0), V{"no boundary"});
  // An empty boundary cuts nothing: one part (and no endless loop).
  EXPECT_EQ(split("whole text", "", 0), V{"whole text"});
  EXPECT_EQ(split("", "", 0), V{});
}

TEST(StringBufferConvert, CodePages) {
  StringBuffer ascii("plain");
  const char *before = ascii.getString();
  ascii.convertEncoding(437, 65001);
  EXPECT_EQ(ascii.getString(), before) << "7-bit text: untouched, same block";
  ascii.convertEncoding(0, 65001);
  EXPECT_EQ(str(ascii), "plain");
  StringBuffer latin("caf\xE9");
  latin.convertEncoding(28591, 65001);
  EXPECT_EQ(str(latin), "caf\xC3\xA9");
  latin.convertEncoding(65001, 1200);
  EXPECT_EQ(str(latin), std::string("c\0a\0f\0\xE9\0", 8));
  StringBuffer ansi("\xE9t\xE9");
  ansi.cvAnsiToUtf8();
  EXPECT_EQ(str(ansi), "\xC3\xA9t\xC3\xA9");
  StringBuffer empty;
  empty.cvAnsiToUtf8();
  EXPECT_EQ(empty.getSize(), 0);
}

TEST(StringBufferFiles, ByteOrderMarksAndEmptyFiles) {
  filetest::TempDir dir;
  auto load = [&dir](const std::string &bytes, bool *ok) {
    filetest::writeBytes(dir.file("f"), bytes);
    XString p;
    p.setFromUtf8(dir.file("f").c_str());
    StringBuffer sb;
    *ok = sb.loadFromFile(p, nullptr);
    return str(sb);
  };
  bool ok = false;
  EXPECT_EQ(load("\xEF\xBB\xBF", &ok), "\xEF\xBB\xBF");
  EXPECT_TRUE(ok);
  EXPECT_EQ(load("\xEF\xBB\xBFtext", &ok), "text");
  EXPECT_EQ(load("", &ok), "");
  EXPECT_TRUE(ok);
  // UTF-16 with its mark becomes UTF-8 (the converter does not carry the mark over).
  EXPECT_EQ(load(std::string("\xFF\xFE"
                             "h\0\xE9\0",
                             6),
                 &ok),
            "h\xC3\xA9");
  EXPECT_EQ(load(std::string("\xFE\xFF\0h\0\xE9", 6), &ok), "h\xC3\xA9");
  EXPECT_EQ(load(std::string("a\0b", 3), &ok), std::string("a\0b", 3));
  // Loading appends to what the text holds.
  XString p;
  p.setFromUtf8(dir.file("f").c_str());
  StringBuffer sb("pre:");
  filetest::writeBytes(dir.file("f"), "data");
  EXPECT_TRUE(sb.loadFromFile(p, nullptr));
  EXPECT_EQ(str(sb), "pre:data");

  StringBuffer *made = StringBuffer::createFromFile(p, nullptr);
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(str(*made), "data");
  EXPECT_GE(made->getCapacity(), 204);
  delete made;
  XString missing;
  missing.setFromUtf8(dir.file("missing").c_str());
  Logger log;
  EXPECT_EQ(StringBuffer::createFromFile(missing, &log), nullptr);
  EXPECT_EQ(logText(log), "RazudodLog:\n") << "a size that cannot be had: no message of its own";
  StringBuffer m;
  EXPECT_FALSE(m.loadFromFile(missing, &log));
  EXPECT_NE(logText(log).find("Failed to open file."), std::string::npos);

  StringBuffer out("saved \xC3\xA9");
  std::string target = dir.file("\xC3\xA9.txt");
  EXPECT_TRUE(out.saveToFileUtf8(target.c_str(), nullptr));
  EXPECT_EQ(filetest::readBytes(target), "saved \xC3\xA9");
}

TEST(StringBufferFiles, FilesTooLargeToHoldFailClearly) {
  filetest::TempDir dir;
  std::string path = dir.file("big");
  {
    FILE *fp = std::fopen(path.c_str(), "w");
    // 4 GiB + 5: a 32-bit size would read as 5 bytes and "succeed".
    ASSERT_EQ(ftruncate(fileno(fp), 4LL * 1024 * 1024 * 1024 + 5), 0);
    std::fclose(fp);
  }
  XString p;
  p.setFromUtf8(path.c_str());
  Logger log;
  StringBuffer sb;
  EXPECT_FALSE(sb.loadFromFile(p, &log));
  EXPECT_EQ(sb.getSize(), 0);
  EXPECT_EQ(logText(log), "RazudodLog:\n  Out of memory reading file into string buffer\n"
                          "  fileSize: 4294967301\n");
  Logger log2;
  EXPECT_EQ(StringBuffer::createFromFile(p, &log2), nullptr);
  EXPECT_EQ(logText(log2), "RazudodLog:\n  File too large to hold in memory\n");
  // Just under the 2 GiB a text can hold is refused as well (no wrap, no huge allocation).
  {
    FILE *fp = std::fopen(path.c_str(), "w");
    ASSERT_EQ(ftruncate(fileno(fp), 2147483647LL), 0);
    std::fclose(fp);
  }
  StringBuffer sb2;
  EXPECT_FALSE(sb2.loadFromFile(p, nullptr));
}

TEST(StringBufferEdit, StripDirectoryLooksAtTheWholeText) {
  std::string longDir(3000, 'd');
  StringBuffer sb((longDir + "/sub\\name.txt").c_str());
  sb.stripDirectory();
  EXPECT_EQ(str(sb), "name.txt");
}

} // namespace
