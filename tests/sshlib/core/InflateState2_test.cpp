// The library's inflater checked against zlib: streams from every level and strategy, fed whole,
// in random chunks and byte by byte; crafted streams that must fail; the pull front end over
// gzip bodies made by the gzip program.
#include <gtest/gtest.h>
#include <zlib.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ExternalTool.h"
#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/DataSource.h"
#include "sshlib/core/InflateState2.h"
#include "sshlib/core/LogNull.h"
#include "sshlib/core/Logger.h"
#include "sshlib/core/Output.h"
#include "sshlib/core/PipelineHelp.h"
#include "sshlib/core/ProgressEvent.h"
#include "sshlib/core/ProgressMonitor.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/ZipCRC.h"

namespace {

using Bytes = std::string;

// zlib's raw deflate of the input; with Z_SYNC_FLUSH the stream stops at a block boundary
// before any final block.
Bytes zDeflate(const Bytes &in, int level, int strategy, int windowBits = -15, int memLevel = 8,
               int flush = Z_FINISH) {
  z_stream s{};
  EXPECT_EQ(deflateInit2(&s, level, Z_DEFLATED, windowBits, memLevel, strategy), Z_OK);
  Bytes out(deflateBound(&s, in.size()) + 64, '\0');
  s.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(in.data()));
  s.avail_in = static_cast<uInt>(in.size());
  s.next_out = reinterpret_cast<Bytef *>(out.data());
  s.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&s, flush), flush == Z_FINISH ? Z_STREAM_END : Z_OK);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

// Sample data with long and short matches, runs and incompressible stretches.
Bytes sample(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes s;
  static const char *words[] = {"alpha ", "beta ", "gamma\n", "delta,", "epsilon ", "\t", "zeta"};
  while (s.size() < n) {
    switch (rng() % 5) {
    case 0:
      s += externaltool::randomBytes(rng, rng() % 200);
      break;
    case 1:
      s += Bytes(rng() % 400, static_cast<char>(rng()));
      break;
    case 2:
      if (s.size() > 10) {
        size_t from = rng() % s.size();
        size_t len = rng() % 300;
        s += s.substr(from, len);
      }
      break;
    default:
      for (int i = rng() % 40; i > 0; --i)
        s += words[rng() % 7];
    }
  }
  s.resize(n);
  return s;
}

struct Result {
  bool ok = true;
  bool finished = false;
  int status = 0;
  Bytes out;
};

// Feeds the stream in pieces whose sizes come from the generator; the last piece is final.
template <class NextSize>
Result feed(const Bytes &z, unsigned int lookahead, NextSize nextSize, bool useMoreInflate,
            unsigned int window = 32768) {
  Result r;
  DataBuffer outDb;
  OutputDataBuffer out(&outDb);
  LogNull log;
  auto inf = std::make_unique<InflateState2>();
  inf->BeginInflate(window);
  size_t pos = 0;
  do {
    size_t n = std::min(nextSize(), z.size() - pos);
    bool final = pos + n == z.size();
    int st = 0;
    bool fin = false;
    bool ok;
    if (useMoreInflate) {
      DataBuffer piece;
      piece.append(z.data() + pos, static_cast<unsigned int>(n));
      ok = inf->MoreInflate(piece, final, out, fin, log, st);
    } else {
      ok = inf->MoreInflate2(reinterpret_cast<const unsigned char *>(z.data()) + pos,
                             static_cast<unsigned int>(n), final, out, fin, log, st, lookahead);
    }
    pos += n;
    r.status = st;
    r.finished = fin;
    if (!ok) {
      r.ok = false;
      break;
    }
  } while (pos < z.size());
  r.out.assign(reinterpret_cast<const char *>(outDb.getData2()), outDb.getSize());
  return r;
}

Result feedWhole(const Bytes &z, unsigned int lookahead = 4096) {
  size_t all = z.size() ? z.size() : 1;
  return feed(
      z, lookahead, [&] { return all; }, false);
}

