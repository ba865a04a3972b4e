// bzip2 streams against the bzip2 program (both directions, truncated and concatenated data,
// output failures) and the .Z decoder against compress -b 9 to 16, with corrupt input that must
// fail rather than loop.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "ExternalTool.h"
#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/DataSource.h"
#include "sshlib/core/Logger.h"
#include "sshlib/core/Output.h"
#include "sshlib/core/RazudodBzip2.h"
#include "sshlib/core/RazudodLzw.h"
#include "sshlib/core/StringBuffer.h"

namespace {

using Bytes = std::string;

Bytes str(const DataBuffer &db) {
  return Bytes(reinterpret_cast<const char *>(db.getData2()), db.getSize());
}

Bytes sample(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  static const char *words[] = {"tar ", "archive ", "block\n", "header ", "bzip2 ", "\x01\x02"};
  Bytes s;
  while (s.size() < n) {
    if (rng() % 7 == 0)
      s += externaltool::randomBytes(rng, rng() % 300);
    else
      s += words[rng() % 6];
  }
  s.resize(n);
  return s;
}

bool logHas(Logger &log, const char *what) {
  StringBuffer sb;
  log.getText(sb);
  return sb.containsSubstring(what);
}

struct Decoded {
  bool ok;
  Bytes out;
};

Decoded bunzip(const Bytes &in, Logger &log) {
  MemoryDataSource src;
  src.initializeMemSource(in.data(), static_cast<unsigned int>(in.size()), false);
  DataBuffer db;
  OutputDataBuffer out(&db);
  RazudodBzip2 bz;
  Decoded d;
  d.ok = bz.DecompressStream(src, out, log);
  d.out = str(db);
  return d;
}

int unZ(const Bytes &in, Bytes &outBytes, bool magic, Logger &log) {
  MemoryDataSource src;
  src.initializeMemSource(in.data(), static_cast<unsigned int>(in.size()), false);
  DataBuffer db;
  OutputDataBuffer out(&db);
  RazudodLzw lzw;
  int rc = lzw.decompress2(src, out, magic, log);
  outBytes = str(db);
  return rc;
}

// Packs codes of the given widths least significant bit first.
Bytes packCodes(const std::vector<unsigned int> &codes, unsigned int bits) {
  Bytes out;
  unsigned long acc = 0;
  unsigned int n = 0;
  for (unsigned int c : codes) {
    acc |= static_cast<unsigned long>(c) << n;
    n += bits;
    while (n >= 8) {
      out.push_back(static_cast<char>(acc & 0xFF));
      acc >>= 8;
      n -= 8;
    }
  }
  if (n) out.push_back(static_cast<char>(acc & 0xFF));
  return out;
}

} // namespace

TEST(RazudodBzip2, DecodesWhatBzip2MakesIncludingConcatenatedStreams) {
  Logger log;
  const Bytes a = sample(700000, 1); // more than two 300,000-byte blocks at -3
  const Bytes b = sample(1234, 2);
  int rc = -1;
  const Bytes za = externaltool::filter("bzip2 -c -9", a, &rc);
  ASSERT_EQ(rc, 0);
  const Bytes zb = externaltool::filter("bzip2 -c -1", b, &rc);
  ASSERT_EQ(rc, 0);

  Decoded d = bunzip(za, log);
  ASSERT_TRUE(d.ok);
  EXPECT_EQ(d.out, a);
  // Every stream of a concatenation is decoded, as bzip2 -d does.
  d = bunzip(za + zb + za, log);
  ASSERT_TRUE(d.ok);
  EXPECT_EQ(d.out, a + b + a);
  EXPECT_EQ(externaltool::filter("bzip2 -dc", za + zb, &rc), a + b);
  // Trailing bytes that are not a stream are ignored, as bzip2 does.
  d = bunzip(zb + "garbage!", log);
  ASSERT_TRUE(d.ok);
  EXPECT_EQ(d.out, b);
  // An empty source is nothing to do.
  d = bunzip(Bytes(), log);
  EXPECT_TRUE(d.ok);
  EXPECT_TRUE(d.out.empty());
}

