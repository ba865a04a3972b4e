// The byte-sequence hash table of the code-page tables, and the decoder of the built-in
// compressed tables.
#include <gtest/gtest.h>

#include <bzlib.h>

#include <string>

#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/EncodingConvert.h"
#include "sshlib/core/HashConvert.h"
#include "sshlib/core/RazudodBzip2.h"
#include "sshlib/core/UnicodeLookup.h"

namespace {

const unsigned char *u(const char *s) {
  return reinterpret_cast<const unsigned char *>(s);
}

std::string lookup(const HashConvert &h, const std::string &key) {
  unsigned char v[4] = {0, 0, 0, 0};
  int n = -1;
  h.HashLookup(u(key.data()), (int)key.size(), v, n);
  return std::string(reinterpret_cast<char *>(v), n);
}

TEST(HashConvert, InsertLookupRemove) {
  HashConvert h;
  h.Initialize(7);
  h.HashInsert(u("ab"), 2, u("X"), 1);
  h.HashInsert(u("ab"), 2, u("YY"), 2); // same key again: the first answers
  h.HashInsert(u("a"), 1, u("1234"), 4);
  h.HashInsert(u("abcd"), 4, u("Z"), 1);
  EXPECT_EQ(lookup(h, "ab"), "X");
  EXPECT_EQ(lookup(h, "a"), "1234");
  EXPECT_EQ(lookup(h, "abcd"), "Z");
  EXPECT_EQ(lookup(h, "abc"), "");
  h.HashRemove(u("ab"), 2);
  EXPECT_EQ(lookup(h, "ab"), "");
  EXPECT_EQ(lookup(h, "a"), "1234");
  // Removing the last record of a bucket leaves it empty.
  h.HashRemove(u("a"), 1);
  EXPECT_EQ(h.getSlotSize('a' % 7), 0);
  // Keys are compared by length too: "a\0" is not "a".
  h.HashInsert(u("a"), 1, u("q"), 1);
  EXPECT_EQ(lookup(h, std::string("a\0", 2)), "");
}

TEST(HashConvert, SlotLayoutAndHash) {
  HashConvert h;
  h.Initialize(283);
  const unsigned char key[2] = {0x01, 0x02}; // hash 0x0201 = 513, bucket 230
  h.HashInsert(key, 2, u("v"), 1);
  EXPECT_EQ(h.getSlotSize(513 % 283), 1 + 2 + 1 + 1 + 1);
  EXPECT_EQ(h.getSlotSize(0), 0);
  EXPECT_EQ(h.getSlotSize(-1), 0);
  EXPECT_EQ(h.getSlotSize(283), 0);
}

TEST(HashConvert, TableWithoutBucketsAndOversizedParts) {
  HashConvert h; // no buckets: nothing is stored and nothing divides by zero
  h.HashInsert(u("a"), 1, u("b"), 1);
  EXPECT_EQ(lookup(h, "a"), "");
  h.HashRemove(u("a"), 1);
  h.Initialize(0);
  EXPECT_EQ(lookup(h, "a"), "");
  h.Initialize(-5);
  EXPECT_EQ(lookup(h, "a"), "");

  // Values (and keys) longer than the 4 bytes a caller's buffer holds are refused.
  h.Initialize(3);
  h.HashInsert(u("k"), 1, u("123456789"), 9);
  EXPECT_EQ(lookup(h, "k"), "");
  h.HashInsert(u("kkkkk"), 5, u("1"), 1);
  EXPECT_EQ(lookup(h, "kkkkk"), "");
  h.HashInsert(u(""), 0, u("1"), 1);
  EXPECT_EQ(h.getSlotSize(0) + h.getSlotSize(1) + h.getSlotSize(2), 0);
}

TEST(HashConvert, ReverseTakesFirstRecordInBucketOrder) {
  HashConvert h;
  h.Initialize(5);
  // Keys 'a' (97 % 5 = 2) and 'c' (99 % 5 = 4) both map to "Z"; bucket 2 is visited first.
  h.HashInsert(u("c"), 1, u("Z"), 1);
  h.HashInsert(u("a"), 1, u("Z"), 1);
  h.HashInsert(u("b"), 1, u("YY"), 2);
  HashConvert r;
  r.Initialize(11);
  h.BuildReverse(r);
  EXPECT_EQ(lookup(r, "Z"), "a");
  EXPECT_EQ(lookup(r, "YY"), "b");
  h.put_IsLowerAscii(true);
  EXPECT_TRUE(h.get_IsLowerAscii());
  EXPECT_FALSE(r.get_IsLowerAscii());
}

std::string packTable(const std::string &body, bool goodMagic = true) {
  unsigned int cap = (unsigned int)body.size() * 2 + 600;
  std::string comp(cap, '\0');
  EXPECT_EQ(BZ2_bzBuffToBuffCompress(comp.data(), &cap, const_cast<char *>(body.data()),
                                     (unsigned int)body.size(), 9, 0, 30),
            BZ_OK);
  comp.resize(cap);
  std::string out = goodMagic ? "\xE1\xA7\x94\xB3" : "\xB3\x94\xA7\xE1";
  unsigned int n = (unsigned int)body.size();
  for (int i = 0; i < 4; ++i)
    out.push_back(char((n >> (8 * i)) & 0xFF));
  return out + comp;
}

TEST(RazudodBzip2, BuiltInTableFormat) {
  std::string body;
  for (int i = 0; i < 5000; ++i)
    body += char(i * 7 % 251);
  RazudodBzip2 bz;
  DataBuffer in, out;
  std::string packed = packTable(body);
  in.append(packed.data(), (unsigned int)packed.size());
  out.append("old", 3);
  EXPECT_TRUE(bz.unBzipWithHeader(in, out));
  EXPECT_EQ(std::string(reinterpret_cast<char *>(out.getData2()), out.getSize()), body);

  // The other byte order of the magic fails and leaves the output alone.
  DataBuffer bad, out2;
  std::string wrong = packTable(body, false);
  bad.append(wrong.data(), (unsigned int)wrong.size());
  out2.append("keep", 4);
  EXPECT_FALSE(bz.unBzipWithHeader(bad, out2));
  EXPECT_EQ(out2.getSize(), 4u);

  // Empty input: empty output, success. Header only or too short: failure.
  DataBuffer empty;
  EXPECT_TRUE(bz.unBzipWithHeader(empty, out2));
  EXPECT_EQ(out2.getSize(), 0u);
  DataBuffer shortIn;
  shortIn.append("\xE1\xA7\x94\xB3\x01", 5);
  EXPECT_FALSE(bz.unBzipWithHeader(shortIn, out2));

  // A stream cut short gives what it could and fails.
  DataBuffer cut;
  cut.append(packed.data(), (unsigned int)packed.size() - 20);
  EXPECT_FALSE(bz.unBzipWithHeader(cut, out2));
  EXPECT_LE(out2.getSize(), body.size());

  // A stated size smaller than the data: at most that size plus 20 bytes.
  std::string lie = packed;
  lie[4] = 10;
  lie[5] = lie[6] = lie[7] = 0;
  DataBuffer lieIn;
  lieIn.append(lie.data(), (unsigned int)lie.size());
  EXPECT_FALSE(bz.unBzipWithHeader(lieIn, out2));
  EXPECT_EQ(out2.getSize(), 30u);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(out2.getData2()), 30), body.substr(0, 30));
}

