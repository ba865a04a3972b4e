// DataBuffer: growth keeping every byte, failed growth keeping the content, 32-bit size limits,
// memory hand-over and lending, in-place transforms and the padding schemes.
#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/LogNull.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/ckMemory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::string bytes(const DataBuffer &db) {
  return std::string(reinterpret_cast<const char *>(db.getData2()), db.getSize());
}

TEST(DataBufferGrowth, EveryWayInKeepsTheBytes) {
  DataBuffer p;
  ASSERT_TRUE(p.prepend("abc", 3));
  ASSERT_TRUE(p.prepend("12", 2));
  ASSERT_TRUE(p.appendLowOverhead("!", 1));
  ASSERT_TRUE(p.appendCharN('y', 2));
  EXPECT_TRUE(p.appendCharN('y', 0));
  EXPECT_EQ(p.appendUcs2AsUtf8(0x20AC), 3u);
  std::vector<unsigned char> big(1000000, 7);
  ASSERT_TRUE(p.append(big.data(), big.size()));
  EXPECT_EQ(bytes(p).substr(0, 11), "12abc!yy\xE2\x82\xAC");
  EXPECT_EQ(p.getSize(), 11u + big.size());
  EXPECT_EQ(p.lastByte(), 7);
}

TEST(DataBufferGrowth, FailedGrowthKeepsTheOldBlockAndContent) {
  DataBuffer d;
  ASSERT_TRUE(d.appendLowOverhead("keep me", 7)); // full: every append must grow
  unsigned char *block = d.getData2();
  std::vector<unsigned char> more(100, 1);
  ckFailNextAllocations(1);
  EXPECT_FALSE(d.append(more.data(), 100));
  ckFailNextAllocations(1);
  EXPECT_FALSE(d.appendCharN('z', 50));
  ckFailNextAllocations(1);
  EXPECT_FALSE(d.prepend(more.data(), 100));
  ckFailNextAllocations(1);
  EXPECT_EQ(d.appendUcs2AsUtf8(0x20AC), 0u);
  ckFailNextAllocations(1);
  EXPECT_FALSE(d.padForEncryption(0, 16));
  ckFailNextAllocations(1);
  EXPECT_FALSE(d.ensureBuffer(1000)); // the old block stays, but it is not big enough
  ckFailNextAllocations(0);
  EXPECT_EQ(d.getData2(), block);
  EXPECT_EQ(bytes(d), "keep me");
  EXPECT_TRUE(d.append("!", 1));
  EXPECT_EQ(bytes(d), "keep me!");
}

TEST(DataBufferGrowth, SizesBeyond32BitsAreRefused) {
  DataBuffer d;
  ASSERT_TRUE(d.append("abc", 3));
  EXPECT_FALSE(d.append("x", 0xFFFFFFFFu)) << "3 + 4294967295 does not fit";
  EXPECT_FALSE(d.appendCharN('x', 0xFFFFFFFEu));
  EXPECT_FALSE(d.prepend("x", 0xFFFFFFFFu));
  EXPECT_FALSE(d.appendLowOverhead("x", 0xFFFFFFFDu));
  EXPECT_EQ(bytes(d), "abc");
}

TEST(DataBufferGrowth, AppendingItsOwnBytes) {
  DataBuffer d;
  ASSERT_TRUE(d.appendLowOverhead("abcd", 4));
  ASSERT_TRUE(d.append(d.getData2() + 1, 3)); // grows while reading from the old block
  EXPECT_EQ(bytes(d), "abcdbcd");
  ASSERT_TRUE(d.prepend(d.getData2() + 4, 3));
  EXPECT_EQ(bytes(d), "bcdabcdbcd");
}

TEST(DataBufferAccess, ReadersOnEmptyAndFullBuffers) {
  DataBuffer d;
  EXPECT_EQ(d.getData2(), nullptr);
  EXPECT_EQ(d.firstByte(), 0);
  EXPECT_EQ(d.lastByte(), 0);
  EXPECT_EQ(d.getDataAt2(0), nullptr);
  unsigned char *safe = d.getDataSafe4();
  ASSERT_NE(safe, nullptr);
  EXPECT_EQ(safe[0], 0);
  EXPECT_EQ(d.getSize(), 0u);
  d.append("xyz", 3);
  EXPECT_EQ(d.firstByte(), 'x');
  EXPECT_EQ(d.lastByte(), 'z');
  EXPECT_EQ(*d.getDataAt2(2), 'z');
  EXPECT_EQ(d.getDataAt2(3), nullptr);
  EXPECT_EQ(d.getDataAt2(-1), nullptr);

  DataBuffer e, f;
  EXPECT_TRUE(e.equals(f));
  e.append("ab", 2);
  EXPECT_FALSE(e.equals(f));
  f.append("ab", 2);
  EXPECT_TRUE(e.equals(f));
  EXPECT_TRUE(e.equals2("ab", 2));
  EXPECT_FALSE(e.equals2(nullptr, 2));
  EXPECT_FALSE(e.equals2("ab", 1));
  EXPECT_TRUE(DataBuffer().equals2(nullptr, 0));

  DataBuffer sized(16);
  EXPECT_EQ(sized.getBufSize(), 16u);
  EXPECT_EQ(sized.getSize(), 0u);
  EXPECT_EQ(sized.getData2()[15], 0);
}