Bytes fromHex(const char *hex) {
  Bytes b;
  for (const char *p = hex; p[0] && p[1]; p += 2) {
    while (*p == ' ')
      ++p;
    b.push_back(static_cast<char>(std::stoi(std::string(p, 2), nullptr, 16)));
  }
  return b;
}

// Writes bits least significant first, as Deflate does.
struct BitWriter {
  Bytes bytes;
  unsigned int acc = 0, n = 0;
  void put(unsigned int v, unsigned int bits) {
    for (unsigned int i = 0; i < bits; i++) {
      acc |= ((v >> i) & 1u) << n;
      if (++n == 8) {
        bytes.push_back(static_cast<char>(acc));
        acc = n = 0;
      }
    }
  }
  // Huffman codes go most significant bit first.
  void putCode(unsigned int code, unsigned int len) {
    for (int i = static_cast<int>(len) - 1; i >= 0; --i)
      put((code >> i) & 1u, 1);
  }
  Bytes finish() {
    if (n) bytes.push_back(static_cast<char>(acc));
    acc = n = 0;
    return bytes;
  }
};

} // namespace

TEST(InflateState2, MatchesZlibAtEveryLevelAndStrategyFedWholeInChunksAndByteByByte) {
  const std::vector<Bytes> inputs = {Bytes(), Bytes("a"), sample(1000, 1), sample(70000, 2),
                                     Bytes(100000, 'x')};
  const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
  std::mt19937 rng(7);
  for (const Bytes &in : inputs) {
    for (int level = 0; level <= 9; ++level) {
      for (int strategy : strategies) {
        SCOPED_TRACE("size " + std::to_string(in.size()) + " level " + std::to_string(level) +
                     " strategy " + std::to_string(strategy));
        const Bytes z = zDeflate(in, level, strategy);
        Result whole = feedWhole(z);
        ASSERT_TRUE(whole.ok) << whole.status;
        EXPECT_TRUE(whole.finished);
        ASSERT_EQ(whole.out, in);

        Result chunks = feed(
            z, 4096, [&] { return size_t(1 + rng() % 9000); }, true);
        ASSERT_TRUE(chunks.ok) << chunks.status;
        EXPECT_TRUE(chunks.finished);
        ASSERT_EQ(chunks.out, in);

        // Without look-ahead a chunk may end anywhere, even inside a block header.
        Result noLook = feed(
            z, 0, [&] { return size_t(1 + rng() % 700); }, false);
        ASSERT_TRUE(noLook.ok) << noLook.status;
        EXPECT_TRUE(noLook.finished);
        ASSERT_EQ(noLook.out, in);
      }
    }
  }
  // Byte by byte through both front ends on a smaller set (it is slow under the sanitizers).
  for (int level : {1, 6, 9}) {
    const Bytes in = sample(40000, 3 + level);
    const Bytes z = zDeflate(in, level, Z_DEFAULT_STRATEGY);
    Result r = feed(
        z, 4096, [] { return size_t(1); }, true);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.out, in);
    Result r0 = feed(
        z, 0, [] { return size_t(1); }, false);
    ASSERT_TRUE(r0.ok);
    EXPECT_EQ(r0.out, in);
  }
}

