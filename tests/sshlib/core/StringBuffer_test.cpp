// StringBuffer: growing without losing bytes, trimming, replacing, case and comparison rules, and
// the refusal of sizes that do not fit.
#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/ckMemory.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

std::string str(const StringBuffer &sb) {
  return std::string(sb.getString(), sb.getSize());
}

TEST(StringBufferGrowth, ConstructorsKeepTheirBytes) {
  StringBuffer bytes("a\0b", 3, 0);
  EXPECT_EQ(str(bytes), std::string("a\0b", 3));
  StringBuffer none(static_cast<const char *>(nullptr));
  EXPECT_STREQ(none.getString(), "");
  StringBuffer tagged("x");
  tagged.putCP(2);
  StringBuffer copy(tagged);
  EXPECT_EQ(copy.getCP(), 2);
  EXPECT_TRUE(copy.equals("x"));
  StringBuffer negative(-5);
  EXPECT_TRUE(negative.append("ok"));
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

TEST(StringBufferStorage, MinimizeExtractRelease) {
  StringBuffer m(1000);
  m.append("xyz");
  m.minimizeMemoryUsage();
  EXPECT_EQ(str(m), "xyz");

  int len = -1;
  char *taken = m.extractString(&len);
  EXPECT_EQ(len, 3);
  EXPECT_STREQ(taken, "xyz");
  ckFreeBytes(taken);
  EXPECT_EQ(m.getSize(), 0);
  EXPECT_TRUE(m.append("again"));

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

// One edit on one text: what it leaves.
struct Edit {
  std::string in;
  std::function<void(StringBuffer &)> op;
  std::string out;
};

TEST(StringBufferEdit, TrimRemoveChopReplace) {
  using S = StringBuffer &;
  const std::vector<Edit> edits = {
      {" \t\r\n ", [](S b) { b.trim2(); }, ""},
      {"  a b \r\n", [](S b) { b.trim2(); }, "a b"},
      {"a b\t", [](S b) { b.trim2(); }, "a b"},
      {"\r\n\n\r", [](S b) { b.trimTrailingCRLFs(); }, ""},
      {"x\r\ny\r\n", [](S b) { b.trimTrailingCRLFs(); }, "x\r\ny"},
      {"  a\t\tb\r\nc  ", [](S b) { b.trimInsideSpaces(); }, " a b c "},
      {"abcdef", [](S b) { b.shorten(2); }, "abcd"},
      {"abcdef", [](S b) { b.shorten(100); }, ""},
      {"abc", [](S b) { b.shorten(-1); }, ""}, // a negative count empties
      {"0123456789", [](S b) { b.removeChunk(2, 3); }, "0156789"},
      {"0156789", [](S b) { b.removeChunk(5, 3); }, "0156789"}, // past the end: nothing
      {"0156789", [](S b) { b.removeChunk(-1, 2); }, "0156789"},
      {"0156789", [](S b) { b.removeChunk(1, -2); }, "0156789"},
      {"0156789", [](S b) { b.removeChunk(1, INT_MAX); }, "0156789"}, // would wrap in 32 bits
      {"a,b,,c", [](S b) { b.removeCharOccurances(','); }, "abc"},
      {"a,b,c", [](S b) { b.eliminateChar(',', 2); }, "a,bc"},
      {"a,bc", [](S b) { b.eliminateChar(',', 4); }, "a,bc"},
      {"key=value=x", [](S b) { b.chopAtFirstChar('='); }, "key"},
      {"key", [](S b) { b.chopAtFirstChar('#'); }, "key"},
      {"a=b", [](S b) { b.chopAtSubstr("=", true); }, "a="},
      {"a=b", [](S b) { b.chopAtSubstr("=", false); }, "a"},
      {"a", [](S b) { b.chopAtSubstr("", false); }, "a"},
      {"a", [](S b) { b.chopAtSubstr(nullptr, false); }, "a"},
      {"<a b=\"1\">caf\xC3\xA9:x!_-.", [](S b) { b.removeInvalidXmlTagChars(); },
       "ab1caf\xC3\xA9:x!_-."},
      {"dir/sub\\file.txt", [](S b) { b.stripDirectory(); }, "file.txt"},
      {"plain", [](S b) { b.stripDirectory(); }, "plain"},
      {std::string(3000, 'd') + "/name", [](S b) { b.stripDirectory(); }, "name"},
      {"aaaa", [](S b) { EXPECT_EQ(b.replaceAllOccurances("aa", "b"), 2); }, "bb"},
      {"bb", [](S b) { EXPECT_EQ(b.replaceAllOccurances("aa", "b"), 0); }, "bb"},
      {"bb", [](S b) { EXPECT_EQ(b.replaceAllOccurances("", "x"), 0); }, "bb"},
      {"bb", [](S b) { EXPECT_EQ(b.replaceAllOccurances(nullptr, "x"), 0); }, "bb"},
      {"one Two TWO two", [](S b) { EXPECT_EQ(b.replaceAllOccurancesNoCase("two", "2"), 3); },
       "one 2 2 2"},
      {"one 2 2 2", [](S b) { EXPECT_EQ(b.replaceAllOccurances("2", nullptr), 3); }, "one   "},
      {"x-y-z", [](S b) { EXPECT_TRUE(b.replaceFirstOccurance("-", "+++")); }, "x+++y-z"},
      {"x-y", [](S b) { EXPECT_FALSE(b.replaceFirstOccurance("#", "+")); }, "x-y"},
      // a null replacement removes nothing
      {"x-y", [](S b) { EXPECT_TRUE(b.replaceFirstOccurance("y", nullptr)); }, "x-y"},
      {"a<b>&\"c\"", [](S b) { b.replaceHTMLSpecial(); }, "a&lt;b&gt;&amp;&quot;c&quot;"},
      {"\r\r\nx\ny\r", [](S b) { b.toCRLF(); }, "\r\nx\r\ny"},
      {"a\r\nb\rc", [](S b) { b.toLF(); }, "a\nb\rc"},
      {"a.b.c", [](S b) { b.replaceCharAnsi('.', '/'); }, "a/b/c"},
      // Not 7-bit: the replacement works on characters, so the bytes of é are untouched, and a
      // leading byte-order mark stays.
      {"\xEF\xBB\xBF"
       "a/caf\xC3\xA9/b",
       [](S b) { b.replaceCharUtf8('/', '\\'); },
       "\xEF\xBB\xBF"
       "a\\caf\xC3\xA9\\b"},
      {"a/b", [](S b) { b.replaceCharUtf8('/', '-'); }, "a-b"},
      {"caf\xC3\xA9", [](S b) { b.replaceCharUtf8('/', '-'); }, "caf\xC3\xA9"},
      // A Latin-1 character as the replacement becomes its UTF-8 form.
      {"x_\xC3\xA9", [](S b) { b.replaceCharUtf8('_', static_cast<char>(0xE8)); },
       "x\xC3\xA8\xC3\xA9"},
      {"Ab\xE9\xFF\xF7\xC9\xD7z", [](S b) { b.toUpperCase(); }, "AB\xC9\xDF\xD7\xC9\xD7Z"},
      {"Ab\xC9\xD7\xDF\xE9", [](S b) { b.toLowerCase(); }, "ab\xE9\xF7\xFF\xE9"},
      {std::string("A\0B", 3), [](S b) { b.toLowerCase(); },
       std::string("a\0B", 3)}, // stops at NUL
  };
  for (const Edit &e : edits) {
    StringBuffer sb(e.in.data(), static_cast<int>(e.in.size()), 0);
    e.op(sb);
    EXPECT_EQ(str(sb), e.out) << "from \"" << e.in << "\"";
    EXPECT_EQ(sb.getString()[sb.getSize()], '\0') << e.in;
  }
}

TEST(StringBufferEdit, SecureClearBlanksTheOldBytes) {
  StringBuffer sb("secret");
  const char *block = sb.getString();
  sb.secureClear();
  EXPECT_EQ(sb.getSize(), 0);
  EXPECT_EQ(std::string(block + 1, 5), "     ") << "old bytes become blanks";
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
