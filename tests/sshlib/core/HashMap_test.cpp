// CRC-32 against zlib on random data in random pieces, and the hash map's buckets, ownership
// and lookups.
#include "sshlib/core/HashMap.h"
#include "sshlib/core/Md5.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/ZipCRC.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <thread>
#include <vector>
#include <zlib.h>

namespace {

const unsigned char *bytes(const char *s) {
  return reinterpret_cast<const unsigned char *>(s);
}

TEST(ZipCrc, KnownValuesAndTable) {
  EXPECT_EQ(ZipCRC::getCRC(bytes("123456789"), 9, nullptr), 0xCBF43926u);
  EXPECT_EQ(ZipCRC::getCRC(bytes("abc"), 3, nullptr), 0x352441C2u);
  EXPECT_EQ(ZipCRC::getCRC(bytes(""), 0, nullptr), 0u);
  EXPECT_EQ(ZipCRC::getCRC(nullptr, 5, nullptr), 0u);
  EXPECT_EQ(ZipCRC::reflect(0x1, 8), 0x80u);
  EXPECT_EQ(ZipCRC::reflect(0xFF01, 8), 0x80u) << "bits above the count are cleared";
  EXPECT_EQ(ZipCRC::reflect(0x04C11DB7u, 32), 0xEDB88320u);
  // A streaming object that was never started still begins from the proper initial value.
  ZipCRC fresh;
  fresh.moreData(bytes("123456789"), 9);
  EXPECT_EQ(fresh.endStream(), 0xCBF43926u);
  fresh.beginStream();
  EXPECT_EQ(fresh.endStream(), 0u);
  fresh.moreData(nullptr, 4);
  fresh.moreData(bytes("x"), 0);
  EXPECT_EQ(fresh.endStream(), 0u);
}

TEST(ZipCrc, EqualsZlibOnRandomDataInRandomPieces) {
  std::mt19937 rng(1234);
  for (int round = 0; round < 200; ++round) {
    std::vector<unsigned char> data(rng() % 5000);
    for (auto &b : data)
      b = static_cast<unsigned char>(rng());
    unsigned int n = static_cast<unsigned int>(data.size());
    uLong expect = crc32(0L, Z_NULL, 0);
    expect = crc32(expect, data.data(), n);
    EXPECT_EQ(ZipCRC::getCRC(data.data(), n, nullptr), n ? expect : 0u);
    ZipCRC z;
    z.beginStream();
    unsigned int pos = 0;
    while (pos < n) {
      unsigned int piece = 1 + rng() % 40;
      if (piece > n - pos) piece = n - pos;
      z.moreData(data.data() + pos, piece);
      pos += piece;
      EXPECT_EQ(z.endStream(), crc32(0L, data.data(), pos)) << "reading does not end it";
    }
    EXPECT_EQ(z.endStream(), expect);
  }
}

TEST(ZipCrc, TableIsBuiltOnceUnderConcurrentFirstUse) {
  std::vector<std::thread> threads;
  std::vector<unsigned int> results(8);
  for (int i = 0; i < 8; ++i)
    threads.emplace_back(
        [&results, i] { results[i] = ZipCRC::getCRC(bytes("123456789"), 9, nullptr); });
  for (auto &t : threads)
    t.join();
  for (unsigned int r : results)
    EXPECT_EQ(r, 0xCBF43926u);
}

// An object that counts its destructions.
struct Counted : RazudodObject {
  explicit Counted(int *c) : count(c) {}
  ~Counted() override { ++*count; }
  int *count;
};

TEST(HashMapBuckets, KeysFallWhereTheDigestSays) {
  HashMap zero(0);
  EXPECT_EQ(zero.getNumBuckets(), 100);
  HashMap negative(-3);
  EXPECT_EQ(negative.getNumBuckets(), 100);
  StringBuffer abc("abc");
  StringBuffer empty("");
  unsigned char d[16];
  Md5().digestString(abc, d);
  EXPECT_EQ(ZipCRC::getCRC(d, 16, nullptr), 0x84348B51u);
  EXPECT_EQ(zero.hashFunc(abc), 49u);
  EXPECT_EQ(HashMap(499).hashFunc(abc), 11u);
  EXPECT_EQ(HashMap(400).hashFunc(abc), 49u);
  EXPECT_EQ(zero.hashFunc(empty), 24u);
  unsigned int bucket = 0;
  EXPECT_EQ(zero.internalLookup(abc, bucket), nullptr);
  EXPECT_EQ(bucket, 49u);
}

TEST(HashMapEntries, InsertReplaceLookupDelete) {
  int destroyed = 0;
  {
    HashMap map(400);
    StringBuffer k("key");
    Counted *first = new Counted(&destroyed);
    map.hashInsert(k, first);
    EXPECT_EQ(map.hashLookup(k), first);
    map.hashInsert(k, first);
    EXPECT_EQ(destroyed, 0) << "the same object again destroys nothing";
    Counted *second = new Counted(&destroyed);
    map.hashInsert(k, second);
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(map.hashLookup2("key"), second);
    EXPECT_EQ(map.hashLookup2("Key"), nullptr) << "case-sensitive";
    EXPECT_EQ(map.hashLookup2(nullptr), nullptr);
    map.hashDelete2(nullptr);
    map.hashDelete2("absent");
    EXPECT_EQ(destroyed, 1);
    // Many keys, several per bucket.
    for (int i = 0; i < 2000; ++i) {
      StringBuffer key(("k" + std::to_string(i)).c_str());
      map.hashInsert(key, new Counted(&destroyed));
    }
    for (int i = 0; i < 2000; i += 2)
      map.hashDelete2(("k" + std::to_string(i)).c_str());
    EXPECT_EQ(destroyed, 1001);
    for (int i = 0; i < 2000; ++i)
      EXPECT_EQ(map.hashLookup2(("k" + std::to_string(i)).c_str()) != nullptr, i % 2 == 1) << i;
    map.hashDelete(k);
    EXPECT_EQ(destroyed, 1002);
  }
  EXPECT_EQ(destroyed, 2002) << "the map destroys what it still holds";
}

TEST(HashMapEntries, LookupStringChecksTheObjectKind) {
  int destroyed = 0;
  HashMap map(499);
  map.hashInsert(StringBuffer("s"), new StringBuffer("value"));
  map.hashInsert(StringBuffer("o"), new Counted(&destroyed));
  map.hashInsert(StringBuffer("n"), nullptr);
  StringBuffer out("previous");
  EXPECT_TRUE(map.hashLookupString("s", out));
  EXPECT_STREQ(out.getString(), "value");
  out.setString("previous");
  EXPECT_FALSE(map.hashLookupString("o", out)) << "not a string: nothing to hand out";
  EXPECT_STREQ(out.getString(), "");
  out.setString("previous");
  EXPECT_FALSE(map.hashLookupString("absent", out));
  EXPECT_STREQ(out.getString(), "");
  EXPECT_FALSE(map.hashLookupString(nullptr, out));
  EXPECT_FALSE(map.hashLookupString("n", out));
}

TEST(NamedObjectEntry, NameAndReplacement) {
  int destroyed = 0;
  NamedObject unnamed(nullptr, nullptr);
  EXPECT_STREQ(unnamed.getName(), "");
  EXPECT_EQ(unnamed.getObject(), nullptr);
  {
    Counted *a = new Counted(&destroyed);
    NamedObject e("name", a);
    EXPECT_STREQ(e.getName(), "name");
    e.replaceObject(a);
    EXPECT_EQ(destroyed, 0);
    e.replaceObject(nullptr);
    EXPECT_EQ(destroyed, 1);
    e.replaceObject(new Counted(&destroyed));
  }
  EXPECT_EQ(destroyed, 2);
}

} // namespace