TEST(InflateState2, LargeOutputArrivesInWindowSizedWrites) {
  struct Recorder : Output {
    std::vector<unsigned int> sizes;
    Bytes data;
    unsigned int _fwrite32(const void *p, unsigned int itemSize, unsigned int count,
                           ProgressMonitor *, LogBase &) override {
      sizes.push_back(itemSize * count);
      data.append(static_cast<const char *>(p), itemSize * count);
      return count;
    }
  } out;
  const Bytes in = sample(100000, 9);
  const Bytes z = zDeflate(in, 6, Z_DEFAULT_STRATEGY);
  InflateState2 *inf = new InflateState2();
  inf->BeginInflate(32768);
  LogNull log;
  bool fin = false;
  int st = 0;
  ASSERT_TRUE(inf->MoreInflate2(reinterpret_cast<const unsigned char *>(z.data()),
                                static_cast<unsigned int>(z.size()), true, out, fin, log, st,
                                4096));
  delete inf;
  EXPECT_EQ(out.data, in);
  ASSERT_EQ(out.sizes, (std::vector<unsigned int>{32768, 32768, 32768, 100000 - 3 * 32768}));

  // An output that refuses writes fails the call.
  struct Refuser : Output {
    unsigned int _fwrite32(const void *, unsigned int, unsigned int, ProgressMonitor *,
                           LogBase &) override {
      return 0;
    }
  } refuser;
  auto inf2 = std::make_unique<InflateState2>();
  inf2->BeginInflate(32768);
  EXPECT_FALSE(inf2->MoreInflate2(reinterpret_cast<const unsigned char *>(z.data()),
                                  static_cast<unsigned int>(z.size()), true, refuser, fin, log, st,
                                  4096));
  EXPECT_TRUE(st >= 24 && st <= 52) << st;
}

// One inflater fed by hand, piece by piece.
struct Stepper {
  std::unique_ptr<InflateState2> inf = std::make_unique<InflateState2>();
  DataBuffer db;
  OutputDataBuffer out{&db};
  LogNull log;
  bool fin = false;
  int st = 0;
  Stepper() { inf->BeginInflate(32768); }
  bool step(const Bytes &z, size_t from, size_t n, bool final) {
    return inf->MoreInflate2(reinterpret_cast<const unsigned char *>(z.data()) + from,
                             static_cast<unsigned int>(n), final, out, fin, log, st, 0);
  }
  Bytes text() const { return Bytes(reinterpret_cast<const char *>(db.getData2()), db.getSize()); }
};

TEST(InflateState2, CraftedStreams) {
  // One final stored block of length 0.
  Result r = feedWhole(fromHex("01 00 00 FF FF"));
  EXPECT_TRUE(r.ok);
  EXPECT_TRUE(r.finished);
  EXPECT_TRUE(r.out.empty());
  // Block type 3; LEN that is not the complement of NLEN.
  for (const char *bad : {"07 00", "01 05 00 FA F0 61 62 63 64 65"})
    EXPECT_FALSE(feedWhole(fromHex(bad)).ok) << bad;

  // An empty final chunk with nothing ever appended; a non-final empty chunk: nothing happens.
  r = feed(
      Bytes(), 4096, [] { return size_t(0); }, false);
  EXPECT_TRUE(r.ok);
  EXPECT_FALSE(r.finished);
  {
    Stepper s;
    s.fin = true;
    EXPECT_TRUE(s.inf->MoreInflate2(nullptr, 0, false, s.out, s.fin, s.log, s.st, 0));
    EXPECT_FALSE(s.fin);
  }

  // The stream ends at a block boundary before the final block: with look-ahead the missing
  // block header fails, without it the call succeeds with everything flushed.
  const Bytes in = sample(3000, 5);
  const Bytes z = zDeflate(in, 6, Z_DEFAULT_STRATEGY, -15, 8, Z_SYNC_FLUSH);
  EXPECT_FALSE(feedWhole(z, 4096).ok);
  r = feedWhole(z, 0);
  EXPECT_TRUE(r.ok);
  EXPECT_FALSE(r.finished);
  EXPECT_EQ(r.out, in);
  // Cut inside a block: the final chunk fails, a non-final one waits and resumes.
  const size_t half = z.size() / 2;
  EXPECT_FALSE(feedWhole(z.substr(0, half), 0).ok);
  {
    Stepper s;
    EXPECT_TRUE(s.step(z, 0, half, false));
    EXPECT_TRUE(s.step(z, half, z.size() - half, false));
    EXPECT_EQ(s.text(), in);
  }

  // A stored block of 5000 bytes split in two: the first piece waits (with nothing written,
  // even when it is said to be final), the second finishes it.
  const Bytes payload = sample(5000, 6);
  const Bytes stored = zDeflate(payload, 0, Z_DEFAULT_STRATEGY);
  for (bool firstFinal : {false, true}) {
    Stepper s;
    EXPECT_TRUE(s.step(stored, 0, 3000, firstFinal));
    EXPECT_EQ(s.db.getSize(), 0u);
    EXPECT_TRUE(s.step(stored, 3000, stored.size() - 3000, true));
    EXPECT_TRUE(s.fin);
    EXPECT_EQ(s.text(), payload);
  }
  {
    Stepper s;
    DataBuffer first;
    first.append(stored.data(), 3000);
    EXPECT_TRUE(s.inf->MoreInflate(first, false, s.out, s.fin, s.log, s.st));
    EXPECT_FALSE(s.fin);
  }
}

