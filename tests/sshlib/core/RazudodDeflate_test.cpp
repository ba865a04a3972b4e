// The deflate stream driver and the deflate object: raw streams round-trip through zlib and our
// inflater; the SSH "zlib" packets end in 00 00 FF FF, store short packets, compress longer
// ones, and each decodes alone; the receiving side over packets made by zlib's own partial and
// sync flushes; the dispatcher and the PPMd end step.
#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>

#include "ExternalTool.h"
#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/DataSource.h"
#include "sshlib/core/Logger.h"
#include "sshlib/core/Output.h"
#include "sshlib/core/PpmdDriver.h"
#include "sshlib/core/ProgressEvent.h"
#include "sshlib/core/ProgressMonitor.h"
#include "sshlib/core/RazudodCompress.h"
#include "sshlib/core/RazudodDeflate.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/ZeeStream.h"

namespace {

using Bytes = std::string;

Bytes str(const DataBuffer &db) {
  return Bytes(reinterpret_cast<const char *>(db.getData2()), db.getSize());
}

DataBuffer &fill(DataBuffer &db, const Bytes &s) {
  db.clear();
  db.append(s.data(), static_cast<unsigned int>(s.size()));
  return db;
}

// zlib's raw inflater, fresh for every call; ok false on any error.
Bytes zInflateRaw(const Bytes &z, bool &ok, bool needEnd) {
  z_stream s{};
  inflateInit2(&s, -15);
  Bytes out(z.size() * 20 + 100000, '\0');
  s.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(z.data()));
  s.avail_in = static_cast<uInt>(z.size());
  s.next_out = reinterpret_cast<Bytef *>(out.data());
  s.avail_out = static_cast<uInt>(out.size());
  int rc = inflate(&s, Z_SYNC_FLUSH);
  ok = needEnd ? rc == Z_STREAM_END : (rc == Z_OK || rc == Z_STREAM_END) && s.avail_in == 0;
  out.resize(s.total_out);
  inflateEnd(&s);
  return out;
}

Bytes text(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  static const char *words[] = {"packet ", "channel ", "window ", "data\n", "sftp ", "open "};
  Bytes s;
  while (s.size() < n)
    s += words[rng() % 6];
  s.resize(n);
  return s;
}

bool logHas(Logger &log, const char *what) {
  StringBuffer sb;
  log.getText(sb);
  return sb.containsSubstring(what);
}

} // namespace

TEST(ZeeStream, Adler32AndRawStepsWithoutFlushing) {
  const Bytes data = text(20000, 1);
  const auto *p = reinterpret_cast<const unsigned char *>(data.data());
  EXPECT_EQ(ZeeStream::adler32(1, p, static_cast<unsigned int>(data.size())),
            ::adler32(1, p, static_cast<uInt>(data.size())));
  EXPECT_EQ(ZeeStream::adler32(12345, nullptr, 10), 1u);
  // A long run of 0xFF bytes tests the modulo reductions.
  Bytes ff(100000, '\xFF');
  EXPECT_EQ(ZeeStream::adler32(1, reinterpret_cast<const unsigned char *>(ff.data()), 100000),
            ::adler32(1, reinterpret_cast<const Bytef *>(ff.data()), 100000));

  ZeeStream zs(6, true);
  unsigned char out[256];
  bool done = false;
  // No output area, or no input and nothing pending: usage errors.
  EXPECT_FALSE(zs.NextIteration(false, done));
  zs.next_out = out;
  zs.avail_out = sizeof(out);
  EXPECT_FALSE(zs.NextIteration(false, done));
  // Steps without finish take the input; a small output area leaves output pending.
  Bytes all;
  zs.next_in = p;
  zs.avail_in = static_cast<unsigned int>(data.size());
  while (zs.get_AvailIn()) {
    zs.next_out = out;
    zs.avail_out = sizeof(out);
    ASSERT_TRUE(zs.NextIteration(false, done));
    EXPECT_FALSE(done);
    all.append(reinterpret_cast<char *>(out), sizeof(out) - zs.avail_out);
  }
  EXPECT_EQ(zs.total_in, data.size());
  EXPECT_EQ(zs.m_adler, ::adler32(1, p, static_cast<uInt>(data.size())));
  while (!done) {
    zs.next_out = out;
    zs.avail_out = 16;
    ASSERT_TRUE(zs.NextIteration(true, done));
    all.append(reinterpret_cast<char *>(out), 16 - zs.avail_out);
  }
  EXPECT_EQ(zs.status, ZeeStream::kFinishing);
  // Once finishing, a plain step is refused.
  zs.next_out = out;
  zs.avail_out = sizeof(out);
  EXPECT_FALSE(zs.NextIteration(false, done));
  EXPECT_EQ(all.size(), zs.total_out);
  bool ok = false;
  EXPECT_EQ(zInflateRaw(all, ok, true), data);
  EXPECT_TRUE(ok); // a final block and no trailer
}