TEST(DataBufferEdit, RemovingBytes) {
  DataBuffer d;
  d.append("0123456789", 10);
  d.removeChunk(2, 100);
  EXPECT_EQ(bytes(d), "01");
  d.clear();
  d.append("0123456789", 10);
  d.removeChunk(12, 1);
  d.removeChunk(-1, 1);
  d.removeChunk(1, 0);
  EXPECT_EQ(d.getSize(), 10u);
  d.removeChunk(3, 4);
  EXPECT_EQ(bytes(d), "012789");
  d.removeChunk(1, 0x7FFFFFFF); // start + count beyond 32 bits of int
  EXPECT_EQ(bytes(d), "0");

  d.clear();
  d.append("abcdef", 6);
  d.removeHead(2);
  EXPECT_EQ(bytes(d), "cdef");
  d.removeHead(10);
  EXPECT_EQ(d.getSize(), 0u);

  d.append("abcdef", 6);
  d.shorten(2);
  EXPECT_EQ(bytes(d), "abcd");
  d.shorten(100);
  EXPECT_EQ(d.getSize(), 0u);
  d.setDataSize_CAUTION(0xFFFFFFFFu);
  EXPECT_EQ(d.getSize(), d.getBufSize()) << "capped at the capacity";

  DataBuffer s;
  s.append("secret", 6);
  unsigned char *block = s.getData2();
  s.secureClear();
  EXPECT_EQ(s.getSize(), 0u);
  EXPECT_EQ(std::memcmp(block, "\0\0\0\0\0\0", 6), 0);

  DataBuffer m;
  m.append("abc", 3);
  m.minimizeMemoryUsage();
  EXPECT_EQ(bytes(m), "abc");
  m.clearWithDeallocate();
  EXPECT_EQ(m.getData2(), nullptr);
  EXPECT_EQ(m.getBufSize(), 0u);
}

TEST(DataBufferMemory, TakingAndLending) {
  DataBuffer a, b;
  a.append("payload", 7);
  b.append("old", 3);
  b.takeData(a);
  EXPECT_EQ(bytes(b), "payload");
  EXPECT_EQ(a.getData2(), nullptr);
  EXPECT_EQ(a.getSize(), 0u);
  b.takeDataPtr(nullptr);
  EXPECT_EQ(b.getSize(), 0u);
  EXPECT_NE(b.getData2(), nullptr) << "the block stays";

  unsigned char *block = ckNewBytes(5);
  std::memcpy(block, "hello", 5);
  DataBuffer adopted(block, 5);
  EXPECT_EQ(bytes(adopted), "hello");
  unsigned char *out = adopted.removeData();
  EXPECT_EQ(out, block);
  EXPECT_EQ(adopted.getData2(), nullptr);
  b.takeData(static_cast<void *>(out), 5);
  EXPECT_EQ(bytes(b), "hello");

  // Lent memory is never freed by the buffer, and the first growth copies it.
  unsigned char lent[4] = {'L', 'E', 'N', 'T'};
  {
    DataBuffer l;
    l.borrowData(lent, 4);
    EXPECT_TRUE(l.isBorrowed());
    EXPECT_EQ(l.getData2(), lent);
    ASSERT_TRUE(l.append("!", 1));
    EXPECT_FALSE(l.isBorrowed());
    EXPECT_NE(l.getData2(), lent);
    EXPECT_EQ(bytes(l), "LENT!");
    l.borrowData(lent, 4);
    l.clearWithDeallocate();
    l.borrowData(lent, 4);
    unsigned char *copy = l.removeData();
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, lent) << "the caller owns what it gets";
    EXPECT_EQ(std::memcmp(copy, "LENT", 4), 0);
    ckFreeBytes(copy);
    l.borrowData(lent, 4); // destroyed while borrowing
  }
  EXPECT_EQ(std::memcmp(lent, "LENT", 4), 0);
}

