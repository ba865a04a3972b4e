#include "app/ftp/zLibHelper.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <zlib.h>

namespace {

using Bytes = zLibHelper::Bytes;

Bytes deflateWith(const std::string &text, int windowBits) {
  z_stream s{};
  deflateInit2(&s, 6, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
  Bytes out(text.size() + 1024);
  s.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(text.data()));
  s.avail_in = uInt(text.size());
  s.next_out = out.data();
  s.avail_out = uInt(out.size());
  deflate(&s, Z_FINISH);
  out.resize(out.size() - s.avail_out);
  deflateEnd(&s);
  return out;
}

std::string listingText(size_t lines) {
  std::string t;
  for (size_t i = 0; i < lines; ++i)
    t += "-rw-r--r--   1 ftp ftp " + std::to_string(i * 37) + " Jan  1 2020 file" +
         std::to_string(i) + ".txt\r\n";
  return t;
}

TEST(ZLibHelper, InflatesZlibAndGzipInAnyChunking) {
  std::string text = listingText(3000);
  for (int windowBits : {15, 31}) { // zlib and gzip wrappers
    Bytes packed = deflateWith(text, windowBits);
    for (size_t chunk : {size_t(1), size_t(7), size_t(4096), packed.size()}) {
      zLibHelper z;
      z.resetInflate();
      Bytes out;
      int64_t total = 0;
      for (size_t i = 0; i < packed.size(); i += chunk)
        total +=
            z.expandAndWriteToBuffer(out, packed.data() + i, std::min(chunk, packed.size() - i));
      EXPECT_EQ(std::string(out.begin(), out.end()), text) << windowBits << "/" << chunk;
      EXPECT_EQ(total, int64_t(text.size()));
    }
  }
}

TEST(ZLibHelper, ASmallReadThatExpandsBeyondTheOutputAreaIsAppendedWhole) {
  std::string zeros(1 << 20, '\0');
  Bytes packed = deflateWith(zeros, 15);
  ASSERT_LT(packed.size(), 4096u);
  zLibHelper z;
  z.resetInflate();
  Bytes out;
  EXPECT_EQ(z.expandAndWriteToBuffer(out, packed), int64_t(zeros.size()));
  EXPECT_EQ(out.size(), zeros.size());
}

TEST(ZLibHelper, CorruptInputKeepsWhatCameBefore) {
  std::string text = listingText(200);
  Bytes packed = deflateWith(text, 15);
  zLibHelper z;
  z.resetInflate();
  Bytes out;
  size_t half = packed.size() / 2;
  z.expandAndWriteToBuffer(out, packed.data(), half);
  size_t before = out.size();
  Bytes junk(64, 0xFF);
  z.expandAndWriteToBuffer(out, junk);
  EXPECT_EQ(out.size(), before);
  EXPECT_EQ(std::string(out.begin(), out.end()), text.substr(0, before));
}

TEST(ZLibHelper, DeflateReportsSavingsAndRoundTrips) {
  zLibHelper up;
  up.resetDeflate();
  Bytes compressible(16384, 'a');
  Bytes wire;
  int64_t saved = up.compressAndWriteToBuffer(wire, compressible);
  EXPECT_GT(saved, 16000);
  Bytes noise(16384);
  std::mt19937 rng(7);
  for (auto &b : noise)
    b = uint8_t(rng());
  int64_t saved2 = up.compressAndWriteToBuffer(wire, noise);
  EXPECT_LT(saved2, 0);
  // Each chunk was flushed: the receiver decodes everything sent so far.
  zLibHelper down;
  down.resetInflate();
  Bytes back;
  down.expandAndWriteToBuffer(back, wire);
  Bytes expected = compressible;
  expected.insert(expected.end(), noise.begin(), noise.end());
  EXPECT_EQ(back, expected);
}

} // namespace