TEST(InflateState2, InvalidCodesAndDistancesFailAsZlibDoes) {
  // A fixed block whose first symbol is a match: the distance reaches before the stream start.
  // zlib refuses it ("invalid distance too far back"); so do we, instead of copying zeros.
  {
    BitWriter w;
    w.put(1, 1);              // final
    w.put(1, 2);              // fixed
    w.putCode(0x30 + 'a', 8); // literal 'a'
    w.putCode(1, 7);          // length code 257: 3 bytes
    w.putCode(1, 5);          // distance code 1: distance 2 (only 1 byte exists)
    w.putCode(0, 7);          // end of block
    const Bytes z = w.finish();
    Result r = feedWhole(z);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.status, InflateState2::kDistanceTooFar);
    z_stream s{};
    inflateInit2(&s, -15);
    Bytes out(100, '\0');
    s.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(z.data()));
    s.avail_in = static_cast<uInt>(z.size());
    s.next_out = reinterpret_cast<Bytef *>(out.data());
    s.avail_out = 100;
    EXPECT_EQ(inflate(&s, Z_FINISH), Z_DATA_ERROR);
    inflateEnd(&s);
  }
  // The same stream with distance 1 repeats the byte.
  {
    BitWriter w;
    w.put(1, 1);
    w.put(1, 2);
    w.putCode(0x30 + 'a', 8);
    w.putCode(1, 7);
    w.putCode(0, 5);
    w.putCode(0, 7);
    Result r = feedWhole(w.finish());
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.out, "aaaa");
  }
  // Fixed literal/length codes 286 and 287 and distance codes 30 and 31 are invalid.
  {
    BitWriter w;
    w.put(1, 1);
    w.put(1, 2);
    w.putCode(0xC0 + 6, 8); // code 286
    Result r = feedWhole(w.finish());
    EXPECT_FALSE(r.ok);
  }
  {
    BitWriter w;
    w.put(1, 1);
    w.put(1, 2);
    w.putCode(0x30 + 'a', 8);
    w.putCode(1, 7);
    w.putCode(30, 5);
    Result r = feedWhole(w.finish());
    EXPECT_FALSE(r.ok);
  }
  // Truncated inside a fixed block (final chunk).
  {
    Bytes z = zDeflate(sample(500, 11), 6, Z_FIXED);
    Result r = feedWhole(z.substr(0, z.size() - 3));
    EXPECT_FALSE(r.ok);
  }
}