TEST(RazudodDeflate, RawStreamsRoundTrip) {
  Logger log;
  std::mt19937 rng(3);
  for (size_t size : {size_t(0), size_t(1), size_t(5000), size_t(300000)}) {
    const Bytes data = text(size, 2) + externaltool::randomBytes(rng, size / 10);
    RazudodDeflate d;
    DataBuffer z;
    const auto *p = reinterpret_cast<const unsigned char *>(data.data());
    unsigned int half = static_cast<unsigned int>(data.size() / 2);
    ASSERT_TRUE(d.BeginCompress(p, half, z, log, nullptr));
    ASSERT_TRUE(
        d.MoreCompress(p + half, static_cast<unsigned int>(data.size()) - half, z, log, nullptr));
    ASSERT_TRUE(d.EndCompress(z, log, nullptr));
    bool ok = false;
    EXPECT_EQ(zInflateRaw(str(z), ok, true), data);
    EXPECT_TRUE(ok);
    DataBuffer back;
    back.append("prefix", 6);
    ASSERT_TRUE(RazudodDeflate().Decompress(z, back, log, nullptr));
    EXPECT_EQ(str(back), "prefix" + data);
  }
  // Without a begun stream.
  RazudodDeflate d;
  DataBuffer z;
  log.ClearLog();
  EXPECT_FALSE(d.MoreCompress(reinterpret_cast<const unsigned char *>("x"), 1, z, log, nullptr));
  EXPECT_TRUE(logHas(log, "Deflate not initialized."));
  EXPECT_TRUE(d.MoreCompress(nullptr, 0, z, log, nullptr));
  EXPECT_FALSE(d.EndCompress(z, log, nullptr));
}

TEST(RazudodDeflate, DecompressReportsErrorsAndPrematureEnds) {
  Logger log;
  DataBuffer in, out;
  const Bytes data = text(50000, 4);
  z_stream s{};
  deflateInit2(&s, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  Bytes z(deflateBound(&s, data.size()), '\0');
  s.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data()));
  s.avail_in = static_cast<uInt>(data.size());
  s.next_out = reinterpret_cast<Bytef *>(z.data());
  s.avail_out = static_cast<uInt>(z.size());
  deflate(&s, Z_FINISH);
  z.resize(s.total_out);
  deflateEnd(&s);

  EXPECT_FALSE(
      RazudodDeflate().Decompress(fill(in, z.substr(0, z.size() - 20)), out, log, nullptr));
  EXPECT_TRUE(logHas(log, "deflateError"));
  // A stream cut exactly at a stored block end lacks its final block header: a decoding error.
  log.ClearLog();
  EXPECT_FALSE(RazudodDeflate().Decompress(fill(in, Bytes("\x00\x03\x00\xFC\xFF"
                                                          "abc",
                                                          8)),
                                           out, log, nullptr));
  EXPECT_TRUE(logHas(log, "deflateError"));
  // A long stored block that is not all there: the data ended early.
  log.ClearLog();
  EXPECT_FALSE(RazudodDeflate().Decompress(
      fill(in, Bytes("\x01\x88\x13\x77\xEC", 5) + Bytes(100, 'z')), out, log, nullptr));
  EXPECT_TRUE(logHas(log, "Deflated data ended prematurely."));
  log.ClearLog();
  EXPECT_FALSE(RazudodDeflate().Decompress(fill(in, Bytes()), out, log, nullptr));
  EXPECT_TRUE(logHas(log, "Deflated data ended prematurely."));
}

