// StringBuffer: growth figures, trimming, replacing, case and comparison rules, and the refusal of
// sizes that do not fit.
#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/ckMemory.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

namespace {

std::string str(const StringBuffer &sb) {
  return std::string(sb.getString(), sb.getSize());
}

TEST(StringBufferGrowth, DefaultCapacityAndFirstReplacement) {
  StringBuffer sb;
  EXPECT_EQ(sb.getSize(), 0);
  EXPECT_STREQ(sb.getString(), "");
  EXPECT_EQ(sb.getCapacity(), 202);
  EXPECT_EQ(sb.getReserve(), 202);
  ASSERT_TRUE(sb.appendCharN('x', 201));
  EXPECT_EQ(sb.getCapacity(), 202) << "201 bytes and the NUL still fit";
  sb.appendChar('y');
  EXPECT_EQ(sb.getSize(), 202);
  EXPECT_EQ(sb.getCapacity(), 405);
  EXPECT_EQ(sb.getReserve(), 202);
  EXPECT_EQ(sb.getString()[202], '\0');
}

TEST(StringBufferGrowth, ConstructorsAndTheirReserves) {
  StringBuffer zero(0);
  EXPECT_EQ(zero.getReserve(), 200);
  EXPECT_EQ(zero.getCapacity(), 200);
  StringBuffer bytes("a\0b", 3, 0);
  EXPECT_EQ(bytes.getSize(), 3);
  EXPECT_EQ(str(bytes), std::string("a\0b", 3));
  EXPECT_EQ(bytes.getReserve(), 200);
  StringBuffer none(static_cast<const char *>(nullptr));
  EXPECT_STREQ(none.getString(), "");
  EXPECT_EQ(none.getCapacity(), 4);
  StringBuffer tagged("x");
  tagged.putCP(2);
  StringBuffer copy(tagged);
  EXPECT_EQ(copy.getCP(), 2);
  EXPECT_TRUE(copy.equals("x"));
  StringBuffer negative(-5);
  EXPECT_EQ(negative.getReserve(), 200);
}

TEST(StringBufferGrowth, NothingToAppendSucceeds) {
  StringBuffer sb("abc");
  EXPECT_TRUE(sb.appendN(nullptr, 5));
  EXPECT_TRUE(sb.appendN("zz", 0));
  EXPECT_TRUE(sb.append(static_cast<const char *>(nullptr)));
  EXPECT_TRUE(sb.append(""));
  EXPECT_TRUE(sb.appendCharN('q', -3));
  EXPECT_EQ(str(sb), "abc");
  EXPECT_TRUE(sb.appendN("\0d", 2)) << "NUL bytes are copied";
  EXPECT_EQ(sb.getSize(), 5);
}

TEST(StringBufferGrowth, SizesThatDoNotFitAreRefused) {
  StringBuffer sb("abc");
  EXPECT_FALSE(sb.expectNumBytes(-1));
  EXPECT_FALSE(sb.expectNumBytes(INT_MAX)) << "length + INT_MAX does not fit in 32 bits";
  EXPECT_EQ(str(sb), "abc");
  EXPECT_FALSE(sb.appendCharN('x', INT_MAX));
  EXPECT_EQ(str(sb), "abc");
}

TEST(StringBufferGrowth, FailedAllocationLeavesTheTextUnchanged) {
  StringBuffer sb;
  sb.append("hello");
  ckFailNextAllocations(1);
  EXPECT_FALSE(sb.appendCharN('x', 1000));
  EXPECT_EQ(str(sb), "hello");
  StringBuffer tight("hello");
  ckFailNextAllocations(1);
  tight.appendChar('!');
  EXPECT_EQ(str(tight), "hello") << "appendChar simply does not append";
  ckFailNextAllocations(1);
  EXPECT_FALSE(sb.appendCharN('x', 1000));
  EXPECT_EQ(str(sb), "hello");
  ckFailNextAllocations(1);
  sb.appendChar('!'); // fits: no allocation needed
  EXPECT_EQ(str(sb), "hello!");
  ckFailNextAllocations(0);
  // A failed constructor still gives a usable empty string.
  ckFailNextAllocations(2);
  StringBuffer oom;
  ckFailNextAllocations(0);
  EXPECT_STREQ(oom.getString(), "");
  EXPECT_EQ(oom.getCapacity(), 1);
  EXPECT_TRUE(oom.append("now it grows"));
  EXPECT_STREQ(oom.getString(), "now it grows");
}

TEST(StringBufferGrowth, AppendingItsOwnTextWhileGrowing) {
  StringBuffer sb;
  sb.appendCharN('a', 150);
  sb.appendChar('b');
  ASSERT_TRUE(sb.appendN(sb.getString() + 100, 51)); // forces a new block
  EXPECT_EQ(sb.getSize(), 202);
  EXPECT_EQ(str(sb).substr(151), std::string(50, 'a') + "b");
  sb.setString(sb.getString() + 200);
  EXPECT_EQ(str(sb), "ab");
  sb.prepend(sb.getString());
  EXPECT_EQ(str(sb), "abab");
}

TEST(StringBufferStorage, ShortenClearMinimizeExtract) {
  StringBuffer sb("abcdef");
  sb.shorten(2);
  EXPECT_EQ(str(sb), "abcd");
  sb.shorten(100);
  EXPECT_EQ(str(sb), "");
  sb.setString("abc");
  sb.shorten(-1);
  EXPECT_EQ(str(sb), "") << "a negative count empties";

  sb.setString("secret");
  const char *block = sb.getString();
  sb.secureClear();
  EXPECT_EQ(sb.getSize(), 0);
  EXPECT_EQ(std::string(block + 1, 5), "     ") << "old bytes become blanks";

  StringBuffer m(1000);
  m.append("xyz");
  m.minimizeMemoryUsage();
  EXPECT_EQ(m.getCapacity(), 4);
  EXPECT_EQ(m.getReserve(), 1000);
  EXPECT_EQ(str(m), "xyz");

  int len = -1;
  char *taken = m.extractString(&len);
  EXPECT_EQ(len, 3);
  EXPECT_STREQ(taken, "xyz");
  ckFreeBytes(taken);
  EXPECT_EQ(m.getSize(), 0);
  EXPECT_EQ(m.getCapacity(), 1000);

  StringBuffer r("gone");
  r.releaseBuffer();
  EXPECT_STREQ(r.getString(), "");
  EXPECT_TRUE(r.append("back"));
  EXPECT_STREQ(r.getString(), "back");
}

TEST(StringBufferStorage, TakeFromDbAdoptsOrChecksTheTerminator) {
  DataBuffer db;
  db.append("text", 5); // with its NUL
  StringBuffer sb("old");
  ASSERT_TRUE(sb.takeFromDb(db));
  EXPECT_EQ(str(sb), "text");
  EXPECT_EQ(sb.getReserve(), 1024);
  EXPECT_EQ(db.getSize(), 0u);
  EXPECT_EQ(db.getData2(), nullptr);

  // No terminating NUL: one is added instead of reading past the block.
  DataBuffer raw;
  raw.append("abc", 3);
  raw.minimizeMemoryUsage();
  ASSERT_TRUE(sb.takeFromDb(raw));
  EXPECT_EQ(str(sb), "abc");
  EXPECT_EQ(sb.getString()[3], '\0');

  // A lent block is not the buffer's to give away: it is copied.
  char lent[] = "lent";
  DataBuffer borrowed;
  borrowed.borrowData(lent, 5);
  ASSERT_TRUE(sb.takeFromDb(borrowed));
  EXPECT_EQ(str(sb), "lent");
  EXPECT_NE(sb.getString(), lent);

  DataBuffer one;
  one.appendChar(0);
  ASSERT_TRUE(sb.takeFromDb(one));
  EXPECT_EQ(sb.getSize(), 0);
}

TEST(StringBufferAccess, CheckedPositions) {
  StringBuffer sb("abc");
  EXPECT_EQ(*sb.pCharAt(0), 'a');
  EXPECT_EQ(*sb.pCharAt(3), '\0') << "the terminator may be addressed";
  EXPECT_EQ(sb.pCharAt(4), nullptr);
  EXPECT_EQ(sb.pCharAt(-1), nullptr);
  EXPECT_EQ(sb.charAt(2), 'c');
  EXPECT_EQ(sb.charAt(3), 0);
  EXPECT_EQ(sb.charAt(-1), 0);
  EXPECT_EQ(sb.lastChar(), 'c');
  sb.putCP(5);
  EXPECT_EQ(sb.getCP(), 0);
  sb.putCP(1);
  EXPECT_EQ(sb.getCP(), 1);
}

TEST(StringBufferEdit, Trims) {
  StringBuffer sb(" \t\r\n ");
  sb.trim2();
  EXPECT_EQ(str(sb), "");
  sb.trim2();
  EXPECT_EQ(str(sb), "");
  sb.setString("  a b \r\n");
  sb.trim2();
  EXPECT_EQ(str(sb), "a b");
  sb.setString("a b\t");
  sb.trim2();
  EXPECT_EQ(str(sb), "a b");

  sb.setString("\r\n\n\r");
  sb.trimTrailingCRLFs();
  EXPECT_EQ(str(sb), "");
  sb.setString("x\r\ny\r\n");
  sb.trimTrailingCRLFs();
  EXPECT_EQ(str(sb), "x\r\ny");

  sb.setString("  a\t\tb\r\nc  ");
  sb.trimInsideSpaces();
  EXPECT_EQ(str(sb), " a b c ");
}

TEST(StringBufferEdit, RemovingAndChopping) {
  StringBuffer sb("0123456789");
  sb.removeChunk(2, 3);
  EXPECT_EQ(str(sb), "0156789");
  sb.removeChunk(5, 3); // past the end: nothing
  EXPECT_EQ(str(sb), "0156789");
  sb.removeChunk(-1, 2);
  sb.removeChunk(1, -2);
  EXPECT_EQ(str(sb), "0156789");
  sb.removeChunk(0, INT_MAX); // start + count would wrap in 32 bits
  EXPECT_EQ(str(sb), "0156789");

  sb.setString("a,b,,c");
  sb.removeCharOccurances(',');
  EXPECT_EQ(str(sb), "abc");
  sb.setString("a,b,c");
  sb.eliminateChar(',', 2);
  EXPECT_EQ(str(sb), "a,bc");
  sb.eliminateChar(',', 4);
  EXPECT_EQ(str(sb), "a,bc");

  sb.setString("key=value=x");
  sb.chopAtFirstChar('=');
  EXPECT_EQ(str(sb), "key");
  sb.chopAtFirstChar('#');
  EXPECT_EQ(str(sb), "key");

  sb.setString("a=b");
  sb.chopAtSubstr("=", true);
  EXPECT_EQ(str(sb), "a=");
  sb.setString("a=b");
  sb.chopAtSubstr("=", false);
  EXPECT_EQ(str(sb), "a");
  sb.chopAtSubstr("", false);
  sb.chopAtSubstr(nullptr, false);
  EXPECT_EQ(str(sb), "a");

  sb.setString("<a b=\"1\">caf\xC3\xA9:x!_-.");
  sb.removeInvalidXmlTagChars();
  EXPECT_EQ(str(sb), "ab1caf\xC3\xA9:x!_-.");

  sb.setString("dir/sub\\file.txt");
  sb.stripDirectory();
  EXPECT_EQ(str(sb), "file.txt");
  sb.setString("plain");
  sb.stripDirectory();
  EXPECT_EQ(str(sb), "plain");
  std::string longPath = std::string(3000, 'd') + "/name";
  sb.setString(longPath.c_str());
  sb.stripDirectory();
  EXPECT_EQ(str(sb), "name") << "long paths lose their folders too";
}

TEST(StringBufferEdit, Replacing) {
  StringBuffer sb("aaaa");
  EXPECT_EQ(sb.replaceAllOccurances("aa", "b"), 2);
  EXPECT_EQ(str(sb), "bb");
  const char *block = sb.getString();
  EXPECT_EQ(sb.replaceAllOccurances("aa", "b"), 0);
  EXPECT_EQ(sb.getString(), block) << "no occurrence keeps the block";
  EXPECT_EQ(sb.replaceAllOccurances("", "x"), 0);
  EXPECT_EQ(sb.replaceAllOccurances(nullptr, "x"), 0);

  sb.setString("one Two TWO two");
  EXPECT_EQ(sb.replaceAllOccurancesNoCase("two", "2"), 3);
  EXPECT_EQ(str(sb), "one 2 2 2");
  EXPECT_EQ(sb.replaceAllOccurances("2", nullptr), 3);
  EXPECT_EQ(str(sb), "one   ");

  sb.setString("x-y-z");
  EXPECT_TRUE(sb.replaceFirstOccurance("-", "+++"));
  EXPECT_EQ(str(sb), "x+++y-z");
  EXPECT_FALSE(sb.replaceFirstOccurance("#", "+"));
  EXPECT_TRUE(sb.replaceFirstOccurance("y", nullptr));
  EXPECT_EQ(str(sb), "x+++y-z") << "a null replacement removes nothing";

  sb.setString("a<b>&\"c\"");
  sb.replaceHTMLSpecial();
  EXPECT_EQ(str(sb), "a&lt;b&gt;&amp;&quot;c&quot;");

  sb.setString("\r\r\nx\ny\r");
  sb.toCRLF();
  EXPECT_EQ(str(sb), "\r\nx\r\ny");
  sb.setString("a\r\nb\rc");
  sb.toLF();
  EXPECT_EQ(str(sb), "a\nb\rc");

  sb.setString("a.b.c");
  sb.replaceCharAnsi('.', '/');
  EXPECT_EQ(str(sb), "a/b/c");
}

TEST(StringBufferEdit, ReplaceCharUtf8KeepsMultiByteCharacters) {
  // Not 7-bit: the replacement works on characters, so the bytes of é are untouched.
  StringBuffer sb("\xEF\xBB\xBF"
                  "a/caf\xC3\xA9/b");
  sb.replaceCharUtf8('/', '\\');
  EXPECT_EQ(str(sb), "\xEF\xBB\xBF"
                     "a\\caf\xC3\xA9\\b")
      << "a leading byte-order mark stays";
  StringBuffer ascii("a/b");
  ascii.replaceCharUtf8('/', '-');
  EXPECT_EQ(str(ascii), "a-b");
  StringBuffer none("caf\xC3\xA9");
  const char *block = none.getString();
  none.replaceCharUtf8('/', '-');
  EXPECT_EQ(none.getString(), block) << "no such byte: nothing is rebuilt";
  // A Latin-1 character as the replacement becomes its UTF-8 form.
  StringBuffer latin("x_\xC3\xA9");
  latin.replaceCharUtf8('_', static_cast<char>(0xE8));
  EXPECT_EQ(str(latin), "x\xC3\xA8\xC3\xA9");
}

TEST(StringBufferEdit, CaseOfAsciiAndLatin1) {
  StringBuffer sb("Ab\xE9\xFF\xF7\xC9\xD7z");
  sb.toUpperCase();
  EXPECT_EQ(str(sb), "AB\xC9\xDF\xD7\xC9\xD7Z");
  sb.setString("Ab\xC9\xD7\xDF\xE9");
  sb.toLowerCase();
  EXPECT_EQ(str(sb), "ab\xE9\xF7\xFF\xE9");
  StringBuffer withNul("A\0B", 3, 0);
  withNul.toLowerCase();
  EXPECT_EQ(str(withNul), std::string("a\0B", 3)) << "stops at the first NUL";
}

TEST(StringBufferCompare, EqualsBeginsEndsContains) {
  StringBuffer empty, abc("abc");
  EXPECT_TRUE(empty.equals(static_cast<const char *>(nullptr)));
  EXPECT_FALSE(abc.equals(static_cast<const char *>(nullptr)));
  EXPECT_TRUE(empty.equalsIgnoreCase(static_cast<const char *>(nullptr)));
  EXPECT_TRUE(abc.equals("abc"));
  EXPECT_FALSE(abc.equals("abcd"));
  EXPECT_TRUE(abc.equalsIgnoreCase("ABC"));
  StringBuffer ABC("ABC"), ab("ab");
  EXPECT_TRUE(abc.equalsIgnoreCase(ABC));
  EXPECT_FALSE(abc.equals(ABC));
  EXPECT_FALSE(abc.equals(ab));

  EXPECT_TRUE(abc.endsWith(""));
  EXPECT_FALSE(abc.endsWith(nullptr));
  EXPECT_TRUE(abc.endsWith("bc"));
  EXPECT_FALSE(abc.endsWith("xabc"));
  EXPECT_TRUE(abc.endsWithIgnoreCase("BC"));
  EXPECT_TRUE(abc.beginsWith(""));
  EXPECT_FALSE(abc.beginsWith(nullptr));
  EXPECT_TRUE(abc.beginsWith("ab"));
  EXPECT_FALSE(abc.beginsWith("abcd"));
  EXPECT_TRUE(abc.beginsWithIgnoreCase("AB"));

  EXPECT_TRUE(abc.containsChar('b'));
  EXPECT_TRUE(abc.containsChar('\0'));
  EXPECT_FALSE(abc.containsChar('z'));
  EXPECT_TRUE(abc.containsSubstring("bc"));
  EXPECT_FALSE(abc.containsSubstring(nullptr));
  EXPECT_TRUE(abc.containsSubstringNoCase("BC"));
  EXPECT_TRUE(abc.matches("a*", true));
  EXPECT_FALSE(abc.matches("A*", true));

  StringBuffer hi("h\xE9llo");
  EXPECT_FALSE(hi.is7bit(0));
  EXPECT_TRUE(hi.is7bit(1));
  EXPECT_FALSE(hi.is7bit(99));
  EXPECT_EQ(StringBuffer("a.b.c").countCharOccurances('.'), 2);
}

TEST(StringBufferCompare, BetweenAndCopyUntil) {
  StringBuffer sb("<a>inner</a><a></a>"), out;
  EXPECT_TRUE(sb.getBetween("<a>", "</a>", out));
  EXPECT_EQ(str(out), "inner");
  EXPECT_FALSE(sb.getBetween("", "</a>", out));
  EXPECT_FALSE(sb.getBetween("<b>", "</a>", out));
  EXPECT_FALSE(StringBuffer("x</a><a>").getBetween("<a>", "</a>", out)) << "end before begin";

  StringBuffer line("name: value;rest"), part;
  unsigned count = 99;
  EXPECT_TRUE(line.copyUntil(";", 6, count, part));
  EXPECT_EQ(count, 5u);
  EXPECT_EQ(str(part), "value");
  EXPECT_FALSE(line.copyUntil("#", 0, count, part));
  EXPECT_EQ(count, 0u);
  EXPECT_FALSE(line.copyUntil(";", 100, count, part));
  EXPECT_FALSE(line.copyUntil(";", -1, count, part));
  EXPECT_TRUE(line.copyUntil("name", 0, count, part));
  EXPECT_EQ(count, 0u);
}

TEST(StringBufferCompare, WholeWordSearch) {
  const char *t = "the cat concatenates";
  EXPECT_EQ(StringBuffer::findWordOnlyLatin1(t, "cat", true, false), t + 4);
  EXPECT_EQ(StringBuffer::findWordOnlyLatin1("concat", "cat", true, false), nullptr);
  const char *up = "x CAT";
  EXPECT_EQ(StringBuffer::findWordOnlyLatin1(up, "cat", false, false), up + 2);
  // A word doubled must not be found in its second half.
  EXPECT_EQ(StringBuffer::findWordOnlyLatin1("bb c", "b", true, false), nullptr);
  EXPECT_EQ(StringBuffer::findWordOnlyLatin1("caf\xE9 x", "caf", true, false), nullptr)
      << "0xE9 is a Latin-1 letter";
  EXPECT_EQ(StringBuffer::findWordOnlyLatin1("a/b", "b", true, true), nullptr);
  const char *ab = "a/b";
  EXPECT_EQ(StringBuffer::findWordOnlyLatin1(ab, "b", true, false), ab + 2);
  EXPECT_EQ(StringBuffer::findWordOnlyLatin1("", "b", true, false), nullptr);
  EXPECT_TRUE(StringBuffer::isLatin1AlphaNumeric(0xC0));
  EXPECT_FALSE(StringBuffer::isLatin1AlphaNumeric(0xD7));
  EXPECT_FALSE(StringBuffer::isLatin1AlphaNumeric(0xF7));
  EXPECT_FALSE(StringBuffer::isLatin1AlphaNumeric('-'));
  EXPECT_TRUE(StringBuffer::isCidChar('-'));
  EXPECT_TRUE(StringBuffer::isCidChar(';'));
  EXPECT_FALSE(StringBuffer::isCidChar(' '));
  EXPECT_FALSE(StringBuffer::isCidChar(0));
}

// The object is deliberately used after its destructor ran. In a sanitizer build the type check
// may stop the process before the class's own marker test does; either way it must stop.
void appendToDestroyed(StringBuffer *sb) {
  sb->append("y");
}

TEST(StringBufferDeathTest, UseAfterDestructionStopsTheProcess) {
  alignas(StringBuffer) unsigned char raw[sizeof(StringBuffer)];
  StringBuffer *sb = new (raw) StringBuffer("x");
  sb->~StringBuffer();
  EXPECT_DEATH(appendToDestroyed(sb), "Fatal internal error|invalid vptr");
}

} // namespace
