// The inflater's input queue: byte counts, bit advance and the four readable bytes at the read
// pointer, including input fed a byte at a time far beyond any fixed number of chunks.
#include "sshlib/core/CircBuf.h"
#include "sshlib/core/ckMemory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

uint32_t word(const CircBuf &cb) {
  uint32_t w;
  std::memcpy(&w, cb.m_readPtr, 4);
  return w;
}

// Reads n bits LSB first the way the bit reader does: 32 bits at the pointer, shifted.
uint32_t take(CircBuf &cb, unsigned n, bool *ok = nullptr) {
  uint32_t v = (word(cb) >> cb.m_bitCount) & ((1u << n) - 1);
  bool r = cb.MoveForward(n);
  if (ok) *ok = r;
  return v;
}

TEST(CircBuf, EmptyQueue) {
  CircBuf cb;
  EXPECT_EQ(cb.m_readPtr, nullptr);
  EXPECT_FALSE(cb.HasAtLeast(1));
  unsigned avail = 99;
  EXPECT_FALSE(cb.HasAtLeast2(1, avail));
  EXPECT_EQ(avail, 0u);
  EXPECT_FALSE(cb.HasAtLeast(0)) << "an empty queue never has enough";
  EXPECT_FALSE(cb.MoveForward(1));
  EXPECT_TRUE(cb.AppendDataToCircBuf(nullptr, 5));
  EXPECT_TRUE(cb.AppendDataToCircBuf(reinterpret_cast<const unsigned char *>("x"), 0));
  EXPECT_EQ(cb.m_readPtr, nullptr);
}

TEST(CircBuf, ShortInputIsReadableAndZeroPadded) {
  CircBuf cb;
  const unsigned char three[] = {0x11, 0x22, 0x33};
  ASSERT_TRUE(cb.AppendDataToCircBuf(three, 3));
  ASSERT_NE(cb.m_readPtr, nullptr);
  EXPECT_EQ(cb.m_readPtr, cb.m_readPtr2);
  EXPECT_EQ(word(cb), 0x00332211u) << "bytes past the data read as zero";
  EXPECT_TRUE(cb.HasAtLeast(3));
  unsigned avail = 0;
  EXPECT_FALSE(cb.HasAtLeast2(4, avail));
  EXPECT_EQ(avail, 3u);
  const unsigned char one[] = {0x44};
  ASSERT_TRUE(cb.AppendDataToCircBuf(one, 1));
  EXPECT_TRUE(cb.HasAtLeast(4));
  EXPECT_EQ(word(cb), 0x44332211u);
}

TEST(CircBuf, BitsAcrossChunkBoundaries) {
  CircBuf cb;
  const unsigned char a[] = {0xA5};
  const unsigned char b[] = {0x3C, 0xF0};
  const unsigned char c[] = {0x0F, 0x81, 0x7E};
  cb.AppendDataToCircBuf(a, 1);
  cb.AppendDataToCircBuf(b, 2);
  cb.AppendDataToCircBuf(c, 3);
  // The whole stream as one 48-bit little-endian number.
  uint64_t all =
      0xA5 | (0x3Cull << 8) | (0xF0ull << 16) | (0x0Full << 24) | (0x81ull << 32) | (0x7Eull << 40);
  unsigned pos = 0;
  for (unsigned n : {3u, 5u, 9u, 7u, 13u, 11u}) {
    bool ok = false;
    uint32_t v = take(cb, n, &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(v, (all >> pos) & ((1u << n) - 1)) << "at bit " << pos;
    pos += n;
  }
  EXPECT_EQ(pos, 48u);
  EXPECT_FALSE(cb.HasAtLeast(1));
  EXPECT_FALSE(cb.MoveForward(1)) << "no bits left";
}

TEST(CircBuf, ByteCountDropsTheHalfConsumedByte) {
  CircBuf cb;
  const unsigned char d[] = {1, 2, 3, 4};
  cb.AppendDataToCircBuf(d, 4);
  EXPECT_TRUE(cb.MoveForward(7));
  EXPECT_TRUE(cb.HasAtLeast(4));
  EXPECT_TRUE(cb.MoveForward(1)); // 8 bits: the first byte is spent
  EXPECT_FALSE(cb.HasAtLeast(4));
  EXPECT_TRUE(cb.HasAtLeast(3));
}

TEST(CircBuf, MovingPastTheDataFailsAndStopsAtTheEnd) {
  CircBuf cb;
  const unsigned char d[] = {0xFF, 0xFF, 0xFF};
  cb.AppendDataToCircBuf(d, 3);
  EXPECT_TRUE(cb.MoveForward(20));
  EXPECT_FALSE(cb.MoveForward(5)); // 25 > 24 bits
  EXPECT_FALSE(cb.HasAtLeast(1));
  // More input continues right where the data ended.
  const unsigned char e[] = {0x5A, 0x00};
  cb.AppendDataToCircBuf(e, 2);
  EXPECT_EQ(take(cb, 8), 0x5Au);
}

// A fixed ring of chunks used to be overrun by a writer feeding many tiny chunks ahead of the
// reader; the queue must keep every byte in order.
TEST(CircBuf, ThousandsOfOneByteChunksAheadOfTheReader) {
  CircBuf cb;
  std::vector<unsigned char> data(5000);
  for (size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<unsigned char>(i * 7 + 3);
  for (size_t i = 0; i < 2500; ++i)
    ASSERT_TRUE(cb.AppendDataToCircBuf(&data[i], 1));
  EXPECT_TRUE(cb.HasAtLeast(2500));
  EXPECT_FALSE(cb.HasAtLeast(2501));
  size_t next = 2500;
  for (size_t i = 0; i < data.size(); ++i) {
    // Interleave: keep the writer well ahead while reading.
    if (next < data.size() && i % 2 == 0) {
      ASSERT_TRUE(cb.AppendDataToCircBuf(&data[next++], 1));
    }
    ASSERT_EQ(take(cb, 8), data[i]) << "byte " << i;
  }
  EXPECT_FALSE(cb.HasAtLeast(1));
}

TEST(CircBuf, FailedGrowthKeepsTheQueue) {
  CircBuf cb;
  const unsigned char d[] = {9, 8, 7, 6, 5};
  ASSERT_TRUE(cb.AppendDataToCircBuf(d, 5));
  std::vector<unsigned char> big(100000, 0xEE);
  ckFailNextAllocations(1);
  EXPECT_FALSE(cb.AppendDataToCircBuf(big.data(), static_cast<unsigned>(big.size())));
  ckFailNextAllocations(0);
  EXPECT_TRUE(cb.HasAtLeast(5));
  EXPECT_FALSE(cb.HasAtLeast(6));
  EXPECT_EQ(take(cb, 8), 9u);
}

TEST(CircBuf, ClearStartsOver) {
  CircBuf cb;
  const unsigned char d[] = {1, 2, 3, 4, 5, 6};
  cb.AppendDataToCircBuf(d, 6);
  cb.MoveForward(12);
  cb.clear();
  EXPECT_EQ(cb.m_readPtr, nullptr);
  EXPECT_EQ(cb.m_bitCount, 0u);
  EXPECT_FALSE(cb.HasAtLeast(1));
  cb.AppendDataToCircBuf(d + 2, 2);
  EXPECT_EQ(take(cb, 16), 0x0403u);
}

} // namespace