TEST(DataBufferEdit, AppendVariants) {
  DataBuffer d;
  StringBuffer sb("text");
  ASSERT_TRUE(d.append(sb));
  ASSERT_TRUE(d.append(StringBuffer()));
  DataBuffer src;
  src.append("0123456789", 10);
  ASSERT_TRUE(d.appendRange(src, 8, 5));
  ASSERT_TRUE(d.appendRange(src, 10, 5));
  ASSERT_TRUE(d.appendRange(src, 2, 2));
  EXPECT_EQ(bytes(d), "text8923");

  DataBuffer w;
  const unsigned short units[] = {'h', 'i', 0};
  ASSERT_TRUE(w.appendNullTerminatedUnicode(units));
  EXPECT_EQ(w.getSize(), 6u);
  ASSERT_TRUE(w.appendNullTerminatedUnicode(nullptr));
  EXPECT_EQ(w.getSize(), 8u);
  EXPECT_EQ(w.lastByte(), 0);

  DataBuffer u;
  EXPECT_EQ(u.appendUcs2AsUtf8(0x7F), 1u);
  EXPECT_EQ(u.appendUcs2AsUtf8(0xE9), 2u);
  EXPECT_EQ(u.appendUcs2AsUtf8(0x20AC), 3u);
  EXPECT_EQ(u.appendUcs2AsUtf8(0xD83D), 3u) << "a surrogate unit is written on its own";
  EXPECT_EQ(bytes(u), "\x7F\xC3\xA9\xE2\x82\xAC\xED\xA0\xBD");
}

TEST(DataBufferEdit, TransformsInPlace) {
  DataBuffer d;
  d.append("\x01\x02\x03\x04\x05\x06\x07", 7);
  d.byteSwap4321();
  EXPECT_EQ(bytes(d), "\x04\x03\x02\x01\x07\x06\x05");
  d.clear();
  d.append("\x01\x02\x03\x04\x05\x06", 6);
  d.byteSwap4321();
  EXPECT_EQ(bytes(d), "\x04\x03\x02\x01\x06\x05");

  // "a.b" as UTF-16LE.
  DataBuffer w;
  w.append("a\0.\0b\0", 6);
  w.chopAtFirstCharW('.');
  EXPECT_EQ(w.getSize(), 4u);
  EXPECT_EQ(bytes(w), std::string("a\0\0\0", 4));
  DataBuffer odd;
  odd.append("a\0b\0c", 5);
  odd.chopAtFirstCharW('z');
  EXPECT_EQ(odd.getSize(), 4u);
  odd.replaceCharW('b', 'B');
  odd.replaceCharW('a', 0);
  EXPECT_EQ(bytes(odd), std::string("a\0B\0", 4));

  DataBuffer x, a, b;
  a.append("\x0F\xF0", 2);
  b.append("\xFF\xFF", 2);
  ASSERT_TRUE(x.exclusiveOr(a, b));
  EXPECT_EQ(bytes(x), "\xF0\x0F");
  b.appendChar(0);
  EXPECT_FALSE(x.exclusiveOr(a, b));
  EXPECT_EQ(bytes(x), "\xF0\x0F");
  ASSERT_TRUE(x.exclusiveOr(DataBuffer(), DataBuffer()));
  EXPECT_EQ(x.getSize(), 0u);
}

TEST(DataBufferEdit, Utf16CaseMapping) {
  DataBuffer w;
  const unsigned short text[] = {'a', 0xE9, 0x0101, 'Z', 0x00B5};
  w.append(text, sizeof text);
  w.toUppercaseW();
  unsigned short up[5];
  std::memcpy(up, w.getData2(), sizeof up);
  EXPECT_EQ(up[0], 'A');
  EXPECT_EQ(up[1], 0xC9);
  EXPECT_EQ(up[2], 0x0100);
  EXPECT_EQ(up[3], 'Z');
  EXPECT_EQ(up[4], 0x039C);
  w.toLowercaseW();
  std::memcpy(up, w.getData2(), sizeof up);
  EXPECT_EQ(up[0], 'a');
  EXPECT_EQ(up[1], 0xE9);
  EXPECT_EQ(up[2], 0x0101);
  EXPECT_EQ(up[3], 'z');
}

