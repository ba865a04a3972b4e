// 64-bit integer helpers: halves, the 32-bit test and text conversion in any base.
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/ck64.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

TEST(ck64, HalvesJoinAndSplit) {
  int64_t v = ck64::DwordsToInt64(0x89ABCDEFu, 0x01234567u);
  EXPECT_EQ(v, 0x0123456789ABCDEFll);
  uint32_t lo = 0, hi = 0;
  ck64::Int64ToDwords(-2, lo, hi);
  EXPECT_EQ(lo, 0xFFFFFFFEu);
  EXPECT_EQ(hi, 0xFFFFFFFFu);
  EXPECT_EQ(ck64::DwordsToInt64(lo, hi), -2);
  EXPECT_EQ(ck64::LowWord(0x500000007ll), 7u);
}

TEST(ck64, ThirtyTwoBitLimit) {
  EXPECT_EQ(ck64::toUnsignedLong(-1), 4294967295u);
  EXPECT_TRUE(ck64::TooBigForUnsigned32(-1));
  EXPECT_EQ(ck64::toUnsignedLong(4294967295ll), 4294967295u);
  EXPECT_FALSE(ck64::TooBigForUnsigned32(4294967295ll));
  EXPECT_TRUE(ck64::TooBigForUnsigned32(4294967296ll));
  EXPECT_EQ(ck64::toUnsignedLong(4294967296ll), 4294967295u);
  EXPECT_EQ(ck64::toUnsignedLong(12345), 12345u);
}

TEST(ck64, DecimalTextIncludingTheExtremes) {
  StringBuffer sb;
  ck64::Int64ToString(-9, sb);
  EXPECT_STREQ(sb.getString(), "-9");
  sb.clear();
  ck64::Int64ToString(0, sb);
  EXPECT_STREQ(sb.getString(), "0");
  // The most negative value has no positive counterpart: the digits come from its magnitude.
  char buf[80];
  ASSERT_TRUE(ck64::itoa(LLONG_MIN, buf, 10));
  EXPECT_STREQ(buf, "-9223372036854775808");
  ASSERT_TRUE(ck64::itoa(LLONG_MAX, buf, 10));
  EXPECT_STREQ(buf, "9223372036854775807");
  ASSERT_TRUE(ck64::xtoa(LLONG_MIN, buf, 16, true));
  EXPECT_STREQ(buf, "-8000000000000000");
}

TEST(ck64, OtherBasesAndBaseChecks) {
  char buf[80];
  ASSERT_TRUE(ck64::itoa(255, buf, 16));
  EXPECT_STREQ(buf, "ff");
  ASSERT_TRUE(ck64::itoa(35, buf, 36));
  EXPECT_STREQ(buf, "z");
  ASSERT_TRUE(ck64::itoa(5, buf, 2));
  EXPECT_STREQ(buf, "101");
  // Outside base 10 a negative value is written as its 64 bits, with no sign.
  ASSERT_TRUE(ck64::itoa(-1, buf, 16));
  EXPECT_STREQ(buf, "ffffffffffffffff");
  ASSERT_TRUE(ck64::itoa(LLONG_MIN, buf, 2));
  EXPECT_EQ(std::strlen(buf), 64u);
  for (int bad : {-10, 0, 1, 37, 100}) {
    std::strcpy(buf, "junk");
    EXPECT_FALSE(ck64::itoa(42, buf, bad)) << bad;
    EXPECT_STREQ(buf, "") << bad;
    EXPECT_FALSE(ck64::xtoa(42, buf, bad, false)) << bad;
  }
}

TEST(ck64, ItoaAgreesWithPrintfOnManyValues) {
  char buf[80], ref[80];
  uint64_t x = 0x9E3779B97F4A7C15ull;
  for (int i = 0; i < 2000; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    int64_t v = static_cast<int64_t>(x) >> (i % 64);
    ck64::itoa(v, buf, 10);
    std::snprintf(ref, sizeof ref, "%lld", static_cast<long long>(v));
    ASSERT_STREQ(buf, ref);
    ck64::itoa(v, buf, 16);
    std::snprintf(ref, sizeof ref, "%llx", static_cast<unsigned long long>(v));
    ASSERT_STREQ(buf, ref);
    ck64::itoa(v, buf, 8);
    std::snprintf(ref, sizeof ref, "%llo", static_cast<unsigned long long>(v));
    ASSERT_STREQ(buf, ref);
  }
}

TEST(ck64, ParsesLikeStrtoll) {
  EXPECT_EQ(ck64::StringToInt64("  -42xyz"), -42);
  EXPECT_EQ(ck64::StringToInt64("+17"), 17);
  EXPECT_EQ(ck64::StringToInt64("abc"), 0);
  EXPECT_EQ(ck64::StringToInt64(""), 0);
  EXPECT_EQ(ck64::StringToInt64(nullptr), 0);
  EXPECT_EQ(ck64::StringToInt64("9223372036854775807"), LLONG_MAX);
  EXPECT_EQ(ck64::StringToInt64("-9223372036854775808"), LLONG_MIN);
}

} // namespace