TEST(RazudodDeflate, SshZlibPacketsAreSelfContainedAndFlushed) {
  Logger log;
  RazudodDeflate tx;
  DataBuffer out, in;
  ASSERT_TRUE(tx.BeginZlibCompress(out, log));
  EXPECT_EQ(str(out), "\x78\x9C");

  // 10 bytes: one stored block holding them, then the empty stored block.
  out.clear();
  ASSERT_TRUE(tx.MoreZlibCompress(fill(in, "0123456789"), out, log, nullptr));
  EXPECT_EQ(str(out), Bytes("\x00\x0A\x00\xF5\xFF"
                            "0123456789"
                            "\x00\x00\x00\xFF\xFF",
                            20));

  const Bytes p63 = Bytes(63, 'a');
  const Bytes p64 = Bytes(64, 'a');
  const Bytes big = text(40000, 5);
  struct Packet {
    Bytes payload;
    bool stored;
  } packets[] = {{p63, true}, {p64, false}, {big, false}, {big, false}, {"x", true}, {p63, true}};
  Bytes stream = "\x78\x9C";
  std::vector<Bytes> outs;
  for (const Packet &pk : packets) {
    out.clear();
    ASSERT_TRUE(tx.MoreZlibCompress(fill(in, pk.payload), out, log, nullptr));
    const Bytes o = str(out);
    outs.push_back(o);
    stream += o;
    ASSERT_GE(o.size(), 4u);
    EXPECT_EQ(o.substr(o.size() - 4), Bytes("\x00\x00\xFF\xFF", 4));
    if (pk.stored) {
      // Stored: the payload appears verbatim after a 5-byte stored header.
      EXPECT_EQ(o.substr(5, pk.payload.size()), pk.payload);
      EXPECT_EQ(static_cast<unsigned char>(o[0]) & 0x06, 0);
    } else {
      EXPECT_LT(o.size(), pk.payload.size());
    }
    // Every packet decodes on its own with a fresh raw inflater: nothing refers back.
    bool ok = false;
    EXPECT_EQ(zInflateRaw(o, ok, false), pk.payload);
    EXPECT_TRUE(ok);
  }
  // The two identical large packets compress to the same bytes.
  EXPECT_EQ(outs[2], outs[3]);
  // Empty input: nothing appended.
  out.clear();
  ASSERT_TRUE(tx.MoreZlibCompress(fill(in, ""), out, log, nullptr));
  EXPECT_EQ(out.getSize(), 0u);

  // The receiving side over our own stream, packet by packet.
  RazudodDeflate rx;
  DataBuffer plain;
  ASSERT_TRUE(rx.BeginZlibDecompress(fill(in, "\x78\x9C"), plain, log, nullptr));
  Bytes expect;
  for (size_t i = 0; i < outs.size(); ++i) {
    plain.clear();
    ASSERT_TRUE(rx.MoreZlibDecompress(fill(in, outs[i]), plain, log, nullptr));
    EXPECT_EQ(str(plain), packets[i].payload);
  }
  // More before a begin is refused.
  RazudodDeflate fresh;
  out.clear();
  log.ClearLog();
  EXPECT_FALSE(fresh.MoreZlibCompress(fill(in, "abc"), out, log, nullptr));
  EXPECT_TRUE(logHas(log, "Deflate not initialized."));
}

TEST(RazudodDeflate, SshZlibReceivingSideOverZlibPartialAndSyncFlushes) {
  // Peers compress each packet with zlib and a partial flush (which may leave the end of an
  // empty block for the next packet) or a sync flush. Every packet's bytes must come out of the
  // call that receives it.
  for (int flush : {Z_PARTIAL_FLUSH, Z_SYNC_FLUSH}) {
    SCOPED_TRACE(flush);
    z_stream s{};
    ASSERT_EQ(deflateInit(&s, 6), Z_OK);
    Logger log;
    RazudodDeflate rx;
    std::mt19937 rng(11);
    bool first = true;
    for (int i = 0; i < 60; ++i) {
      const Bytes payload = text(1 + rng() % 3000, 100 + i);
      Bytes z(payload.size() + 1000, '\0');
      s.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(payload.data()));
      s.avail_in = static_cast<uInt>(payload.size());
      s.next_out = reinterpret_cast<Bytef *>(z.data());
      s.avail_out = static_cast<uInt>(z.size());
      ASSERT_EQ(deflate(&s, flush), Z_OK);
      z.resize(z.size() - s.avail_out);
      DataBuffer in, out;
      fill(in, z);
      if (first)
        ASSERT_TRUE(rx.BeginZlibDecompress(in, out, log, nullptr));
      else
        ASSERT_TRUE(rx.MoreZlibDecompress(in, out, log, nullptr));
      first = false;
      ASSERT_EQ(str(out), payload) << "packet " << i;
    }
    deflateEnd(&s);
  }
}

