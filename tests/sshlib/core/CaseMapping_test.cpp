// Per-unit case mapping and the shape of its generated tables.
#include <gtest/gtest.h>

#include "sshlib/core/CaseMapping.h"
#include "sshlib/core/DataBuffer.h"

namespace {

struct TableShape {
  int pairs = 0;
  int largestBucket = 0;
  bool misplaced = false;
};

TableShape shapeOf(const unsigned short (&t)[100][50][2]) {
  TableShape s;
  for (int b = 0; b < 100; ++b) {
    int n = 0;
    while (n < 50 && t[b][n][0] != 0) {
      if (t[b][n][0] % 100 != b) s.misplaced = true;
      ++n;
    }
    s.pairs += n;
    if (n > s.largestBucket) s.largestBucket = n;
  }
  return s;
}

} // namespace

TEST(CaseMapping, TablesHoldTheUnicode5Pairs) {
  const TableShape lower = shapeOf(_ckFromLowerMap);
  EXPECT_EQ(lower.pairs, 844);
  EXPECT_LE(lower.largestBucket, 16);
  EXPECT_FALSE(lower.misplaced);
  const TableShape upper = shapeOf(_ckFromUpperMap);
  EXPECT_EQ(upper.pairs, 809);
  EXPECT_LE(upper.largestBucket, 16);
  EXPECT_FALSE(upper.misplaced);
}

TEST(CaseMapping, LatinFastPathAndAscii) {
  for (unsigned short c = 0xA0; c <= 0xBF; ++c) {
    if (c == 0xB5) continue; // micro sign: a small letter with a capital (U+039C)
    EXPECT_EQ(CaseMapping::upperToLower(c), c);
    EXPECT_EQ(CaseMapping::lowerToUpper(c), c);
  }
  EXPECT_EQ(CaseMapping::upperToLower(0xC9), 0xE9);
  EXPECT_EQ(CaseMapping::upperToLower(0xD7), 0xD7);
  EXPECT_EQ(CaseMapping::upperToLower(0xDF), 0xFF);
  EXPECT_EQ(CaseMapping::lowerToUpper(0xE9), 0xC9);
  EXPECT_EQ(CaseMapping::lowerToUpper(0xF7), 0xF7);
  EXPECT_EQ(CaseMapping::lowerToUpper(0xFF), 0xDF);
  EXPECT_EQ(CaseMapping::lowerToUpper(0), 0);
  EXPECT_EQ(CaseMapping::upperToLower(0), 0);
  EXPECT_EQ(CaseMapping::lowerToUpper('a'), 'A');
  EXPECT_EQ(CaseMapping::upperToLower('Z'), 'z');
  EXPECT_EQ(CaseMapping::lowerToUpper('{'), '{');
  EXPECT_EQ(CaseMapping::upperToLower('@'), '@');
}

TEST(CaseMapping, TableLookupsOutsideLatin1) {
  EXPECT_EQ(CaseMapping::lowerToUpper(0x00B5), 0x039C);
  EXPECT_EQ(CaseMapping::lowerToUpper(0x0101), 0x0100);
  EXPECT_EQ(CaseMapping::upperToLower(0x0130), 0x0069);
  EXPECT_EQ(CaseMapping::upperToLower(0x212A), 0x006B);
  EXPECT_EQ(CaseMapping::lowerToUpper(0x03C9), 0x03A9);
  EXPECT_EQ(CaseMapping::upperToLower(0x0416), 0x0436);
  EXPECT_EQ(CaseMapping::lowerToUpper(0xFF5A), 0xFF3A);
  EXPECT_EQ(CaseMapping::upperToLower(0xFF21), 0xFF41);
  // Titlecase letters, letter-like symbols and later additions have no mapping.
  EXPECT_EQ(CaseMapping::lowerToUpper(0x01C5), 0x01C5);
  EXPECT_EQ(CaseMapping::upperToLower(0x01C5), 0x01C5);
  EXPECT_EQ(CaseMapping::upperToLower(0x2160), 0x2160);
  EXPECT_EQ(CaseMapping::upperToLower(0x24B6), 0x24B6);
  EXPECT_EQ(CaseMapping::lowerToUpper(0x0250), 0x0250);
  EXPECT_EQ(CaseMapping::upperToLower(0x0370), 0x0370);
  EXPECT_EQ(CaseMapping::lowerToUpper(0xD83D), 0xD83D) << "surrogate units stay";
}

TEST(CaseMapping, DataBufferMapsEveryUnit) {
  // Ab\u00e9\u03c9 as UTF-16LE.
  const unsigned char text[] = {'A', 0, 'b', 0, 0xE9, 0, 0xC9, 0x03};
  DataBuffer db;
  db.append(text, sizeof(text));
  db.toUppercaseW();
  const unsigned char upper[] = {'A', 0, 'B', 0, 0xC9, 0, 0xA9, 0x03};
  EXPECT_TRUE(db.equals2(upper, sizeof(upper)));
  db.toLowercaseW();
  const unsigned char lower[] = {'a', 0, 'b', 0, 0xE9, 0, 0xC9, 0x03};
  EXPECT_TRUE(db.equals2(lower, sizeof(lower)));
}