namespace {

// A dynamic block: HLIT, HDIST, HCLEN, the code-length code lengths, then the lengths of the
// literal/length and distance codes given literally (code-length code: all 19 symbols 5 bits...
// simpler: every code-length symbol gets length 4 or 5 so that the set is complete).
Bytes dynamicBlock(const std::vector<unsigned int> &litLens,
                   const std::vector<unsigned int> &distLens,
                   const std::vector<std::pair<unsigned int, unsigned int>> &symbols) {
  // Code-length code: symbols 0..15 get 4 bits (16 codes = complete), 16..18 unused.
  BitWriter w;
  w.put(1, 1);
  w.put(2, 2);
  w.put(static_cast<unsigned int>(litLens.size() - 257), 5);
  w.put(static_cast<unsigned int>(distLens.size() - 1), 5);
  w.put(19 - 4, 4); // all 19 code-length lengths
  static const unsigned char order[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                          11, 4,  12, 3, 13, 2, 14, 1, 15};
  for (unsigned char o : order)
    w.put(o < 16 ? 4 : 0, 3);
  // Canonical 4-bit codes of symbols 0..15 are the symbols themselves.
  for (unsigned int l : litLens)
    w.putCode(l, 4);
  for (unsigned int l : distLens)
    w.putCode(l, 4);
  // Canonical codes for the literal/length and distance sets.
  auto canon = [](const std::vector<unsigned int> &lens) {
    std::vector<unsigned int> count(16, 0), next(16, 0), codes(lens.size(), 0);
    for (unsigned int l : lens)
      if (l) count[l]++;
    unsigned int code = 0;
    for (int b = 1; b < 16; ++b) {
      next[b] = code;
      code = (code + count[b]) << 1;
    }
    for (size_t i = 0; i < lens.size(); ++i)
      if (lens[i]) codes[i] = next[lens[i]]++;
    return codes;
  };
  auto lc = canon(litLens);
  auto dc = canon(distLens);
  for (auto [kind, sym] : symbols) {
    if (kind == 0)
      w.putCode(lc[sym], litLens[sym]);
    else
      w.putCode(dc[sym], distLens[sym]);
  }
  return w.finish();
}

} // namespace

TEST(InflateState2, DynamicCodeSets) {
  // Literal/length set: 'a' and 'b' 2 bits, end of block 2 bits, length 257 2 bits (complete).
  std::vector<unsigned int> lit(258, 0);
  lit['a'] = 2;
  lit['b'] = 2;
  lit[256] = 2;
  lit[257] = 2;
  // A distance set with a single code (incomplete) is accepted.
  std::vector<unsigned int> dist(1, 1);
  Bytes z = dynamicBlock(lit, dist, {{0, 'a'}, {0, 'b'}, {0, 257}, {1, 0}, {0, 256}});
  Result r = feedWhole(z);
  ASSERT_TRUE(r.ok) << r.status;
  EXPECT_EQ(r.out, "abbbb");

  // An incomplete literal/length set fails.
  lit[257] = 3;
  r = feedWhole(dynamicBlock(lit, dist, {{0, 256}}));
  EXPECT_FALSE(r.ok);
  // An over-subscribed literal/length set fails too.
  lit[257] = 1;
  r = feedWhole(dynamicBlock(lit, dist, {{0, 256}}));
  EXPECT_FALSE(r.ok);
  // An over-subscribed distance set is corrupt data.
  lit[257] = 2;
  r = feedWhole(dynamicBlock(lit, {1, 1, 1}, {{0, 256}}));
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.status, InflateState2::kBadDistanceSet);
  // A distance set with no codes at all: a match then has no distance.
  r = feedWhole(dynamicBlock(lit, {0}, {{0, 'a'}, {0, 257}}));
  EXPECT_FALSE(r.ok);

  // An incomplete code-length code fails.
  {
    BitWriter w;
    w.put(1, 1);
    w.put(2, 2);
    w.put(0, 5);
    w.put(0, 5);
    w.put(0, 4);
    w.put(2, 3); // symbol 16: 2 bits
    w.put(2, 3); // symbol 17: 2 bits
    w.put(0, 3);
    w.put(0, 3);
    r = feedWhole(w.finish() + Bytes(20, '\0'));
    EXPECT_FALSE(r.ok);
  }
}