TEST(RazudodDeflate, ZlibDecompressBeginChecks) {
  Logger log;
  DataBuffer in, out;
  RazudodDeflate rx;
  EXPECT_FALSE(rx.BeginZlibDecompress(fill(in, "\x78"), out, log, nullptr));
  EXPECT_TRUE(logHas(log, "Not enough data for beginning Zlib decompression."));
  log.ClearLog();
  EXPECT_FALSE(
      rx.BeginZlibDecompress(fill(in, Bytes("\x78\xBB\x00\x00\x00", 5)), out, log, nullptr));
  EXPECT_TRUE(logHas(log, "Not enough data for beginning Zlib decompression with dict."));
  // With a dictionary id the data starts after it.
  Bytes pkt = Bytes("\x78\xBB\x01\x02\x03\x04", 6) + Bytes("\x00\x02\x00\xFD\xFFhi", 7);
  EXPECT_TRUE(rx.BeginZlibDecompress(fill(in, pkt), out, log, nullptr));
  EXPECT_EQ(str(out), "hi");
  // A packet cut inside a block waits for the rest; garbage fails.
  out.clear();
  EXPECT_FALSE(rx.MoreZlibDecompress(fill(in, "\x07\xFF"), out, log, nullptr));
  EXPECT_TRUE(logHas(log, "deflateError"));
}

TEST(RazudodDeflate, DecompressDsLeavesSourceAfterStreamSoConcatenatedGzipMembersDecode) {
  // Concatenated gzip members, as "cat a.gz b.gz" makes them: each member's body is inflated
  // from the source and the source is left at its trailer.
  std::mt19937 rng(9);
  const Bytes a = text(70000, 7), b = text(1000, 8) + externaltool::randomBytes(rng, 5000);
  int rc = 0;
  const Bytes gz =
      externaltool::filter("gzip -n -9", a, &rc) + externaltool::filter("gzip -n -1", b, &rc);
  ASSERT_EQ(rc, 0);
  MemoryDataSource src;
  src.initializeMemSource(gz.data(), static_cast<unsigned int>(gz.size()), false);
  Logger log;
  Bytes all;
  int members = 0;
  while (!src.endOfStream()) {
    unsigned char hdr[10];
    ASSERT_EQ(src.readBytes(hdr, 1, 10, &log), 10u);
    ASSERT_EQ(hdr[0], 0x1F);
    ASSERT_EQ(hdr[1], 0x8B);
    DataBuffer body;
    OutputDataBuffer out(&body);
    ASSERT_TRUE(RazudodDeflate().DecompressDS(src, out, log, nullptr));
    unsigned char trailer[8];
    ASSERT_EQ(src.readBytes(trailer, 1, 8, &log), 8u);
    unsigned int crc = trailer[0] | trailer[1] << 8 | trailer[2] << 16 | unsigned(trailer[3]) << 24;
    EXPECT_EQ(crc, ::crc32(0, body.getData2(), body.getSize()));
    all += str(body);
    ++members;
  }
  EXPECT_EQ(members, 2);
  EXPECT_EQ(all, a + b);
}

TEST(RazudodCompress, DispatchByAlgorithm) {
  Logger log;
  const Bytes data = text(10000, 12);
  const auto *p = reinterpret_cast<const unsigned char *>(data.data());
  const unsigned int n = static_cast<unsigned int>(data.size());
  {
    RazudodCompress c;
    c.put_Algorithm(0);
    DataBuffer out;
    ASSERT_TRUE(c.BeginCompress(p, 100, out, log, nullptr));
    ASSERT_TRUE(c.MoreCompress(p + 100, n - 100, out, log, nullptr));
    ASSERT_TRUE(c.EndCompress(out, log, nullptr));
    EXPECT_EQ(str(out), data);
  }
  {
    RazudodCompress c;
    c.put_Algorithm(1);
    DataBuffer out;
    ASSERT_TRUE(c.BeginCompress(p, n, out, log, nullptr));
    ASSERT_TRUE(c.EndCompress(out, log, nullptr));
    bool ok = false;
    EXPECT_EQ(zInflateRaw(str(out), ok, true), data);
  }
  {
    RazudodCompress c;
    c.put_Algorithm(2);
    DataBuffer out;
    ASSERT_TRUE(c.BeginCompress(p, 5000, out, log, nullptr));
    ASSERT_TRUE(c.MoreCompress(p + 5000, n - 5000, out, log, nullptr));
    ASSERT_TRUE(c.EndCompress(out, log, nullptr));
    int rc = -1;
    EXPECT_EQ(externaltool::filter("bzip2 -dc", str(out), &rc), data);
    EXPECT_EQ(rc, 0);
  }
  {
    RazudodCompress c;
    c.put_Algorithm(3);
    DataBuffer out;
    log.ClearLog();
    EXPECT_FALSE(c.BeginCompress(p, n, out, log, nullptr));
    EXPECT_FALSE(c.MoreCompress(p, n, out, log, nullptr));
    EXPECT_FALSE(c.EndCompress(out, log, nullptr));
    EXPECT_TRUE(logHas(log, "LZW begin/more/end not implemented yet."));
  }
  {
    RazudodCompress c; // PPMd by default
    DataBuffer out;
    log.ClearLog();
    EXPECT_FALSE(c.BeginCompress(p, n, out, log, nullptr));
    EXPECT_TRUE(logHas(log, "PPMD not available for TAR."));
    EXPECT_FALSE(c.EndCompress(out, log, nullptr));
    EXPECT_TRUE(logHas(log, "PPMD EncodeStreamingEnd - no min context!"));
    EXPECT_EQ(out.getSize(), 0u);
  }
  {
    PpmdDriver ppmd;
    DataBuffer out;
    out.append("keep", 4);
    log.ClearLog();
    EXPECT_FALSE(ppmd.EndCompress(out, log, nullptr));
    EXPECT_EQ(str(out), "keep");
    EXPECT_TRUE(logHas(log, "PPMD EncodeStreamingEnd - no min context!"));
  }
}