TEST(RazudodBzip2, TruncatedOrCorruptDataFails) {
  Logger log;
  const Bytes a = sample(200000, 3);
  int rc = -1;
  const Bytes za = externaltool::filter("bzip2 -c", a, &rc);
  ASSERT_EQ(rc, 0);
  for (size_t cut : {size_t(4), size_t(100), za.size() / 2, za.size() - 1}) {
    log.ClearLog();
    Decoded d = bunzip(za.substr(0, cut), log);
    EXPECT_FALSE(d.ok) << cut;
    EXPECT_TRUE(logHas(log, "Failed to Bzip2 decompress data")) << cut;
  }
  // A second stream cut short fails too.
  Decoded d = bunzip(za + za.substr(0, za.size() / 3), log);
  EXPECT_FALSE(d.ok);
  // Corrupt data.
  Bytes bad = za;
  bad[bad.size() / 2] ^= 0x55;
  log.ClearLog();
  d = bunzip(bad, log);
  EXPECT_FALSE(d.ok);
  EXPECT_TRUE(logHas(log, "BzipErrorCode"));
}

TEST(RazudodBzip2, StreamingCompressionIsReadByBzip2) {
  Logger log;
  const Bytes a = sample(500000, 4);
  RazudodBzip2 bz;
  DataBuffer out;
  const auto *p = reinterpret_cast<const unsigned char *>(a.data());
  ASSERT_TRUE(bz.BeginCompress(p, 100000, out, log, nullptr));
  ASSERT_TRUE(bz.MoreCompress(p + 100000, 0, out, log, nullptr));
  ASSERT_TRUE(
      bz.MoreCompress(p + 100000, static_cast<unsigned int>(a.size()) - 100000, out, log, nullptr));
  ASSERT_TRUE(bz.EndCompress(out, log));
  int rc = -1;
  EXPECT_EQ(externaltool::filter("bzip2 -dc", str(out), &rc), a);
  EXPECT_EQ(rc, 0);
  // The stream is closed: more without a begin is refused (an empty source is no work).
  log.ClearLog();
  EXPECT_FALSE(bz.MoreCompress(p, 10, out, log, nullptr));
  EXPECT_TRUE(logHas(log, "Bzip2 compression stream not initialized."));
  EXPECT_TRUE(bz.MoreCompress(p, 0, out, log, nullptr));
  EXPECT_FALSE(bz.EndCompress(out, log));

  // An output that refuses writes fails the compression and closes the stream.
  struct Refuser : Output {
    unsigned int _fwrite32(const void *, unsigned int, unsigned int, ProgressMonitor *,
                           LogBase &) override {
      return 0;
    }
  } refuser;
  MemoryDataSource src;
  src.initializeMemSource(a.data(), static_cast<unsigned int>(a.size()), false);
  log.ClearLog();
  RazudodBzip2 bz2;
  bool ok = bz2.BeginCompressStream(src, refuser, log) && bz2.EndCompressStream(refuser, log);
  EXPECT_FALSE(ok);
  EXPECT_TRUE(logHas(log, "Failed to send Bzip2 compressed bytes to output"));

  // Our own output decodes with our own decoder.
  Decoded d = bunzip(str(out), log);
  ASSERT_TRUE(d.ok);
  EXPECT_EQ(d.out, a);
}

TEST(RazudodBzip2, BuiltInTablesKeepTheirFormat) {
  const Bytes plain = sample(5000, 5);
  int rc = -1;
  const Bytes z = externaltool::filter("bzip2 -c", plain, &rc);
  ASSERT_EQ(rc, 0);
  auto withHeader = [&](const Bytes &magic, unsigned int size) {
    Bytes h = magic;
    for (int i = 0; i < 4; ++i)
      h.push_back(static_cast<char>((size >> (8 * i)) & 0xFF));
    return h + z;
  };
  RazudodBzip2 bz;
  DataBuffer in, out;
  const Bytes good = withHeader("\xE1\xA7\x94\xB3", static_cast<unsigned int>(plain.size()));
  in.append(good.data(), static_cast<unsigned int>(good.size()));
  EXPECT_TRUE(bz.unBzipWithHeader(in, out));
  EXPECT_EQ(str(out), plain);
  // The magic in the other byte order is refused and the output left alone.
  const Bytes swapped = withHeader("\xB3\x94\xA7\xE1", static_cast<unsigned int>(plain.size()));
  in.clear();
  in.append(swapped.data(), static_cast<unsigned int>(swapped.size()));
  out.clear();
  out.append("keep", 4);
  EXPECT_FALSE(bz.unBzipWithHeader(in, out));
  EXPECT_EQ(str(out), "keep");
}