TEST(DataBufferEncoding, HexInPieces) {
  DataBuffer d;
  d.append("\x00\xAB\x7F", 3);
  StringBuffer out("=");
  d.toHexString(out);
  EXPECT_STREQ(out.getString(), "=00AB7F");
  std::vector<unsigned char> big(1000, 0x5C);
  StringBuffer hex;
  DataBuffer::toHexString2(big.data(), 1000, hex);
  EXPECT_EQ(hex.getSize(), 2000);
  for (int i = 0; i < 2000; i += 2)
    ASSERT_EQ(std::string(hex.getString() + i, 2), "5C");
  DataBuffer::toHexString2(nullptr, 5, hex);
  EXPECT_EQ(hex.getSize(), 2000);
}

TEST(DataBufferPadding, SchemesZeroToFour) {
  // scheme 0 = PKCS#7, 1 = FIPS81 (count last), 2 = random, 3 = zeros, 4 = spaces, others none.
  struct Case {
    int scheme, block;
    unsigned in, padded;
    int last; // the padding bytes (FIPS81: the last one), or -1 when they vary
    unsigned unpadded;
  } cases[] = {
      {0, 16, 16, 32, 16, 16}, {0, 16, 5, 16, 11, 5}, {0, 24, 5, 16, 11, 5}, // 24: treated as 16
      {0, 8, 5, 8, 3, 5},      {1, 8, 3, 8, 5, 3},    {2, 8, 8, 8, 'x', 8},  // whole: nothing
      {2, 8, 11, 16, -1, 16},                                                // never removed
      {3, 16, 20, 32, 0, 32},                                                // never removed
      {4, 8, 1, 8, ' ', 8},    {7, 16, 3, 3, 'x', 3},
  };
  LogNull log;
  for (const Case &c : cases) {
    DataBuffer d;
    d.appendCharN('x', c.in);
    d.padForEncryption(c.scheme, c.block);
    EXPECT_EQ(d.getSize(), c.padded) << c.scheme << "/" << c.in;
    if (c.last >= 0) {
      EXPECT_EQ(d.lastByte(), c.last) << c.scheme << "/" << c.in;
    }
    for (unsigned i = c.in; c.last >= 0 && c.scheme != 1 && i < d.getSize(); ++i)
      ASSERT_EQ(d.getData2()[i], c.last) << c.scheme << "/" << c.in << " @" << i;
    d.unpadAfterDecryption(c.scheme, c.block, log);
    EXPECT_EQ(d.getSize(), c.unpadded) << c.scheme << "/" << c.in;
  }
}

TEST(DataBufferPadding, RemovalIsCappedAndNeverVerified) {
  LogNull log;
  DataBuffer zeroLast;
  zeroLast.appendCharN('x', 15);
  zeroLast.appendChar(0);
  zeroLast.unpadAfterDecryption(0, 16, log);
  EXPECT_EQ(zeroLast.getSize(), 16u);
  DataBuffer huge;
  huge.appendCharN('x', 39);
  huge.appendChar(200);
  EXPECT_TRUE(huge.unpadAfterDecryption(0, 16, log));
  EXPECT_EQ(huge.getSize(), 0u);
  DataBuffer empty;
  EXPECT_TRUE(empty.unpadAfterDecryption(0, 16, log));
}

// A buffer whose validity marker was overwritten (stray write, use of freed memory) stops the
// process at the first guarded operation instead of touching memory through its stale fields. The
// marker is the first byte after the object root; the test checks that it found it.
void corruptMarker(DataBuffer &db) {
  unsigned char *marker = reinterpret_cast<unsigned char *>(&db) + sizeof(RazudodObject);
  ASSERT_EQ(*marker, 219);
  *marker = 0;
  ASSERT_FALSE(db.isValidObject());
}

TEST(DataBufferDeathTest, OverwrittenMarkerStopsGuardedOperations) {
  DataBuffer db;
  db.append("abc", 3);
  EXPECT_DEATH(
      {
        corruptMarker(db);
        db.append("x", 1);
      },
      "Fatal internal error");
  EXPECT_DEATH(
      {
        corruptMarker(db);
        db.ensureBuffer(100000);
      },
      "Fatal internal error");
  EXPECT_DEATH(
      {
        corruptMarker(db);
        db.removeHead(1);
      },
      "Fatal internal error");
  EXPECT_DEATH(
      {
        corruptMarker(db);
        DataBuffer other;
        db.takeData(other);
      },
      "Fatal internal error");
  // The plain accessors are not guarded; the parent's buffer was never touched.
  corruptMarker(db);
  EXPECT_EQ(db.getSize(), 3u);
  EXPECT_EQ(db.lastByte(), 'c');
  *(reinterpret_cast<unsigned char *>(&db) + sizeof(RazudodObject)) = 219;
  EXPECT_TRUE(db.isValidObject());
}

} // namespace