TEST(RazudodDeflate, LargePacketsAndAborts) {
  Logger log;
  // A packet whose compressed form exceeds the 60,000-byte work buffer still ends flushed and
  // leaves nothing pending for the next packet.
  std::mt19937 rng(21);
  const Bytes noise = externaltool::randomBytes(rng, 150000);
  RazudodDeflate tx;
  DataBuffer in, out;
  ASSERT_TRUE(tx.BeginZlibCompress(out, log));
  out.clear();
  ASSERT_TRUE(tx.MoreZlibCompress(fill(in, noise), out, log, nullptr));
  Bytes o = str(out);
  EXPECT_EQ(o.substr(o.size() - 4), Bytes("\x00\x00\xFF\xFF", 4));
  bool ok = false;
  EXPECT_EQ(zInflateRaw(o, ok, false), noise);
  out.clear();
  ASSERT_TRUE(tx.MoreZlibCompress(fill(in, "after"), out, log, nullptr));
  EXPECT_EQ(zInflateRaw(str(out), ok, false), "after");

  // An abort asked through the monitor ends the call with its numbered message.
  ProgressEvent event;
  ProgressMonitor pm(&event, 1000LL);
  pm.m_aborted = true;
  const auto *p = reinterpret_cast<const unsigned char *>(noise.data());
  RazudodDeflate d;
  log.ClearLog();
  EXPECT_FALSE(d.BeginCompress(p, 1000, out, log, &pm));
  EXPECT_TRUE(logHas(log, "Deflate aborted by application (1)"));
  log.ClearLog();
  EXPECT_FALSE(d.MoreCompress(p, 1000, out, log, &pm));
  EXPECT_TRUE(logHas(log, "Deflate aborted by application (2)"));
  log.ClearLog();
  EXPECT_FALSE(d.EndCompress(out, log, &pm));
  EXPECT_TRUE(logHas(log, "Deflate aborted by application (3)"));
  log.ClearLog();
  EXPECT_FALSE(tx.MoreZlibCompress(fill(in, "xyz"), out, log, &pm));
  EXPECT_TRUE(logHas(log, "Deflate aborted by application (2)"));
}

TEST(ZeeStream, EngineCallbacksTakeInputAndDeliverPendingOutput) {
  ZeeStream zs(9, true);
  const Bytes data = text(3000, 31);
  zs.next_in = reinterpret_cast<const unsigned char *>(data.data());
  zs.avail_in = static_cast<unsigned int>(data.size());
  char buf[100];
  EXPECT_EQ(zs.read_buf(buf, 100), 100u);
  EXPECT_EQ(Bytes(buf, 100), data.substr(0, 100));
  EXPECT_EQ(zs.total_in, 100u);
  EXPECT_EQ(zs.get_AvailIn(), 2900u);
  EXPECT_EQ(zs.m_adler, ::adler32(1, reinterpret_cast<const Bytef *>(data.data()), 100));

  // Finish into a 4-byte area: the rest stays pending until flush_pending gets room.
  unsigned char out[8192];
  zs.next_out = out;
  zs.avail_out = 4;
  bool done = false;
  ASSERT_TRUE(zs.NextIteration(true, done));
  EXPECT_FALSE(done);
  const unsigned int first = zs.total_out;
  EXPECT_EQ(first, 4u);
  zs.next_out = out + 4;
  zs.avail_out = sizeof(out) - 4;
  zs.flush_pending();
  EXPECT_GT(zs.total_out, first);
  while (!done) {
    ASSERT_TRUE(zs.NextIteration(true, done));
  }
  bool ok = false;
  EXPECT_EQ(zInflateRaw(Bytes(reinterpret_cast<char *>(out), zs.total_out), ok, true),
            data.substr(100));
  EXPECT_TRUE(ok);
}