namespace {

struct PullResult {
  bool ok;
  int overrun;
  unsigned int crc;
  Bytes out;
  StringBuffer log;
};

PullResult pull(const Bytes &src, bool verbose = false) {
  PullResult r;
  MemoryDataSource ds;
  ds.initializeMemSource(src.data(), static_cast<unsigned int>(src.size()), false);
  DataBuffer db;
  OutputDataBuffer out(&db);
  Logger log;
  PipelineHelp ph(0);
  r.overrun = -1;
  r.ok = ph.inflateFromDS(ds, out, log, r.overrun, r.crc, verbose);
  r.out.assign(reinterpret_cast<const char *>(db.getData2()), db.getSize());
  log.getText(r.log);
  return r;
}

} // namespace

TEST(InflateState2, PullFrontEndOverGzipBodies) {
  externaltool::Scratch dir;
  ASSERT_TRUE(dir.ok());
  const Bytes in = sample(300000, 21);
  for (const char *level : {"-1", "-9"}) {
    int rc = -1;
    const Bytes gz = externaltool::filter(std::string("gzip -n ") + level, in, &rc);
    ASSERT_EQ(rc, 0);
    ASSERT_GT(gz.size(), 18u);
    // Header without optional fields (gzip -n writes none): 10 bytes.
    ASSERT_EQ(static_cast<unsigned char>(gz[3]), 0);
    const Bytes body = gz.substr(10);
    PullResult r = pull(body, true);
    ASSERT_TRUE(r.ok) << r.log.getString();
    EXPECT_EQ(r.out, in);
    // The trailer (CRC-32 and size) is what was read past the Deflate data.
    EXPECT_EQ(r.overrun, 8);
    const unsigned char *t = reinterpret_cast<const unsigned char *>(gz.data()) + gz.size() - 8;
    unsigned int crc = t[0] | t[1] << 8 | t[2] << 16 | unsigned(t[3]) << 24;
    EXPECT_EQ(r.crc, crc);
    EXPECT_TRUE(r.log.containsSubstring("inflatorOutputCrc"));
  }
  // Truncated: fails and says so.
  const Bytes z = zDeflate(in, 6, Z_DEFAULT_STRATEGY);
  PullResult bad = pull(z.substr(0, z.size() / 2));
  EXPECT_FALSE(bad.ok);
  EXPECT_TRUE(bad.log.containsSubstring("Inflate from data source failed."));
  // A stored stream larger than the source area's top-up threshold, plus trailing bytes.
  const Bytes big = sample(200000, 4);
  PullResult st = pull(zDeflate(big, 0, Z_DEFAULT_STRATEGY) + "tail");
  ASSERT_TRUE(st.ok);
  EXPECT_EQ(st.out, big);
  EXPECT_EQ(st.overrun, 4);
  EXPECT_EQ(st.crc, ZipCRC::getCRC(reinterpret_cast<const unsigned char *>(big.data()),
                                   static_cast<unsigned int>(big.size()), nullptr));
}