TEST(RazudodLzw, DecodesCompressAtEveryWidth) {
  Logger log;
  // Enough data to fill the 16-bit dictionary, so clears and widenings all happen.
  const Bytes data = sample(600000, 6) + Bytes(50000, 'q');
  for (int bits = 9; bits <= 16; ++bits) {
    SCOPED_TRACE(bits);
    // At 9 bits the dictionary must not fill: compress then writes codes its own uncompress
    // cannot read, and neither can we (checked below).
    const Bytes &in = bits == 9 ? data.substr(0, 150) : data;
    int rc = -1;
    const Bytes z = externaltool::filter("compress -c -f -b " + std::to_string(bits), in, &rc);
    ASSERT_EQ(rc, 0);
    ASSERT_GE(z.size(), 3u);
    EXPECT_EQ(static_cast<unsigned char>(z[2]), 0x80u | static_cast<unsigned int>(bits));
    Bytes out;
    ASSERT_EQ(unZ(z, out, true, log), 0);
    ASSERT_EQ(out.size(), in.size());
    ASSERT_TRUE(out == in);
    // Without the magic the data begins with the flags byte.
    ASSERT_EQ(unZ(z.substr(2), out, false, log), 0);
    ASSERT_TRUE(out == in);
  }
  {
    // A full 9-bit dictionary: we agree with uncompress that the data is unreadable.
    int rc = -1;
    const Bytes z = externaltool::filter("compress -c -f -b 9", data, &rc);
    int urc = -1;
    externaltool::filter("compress -dc", z, &urc);
    Bytes out;
    EXPECT_NE(urc, 0);
    EXPECT_EQ(unZ(z, out, true, log), -1);
  }
  // Small inputs.
  for (const Bytes &small : {Bytes("a"), Bytes("abababababababab"), Bytes(1000, '\0')}) {
    int rc = -1;
    const Bytes z = externaltool::filter("compress -c -f", small, &rc);
    Bytes out;
    ASSERT_EQ(unZ(z, out, true, log), 0);
    EXPECT_EQ(out, small);
  }
}

TEST(RazudodLzw, HeaderChecksAndCorruptInput) {
  Logger log;
  Bytes out;
  EXPECT_EQ(unZ(Bytes("\x1F\x9E\x90\x61\x00", 5), out, true, log), -1);
  EXPECT_TRUE(logHas(log, "Invalid header."));
  log.ClearLog();
  EXPECT_EQ(unZ(Bytes("\x1F", 1), out, true, log), -1);
  EXPECT_TRUE(logHas(log, "Invalid header."));
  // 17 bits is more than the format allows.
  EXPECT_EQ(unZ(Bytes("\x1F\x9D\x91", 3) + packCodes({'a'}, 9), out, true, log), -1);
  // Flags 0x90: block mode, 16 bits.
  EXPECT_EQ(unZ(Bytes("\x1F\x9D\x90", 3) + packCodes({'h', 'i'}, 9), out, true, log), 0);
  EXPECT_EQ(out, "hi");
  // A code past the next free one is corrupt.
  EXPECT_EQ(unZ(Bytes("\x1F\x9D\x90", 3) + packCodes({'a', 300}, 9), out, true, log), -1);
  // The string-plus-its-first-character case (a code equal to the next free one).
  EXPECT_EQ(unZ(Bytes("\x1F\x9D\x90", 3) + packCodes({'a', 257, 258}, 9), out, true, log), 0);
  EXPECT_EQ(out, "aaaaaa");

  // Without block mode the first free code is 256 and 256 is an ordinary code, not a clear.
  EXPECT_EQ(unZ(Bytes("\x1F\x9D\x10", 3) + packCodes({'a', 256, 'b', 256}, 9), out, true, log), 0);
  EXPECT_EQ(out, "aaabaa");

  // A prefix cycle: a first code above 255 becomes the prefix of entry 257, and entry 300 is
  // then made with prefix 257. Decoding code 300 would unwind forever; it must fail.
  std::vector<unsigned int> codes = {300, 257};
  for (int i = 0; i < 41; ++i)
    codes.push_back('a');
  codes.push_back(257);
  codes.push_back('a');
  codes.push_back(300);
  EXPECT_EQ(unZ(Bytes("\x1F\x9D\x90", 3) + packCodes(codes, 9), out, true, log), -1);
}