// Stored texts are read by the table builder; a diff body only counts for a from-Unicode table.
TEST(HashConvert, StoredTextBodies) {
  // Kind "x": plain Base64 of the body "a" "u", one record (0x20, U+00A0), end marks.
  // Body bytes: 61 75 20 A0 00 00 00 00 -> Base64 "YXUgoAAAAAA=".
  HashConvert from;
  from.Initialize(269);
  EncodingConvert::buildHash("xYXUgoAAAAA=", from, true);
  EXPECT_TRUE(from.get_IsLowerAscii());
  EXPECT_EQ(lookup(from, std::string("\xA0\x00", 2)), " ");

  HashConvert to;
  to.Initialize(283);
  EncodingConvert::buildHash("xYXUgoAAAAA=", to, false);
  UnicodeLookup l;
  EncodingConvert::buildSingleByteLookup(to, l);
  EXPECT_EQ(l.m_table[0x20], 0x20); // the lower-ASCII flag answers first
  EXPECT_EQ(l.m_table[0x41], 0x41);
  EXPECT_EQ(l.m_table[0x80], 0);

  // A diff body ("x" "d", remove U+0041, then 01 -> U+0042, then 8140 -> U+0043) does nothing to
  // a to-Unicode table.
  const unsigned char diff[] = {'x',  'd',  0x41, 0x00, 0x00, 0x00, 0x01, 0x42,
                                0x00, 0x00, 0x81, 0x40, 0x43, 0x00, 0x00, 0x00};
  HashConvert fresh;
  fresh.Initialize(5);
  EncodingConvert::buildFromDiffs(diff + 2, sizeof(diff) - 2, fresh);
  EXPECT_EQ(lookup(fresh, std::string("\x42\x00", 2)), "\x01");
  EXPECT_EQ(lookup(fresh, std::string("\x43\x00", 2)), "\x81\x40");

  // The same diff as a stored text: read for a from-Unicode table, ignored for a to-Unicode one.
  HashConvert viaTextTo, viaTextFrom;
  viaTextTo.Initialize(5);
  viaTextFrom.Initialize(5);
  EncodingConvert::buildHash("xeGRBAAAAAUIAAIFAQwAAAA==", viaTextTo, false);
  EncodingConvert::buildHash("xeGRBAAAAAUIAAIFAQwAAAA==", viaTextFrom, true);
  for (int b = 0; b < 5; ++b)
    EXPECT_EQ(viaTextTo.getSlotSize(b), 0);
  EXPECT_EQ(lookup(viaTextFrom, std::string("\x43\x00", 2)), "\x81\x40");

  // Bodies cut anywhere are read up to the cut and no further.
  for (size_t cut = 0; cut < sizeof(diff) - 2; ++cut) {
    HashConvert t;
    t.Initialize(3);
    EncodingConvert::buildFromDiffs(diff + 2, (unsigned int)cut, t);
    EncodingConvert::buildFromComplete(diff + 2, (unsigned int)cut, t, false);
  }
  // Garbage text: nothing is built.
  HashConvert g;
  g.Initialize(3);
  EncodingConvert::buildHash("c!!!!", g, true);
  EncodingConvert::buildHash("", g, true);
  EncodingConvert::buildHash(nullptr, g, true);
  EXPECT_FALSE(g.get_IsLowerAscii());
}

} // namespace