TEST(InflateState2, PacketsEndingInsideAnEmptyBlockResume) {
  // A partial flush ends a packet inside the empty fixed block that follows the data; the next
  // packet carries the rest of it. Without look-ahead the decoder waits there, having written
  // everything decoded so far.
  z_stream s{};
  ASSERT_EQ(deflateInit2(&s, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  auto inf = std::make_unique<InflateState2>();
  inf->BeginInflate(32768);
  LogNull log;
  int waits = 0;
  std::mt19937 rng(5);
  for (int i = 0; i < 40; ++i) {
    const Bytes payload = sample(1 + rng() % 2000, 200 + i);
    Bytes z(payload.size() + 1000, '\0');
    s.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(payload.data()));
    s.avail_in = static_cast<uInt>(payload.size());
    s.next_out = reinterpret_cast<Bytef *>(z.data());
    s.avail_out = static_cast<uInt>(z.size());
    ASSERT_EQ(deflate(&s, Z_PARTIAL_FLUSH), Z_OK);
    z.resize(z.size() - s.avail_out);
    DataBuffer db;
    OutputDataBuffer out(&db);
    bool fin = false;
    int st = 0;
    ASSERT_TRUE(inf->MoreInflate2(reinterpret_cast<const unsigned char *>(z.data()),
                                  static_cast<unsigned int>(z.size()), false, out, fin, log, st,
                                  0));
    ASSERT_TRUE(st == InflateState2::kWaitingInsideBlock || st == InflateState2::kBlockBoundary)
        << st;
    if (st == InflateState2::kWaitingInsideBlock) ++waits;
    ASSERT_EQ(Bytes(reinterpret_cast<const char *>(db.getData2()), db.getSize()), payload) << i;
  }
  deflateEnd(&s);
  EXPECT_GT(waits, 0);
}

TEST(InflateState2, SmallWindowsAndMemoryLevels) {
  std::mt19937 rng(8);
  for (int wbits = 9; wbits <= 15; ++wbits) {
    for (int mem : {1, 5, 9}) {
      const Bytes in = sample(20000 + rng() % 20000, 300 + wbits * 10 + mem);
      const Bytes z =
          zDeflate(in, 1 + static_cast<int>(rng() % 9), Z_DEFAULT_STRATEGY, -wbits, mem);
      Result r = feed(
          z, 4096, [&] { return size_t(1 + rng() % 5000); }, true);
      ASSERT_TRUE(r.ok) << r.status;
      ASSERT_EQ(r.out, in);
      // A decoder window of the compressor's size is enough.
      r = feed(
          z, 0, [&] { return size_t(1 + rng() % 5000); }, false, 1u << wbits);
      ASSERT_TRUE(r.ok) << r.status;
      ASSERT_EQ(r.out, in);
    }
  }
  // A smaller window than the stream needs: a distance beyond it is refused, not wrapped.
  const Bytes in = sample(50000, 77);
  const Bytes z = zDeflate(in, 9, Z_DEFAULT_STRATEGY, -15, 9);
  Result r = feed(
      z, 4096, [] { return size_t(100000); }, true, 1024);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.status, InflateState2::kDistanceTooFar);
}

TEST(InflateState2, PullFrontEndAbortAndSinkFailure) {
  struct Aborter : ProgressEvent {
    void UpdatePct(int, bool &abort) override { abort = true; }
  } event;
  const Bytes in = sample(200000, 30);
  const Bytes z = zDeflate(in, 6, Z_DEFAULT_STRATEGY);
  {
    ProgressMonitor pm(&event, static_cast<long long>(in.size()));
    MemoryDataSource ds;
    ds.initializeMemSource(z.data(), static_cast<unsigned int>(z.size()), false);
    DataBuffer db;
    OutputDataBuffer out(&db);
    Logger log;
    PipelineHelp ph(0);
    ph.setProgressMonitor(&pm);
    int overrun = 0;
    unsigned int crc = 1;
    EXPECT_FALSE(ph.inflateFromDS(ds, out, log, overrun, crc, false));
    EXPECT_EQ(crc, 0u);
    StringBuffer text;
    log.getText(text);
    EXPECT_TRUE(text.containsSubstring("Inflate aborted by application..")) << text.getString();
    EXPECT_TRUE(text.containsSubstring("67812"));
  }
  {
    struct Refuser : Output {
      unsigned int _fwrite32(const void *, unsigned int, unsigned int, ProgressMonitor *,
                             LogBase &) override {
        return 0;
      }
    } refuser;
    MemoryDataSource ds;
    ds.initializeMemSource(z.data(), static_cast<unsigned int>(z.size()), false);
    Logger log;
    PipelineHelp ph(0);
    int overrun = 0;
    unsigned int crc = 0;
    EXPECT_FALSE(ph.inflateFromDS(ds, refuser, log, overrun, crc, true));
    StringBuffer text;
    log.getText(text);
    EXPECT_TRUE(
        text.containsSubstring("Failed to inflate from data source because sink write failed."));
  }
}
